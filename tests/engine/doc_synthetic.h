// Small .doc-like byte files for the salvage tests: a filler that matches no pattern and is not
// taken as text, with the patterns the salvage looks for placed where a test wants them.
#pragma once

#include "docserver/doc_binary.h"
#include "engine/doc_patterns.h"
#include "tests/support/test_support.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qm::doctest {

struct SyntheticDoc {
    std::vector<std::uint8_t> bytes;

    explicit SyntheticDoc(std::size_t size, std::uint8_t fill = 0xEE) : bytes(size, fill) {}

    SyntheticDoc& put(std::size_t at, const std::vector<std::uint8_t>& what) {
        if (bytes.size() < at + what.size())
            bytes.resize(at + what.size(), 0xEE);
        std::copy(what.begin(), what.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        return *this;
    }
    SyntheticDoc& put(std::size_t at, Bytes what) { return put(at, std::vector<std::uint8_t>(what.begin(), what.end())); }
    SyntheticDoc& putU32(std::size_t at, std::uint32_t v) {
        return put(at, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                        static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
    }
    SyntheticDoc& text(std::size_t at, const std::string& s) {
        return put(at, std::vector<std::uint8_t>(s.begin(), s.end()));
    }
    // A document header with byte 5 and the character count at +76.
    SyntheticDoc& header(std::size_t at, std::uint8_t byte5, std::uint32_t count) {
        put(at, {0xEC, 0xA5, 0xC1, 0x00, 0x00, byte5, 0x09, 0x04, 0x00, 0x00, 0x00, 0x12, 0xBF, 0x00, 0x00, 0x00});
        return putU32(at + 76, count);
    }
    // The author anchor at `at`, its count 20 bytes before.
    SyntheticDoc& authorAnchor(std::size_t at, std::uint32_t count) {
        put(at, doc::pattern::kAuthorAnchor.bytes);
        return at >= 20 ? putU32(at - 20, count) : *this;
    }
    // The list anchor at `at` and its run end at `runEnd`, the count 12 bytes before that.
    SyntheticDoc& listAnchor(std::size_t at, std::size_t runEnd, std::uint32_t count) {
        put(at, doc::pattern::kListAnchor.bytes);
        put(runEnd, doc::pattern::kRunEnd.bytes);
        return putU32(runEnd - 12, count);
    }
    // A picture record of `size` bytes starting at `at` (size field, signature, then fill).
    SyntheticDoc& picture(std::size_t at, std::uint32_t size, std::uint8_t fill) {
        std::vector<std::uint8_t> rec(size >= 8 ? size : 8, fill);
        put(at, rec);
        putU32(at, size);
        return put(at + 4, doc::pattern::kPictureRecord.bytes);
    }
    SyntheticDoc& allocationRun(std::size_t at) { return put(at, doc::pattern::kAllocationRun.bytes); }
    // A chain end at `at`, with w in the two bytes 4 before it.
    SyntheticDoc& chainEnd(std::size_t at, std::uint16_t w) {
        put(at - 4, {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8)});
        return put(at, doc::pattern::kChainEnd.bytes);
    }
};

// An installation folder under dir holding the picture template: the one the build puts
// beside the programs, or the same one made here.
inline fs::path makeInstallFolder(const fs::path& dir) {
    const fs::path install = dir / "install";
    fs::create_directories(install);
    const fs::path built = test::binDir() / "TempPicture.Doc";
    if (fs::exists(built))
        fs::copy_file(built, install / "TempPicture.Doc", fs::copy_options::overwrite_existing);
    else
        test::writeBytes(install / "TempPicture.Doc", docserver::makePictureTemplate());
    return install;
}

} // namespace qm::doctest
