// Writes OLE2 compound files (version 3, 512-byte sectors): the container of Word 97-2003
// documents. Streams below 4096 bytes go into the mini stream; the directory tree is a
// balanced binary tree of all-black nodes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace qm::docserver::cfb {

inline constexpr std::uint32_t kFreeSect = 0xFFFFFFFF;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr std::uint32_t kFatSect = 0xFFFFFFFD;
inline constexpr std::uint32_t kDifSect = 0xFFFFFFFC;
inline constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFA;
inline constexpr std::uint32_t kNoStream = 0xFFFFFFFF;
inline constexpr std::size_t kSectorSize = 512;
inline constexpr std::size_t kMiniSectorSize = 64;
inline constexpr std::size_t kMiniStreamCutoff = 4096;
inline constexpr std::size_t kDirEntrySize = 128;

// A stream. Names are ASCII (control characters such as "\005" allowed); a name with '/' is a
// path: "ObjectPool/_1/\001Ole" is the stream "\001Ole" of the storage "_1" of the storage
// "ObjectPool" of the root (the storages are made as needed).
struct Stream {
    std::string name;
    std::vector<std::uint8_t> data;
};

// Sector placement: the sectors of the large streams are laid out in the order of these
// pieces; a piece takes `sectors` sectors of its stream (0: the rest of it). Whatever no
// piece names follows in stream order.
struct Placement {
    std::string stream;
    std::size_t sectors = 0;
};

struct WriteOptions {
    std::array<std::uint8_t, 16> rootClsid{};
    std::vector<Placement> order;
    // false (as Word writes): the large streams from sector 0, then the mini stream, the mini
    // FAT, the directory and the FAT. true: the FAT, the directory, the mini FAT and the mini
    // stream first, then the large streams.
    bool tablesFirst = false;
};

// The complete file. Throws std::length_error for streams the format cannot hold.
std::vector<std::uint8_t> writeCompoundFile(const std::vector<Stream>& streams, const WriteOptions& options = {});

// A stream whose bytes are read while the file is written: read(offset, out) fills out with
// the stream's bytes from offset.
struct StreamSource {
    std::string name;
    std::uint64_t size = 0;
    std::function<void(std::uint64_t offset, std::span<std::uint8_t> out)> read;
};
using Output = std::function<void(std::span<const std::uint8_t> bytes)>;
// Writes the file front to back through out, reading each large stream as its sectors come:
// memory stays bounded whatever the streams' sizes (only the streams below the mini stream
// cutoff are held).
void writeCompoundFile(const Output& out, const std::vector<StreamSource>& streams, const WriteOptions& options = {});

// Orders directory entry names as the format requires: shorter names first, then by the
// upper-cased UTF-16 code units.
bool nameLess(const std::u16string& a, const std::u16string& b);

} // namespace qm::docserver::cfb
