// Open + extract-all of the damage-tolerant ZIP reader on arbitrary bytes. Besides memory
// errors it checks that nothing is ever written outside the target folder.
#include "zip/zip_archive.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const fs::path& workFolder() {
    static const fs::path folder = [] {
        const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path f = base / ("qm-zip-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(f);
        return f;
    }();
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path& work = workFolder();
    const fs::path archive = work / "1.zip";
    const fs::path target = work / "T";
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    fs::create_directories(target);

    try {
        qm::CZipArchive zip;
        zip.SetExtractLimit(std::uint64_t{4} << 20); // keeps deflate bombs quick
        zip.Open(archive, qm::CZipArchive::zipOpen, 1, 0);
        for (std::size_t i = 0; i < zip.GetCount(); ++i) {
            try {
                zip.ExtractEntry(i, target, qm::CZipArchive::kDefaultOutputBuffer);
            } catch (const qm::CZipException&) {
            } catch (const qm::CZipFileException&) {
            }
        }
    } catch (const qm::CZipException&) {
    } catch (const qm::CZipFileException&) {
    }

    // Only the archive and the target folder may exist beside each other.
    for (const auto& e : fs::directory_iterator(work)) {
        if (e.path() != archive && e.path() != target) {
            std::fprintf(stderr, "written outside the target folder: %s\n", e.path().c_str());
            std::abort();
        }
    }
    std::error_code ec;
    fs::remove_all(target, ec);
    return 0;
}
