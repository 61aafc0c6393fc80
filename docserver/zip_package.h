// Read access to the parts of a ZIP package (.docx) held in memory, tolerant of damage.
//
// libzip opens intact packages through their central directory. When it cannot (tail cut
// off, junk in front) or an entry does not decode through it, the part is looked up by a
// scan of the local file headers, with header fields repaired where a text-mode transfer
// put 0x20 bytes into them. Deflated data is inflated as far as it goes: a corrupted or
// cut stream yields the bytes before the damage.
//
// Why the server does not read through zip/'s CZipArchive: the server stands in for Word, so
// it reads a package as a faithful consumer does: an intact package through its central
// directory, names of any length, no field altered; the scan's repairs change only values
// that cannot be right. CZipArchive is the salvage's own extraction with fixed rules of its
// own (every space-damaged field repaired, names over 100 bytes dropped, sizes taken from the
// local header, headers inside stored entries taken as entries, output to files). Were the
// server to read with those rules, what the salvage rebuilt would be checked by the reader
// that took it apart, and damage that reader misreads would go unseen twice. Both share the
// local header layout and signature search (zip/file_header.h) and the little-endian reads
// (platform/bytes.h).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct zip; // libzip's archive handle

namespace qm::docserver {

class ZipPackage {
public:
    // The bytes must outlive the package object.
    explicit ZipPackage(std::span<const std::uint8_t> bytes);
    ~ZipPackage();
    ZipPackage(const ZipPackage&) = delete;
    ZipPackage& operator=(const ZipPackage&) = delete;

    // The part's bytes (name without a leading '/', compared case-insensitively), or nullopt
    // when the part is not there or nothing of it decodes. complete tells whether the whole
    // part decoded.
    std::optional<std::string> read(const std::string& name, bool* complete = nullptr);
    // Every part name found (central directory and local headers).
    std::vector<std::string> names();

    // The largest part we inflate; bigger claims are cut (a guard against zip bombs).
    static constexpr std::size_t kMaxPartSize = 256u << 20;

private:
    struct LocalEntry {
        std::size_t dataOffset;
        std::uint16_t method;
        std::uint32_t compressedSize;
    };
    void scanLocalHeaders();
    std::optional<std::string> readViaLibzip(const std::string& name, bool& complete);
    std::optional<std::string> readViaLocalHeader(const std::string& name, bool& complete);

    std::span<const std::uint8_t> bytes_;
    ::zip* za_ = nullptr;
    bool scanned_ = false;
    std::map<std::string, LocalEntry> local_; // lower-case name -> first local header
};

// Raw-deflate decoding that keeps what it can: stops at the end of the stream, at the first
// corrupt block or at the end of the input, and never produces more than limit bytes.
// complete is set when the stream ended properly.
std::string inflateTolerant(std::span<const std::uint8_t> input, std::size_t limit, bool& complete);

} // namespace qm::docserver
