// Open + extract-all of the damage-tolerant ZIP reader on arbitrary bytes. Besides memory
// errors it checks that nothing is ever written outside the target folder.
#include "zip/zip_archive.h"

#include <unistd.h>

#include <chrono>
#include <iterator>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// Kept alive until the exit handler has removed the folder.
const fs::path* gWork = nullptr;

const fs::path& workFolder() {
    if (!gWork) {
        const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        gWork = new fs::path(base / ("qm-zip-fuzz-" + std::to_string(::getpid())));
        fs::create_directories(*gWork);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(*gWork, ec);
        });
    }
    return *gWork;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path& work = workFolder();
    const fs::path archive = work / "1.zip";
    // The target lies three levels down, so that an escape upwards lands where it is seen.
    const fs::path target = work / "x" / "y" / "T";
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    fs::create_directories(target);

    try {
        qm::CZipArchive zip;
        zip.SetExtractLimit(std::uint64_t{4} << 20); // keeps deflate bombs quick
        zip.Open(archive, qm::CZipArchive::zipOpen, 1, 0);
        // The search past damage does whatever work it is given (its bound is tested elsewhere);
        // a small share keeps the executions quick.
        zip.SetRecoveryWork(std::uint64_t{16} << 20);
        // For half the inputs the entries near the top are unpacked without being written, as
        // the package salvage does with the entries its clean-up would delete unread.
        if (size > 0 && (data[size - 1] & 1))
            zip.SetDiscarded([](const fs::path& relative) { return std::distance(relative.begin(), relative.end()) <= 2; });
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

    // Besides the target folder's own tree, only the archive and the folders above the target.
    for (auto it = fs::recursive_directory_iterator(work); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& p = it->path();
        if (p == target) {
            it.disable_recursion_pending();
            continue;
        }
        if (p != archive && p != work / "x" && p != work / "x" / "y") {
            std::fprintf(stderr, "written outside the target folder: %s\n", p.c_str());
            std::abort();
        }
    }
    std::error_code ec;
    fs::remove_all(target, ec);
    return 0;
}
