#include "zip/zip_storage.h"

#include "zip/zip_exception.h"

namespace qm {

void CZipStorage::Open(const std::filesystem::path& path) {
    file.Open(path);
    spanMode = tolerant;
    shortRead = false;
}

void CZipStorage::Close() {
    file.Close();
    spanMode = noSpan;
    shortRead = false;
}

std::size_t CZipStorage::Read(void* buffer, std::size_t size, bool allOrNothing) {
    const std::size_t got = file.Read(buffer, size);
    if (got == 0 || got == size)
        return got;
    if (allOrNothing || spanMode != tolerant)
        throw CZipException(CZipException::badZipFile, GetArchivePath());
    shortRead = true;
    return got;
}

} // namespace qm
