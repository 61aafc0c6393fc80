#include "zip/zip_exception.h"

#include <zlib.h>

namespace qm {

namespace {
std::string describe(int cause, const std::filesystem::path& path) {
    std::string text;
    switch (cause) {
    case CZipException::badZipFile: text = "damaged ZIP archive"; break;
    case CZipException::extractLimit: text = "ZIP extraction limit reached"; break;
    default: text = "ZIP decompression error (cause " + std::to_string(cause) + ")"; break;
    }
    if (!path.empty())
        text += ": " + path.string();
    return text;
}
} // namespace

CZipException::CZipException(int cause, std::filesystem::path archivePath)
    : std::runtime_error(describe(cause, archivePath)), cause_(cause), archivePath_(std::move(archivePath)) {}

int CZipException::ZlibErrToCause(int zlibResult) {
    switch (zlibResult) {
    case Z_STREAM_END: return streamEnd;
    case Z_NEED_DICT: return needDict;
    case Z_ERRNO: return errNo;
    case Z_STREAM_ERROR: return streamError;
    case Z_DATA_ERROR: return dataError;
    case Z_MEM_ERROR: return memError;
    case Z_BUF_ERROR: return bufError;
    case Z_VERSION_ERROR: return versionError;
    default: return generic;
    }
}

CZipFileException::CZipFileException(int errnoValue, const std::string& operation, std::filesystem::path path)
    : std::system_error(errnoValue, std::generic_category(), operation + " " + path.string()),
      path_(std::move(path)) {}

} // namespace qm
