#include "docserver/zip_package.h"
#include "docserver/libzip_loader.h"

#include "platform/bytes.h"
#include "zip/file_header.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace qm::docserver {
namespace {

constexpr std::size_t kLocalHeaderSize = CFileHeader::kLocalHeaderSize;
constexpr std::size_t kMaxNameLength = 1024;

// Part names compare without case, without a leading '/', and with '\' read as '/'.
std::string normalName(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    if (!name.empty() && name.front() == '/')
        name.erase(0, 1);
    for (char& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return name;
}

// A 16-bit field whose zero high byte became 0x20 (text-mode damage) gets it back when the
// damaged value is implausible.
std::uint16_t repair16(std::uint16_t v, std::uint16_t plausibleMax) {
    if (v > plausibleMax && (v >> 8) == 0x20)
        return v & 0xFF;
    return v;
}

// A 32-bit size whose zero top bytes became 0x20: clear them, top first, until it fits.
std::uint32_t repairSize(std::uint32_t v, std::size_t limit) {
    for (int k = 3; k >= 1 && v > limit; --k)
        if (((v >> (8 * k)) & 0xFF) == 0x20)
            v &= ~(std::uint32_t(0xFF) << (8 * k));
    return v;
}

} // namespace

std::string inflateTolerant(std::span<const std::uint8_t> input, std::size_t limit, bool& complete) {
    complete = false;
    std::string out;
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
        return out;
    zs.next_in = const_cast<Bytef*>(input.data());
    zs.avail_in = static_cast<uInt>(std::min<std::size_t>(input.size(), UINT_MAX));
    constexpr std::size_t kChunk = 64 * 1024;
    while (out.size() < limit) {
        const std::size_t old = out.size();
        out.resize(std::min(limit, old + kChunk));
        zs.next_out = reinterpret_cast<Bytef*>(out.data() + old);
        zs.avail_out = static_cast<uInt>(out.size() - old);
        const int ret = inflate(&zs, Z_NO_FLUSH);
        const std::size_t produced = out.size() - old - zs.avail_out;
        out.resize(old + produced);
        if (ret == Z_STREAM_END) {
            complete = true;
            break;
        }
        // A corrupt block, a cut stream or no progress: keep what came out before it.
        if (ret != Z_OK || (produced == 0 && zs.avail_in == 0))
            break;
    }
    inflateEnd(&zs);
    return out;
}

ZipPackage::ZipPackage(std::span<const std::uint8_t> bytes) : bytes_(bytes) {
    zip_error_t error;
    libzip().zip_error_init(&error);
    zip_source_t* src = libzip().zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    if (src) {
        za_ = libzip().zip_open_from_source(src, ZIP_RDONLY, &error);
        if (!za_)
            libzip().zip_source_free(src);
    }
    libzip().zip_error_fini(&error);
}

ZipPackage::~ZipPackage() {
    if (za_)
        libzip().zip_discard(za_);
}

std::optional<std::string> ZipPackage::readViaLibzip(const std::string& name, bool& complete) {
    complete = false;
    if (!za_)
        return std::nullopt;
    const zip_int64_t index = libzip().zip_name_locate(za_, name.c_str(), ZIP_FL_NOCASE | ZIP_FL_ENC_RAW);
    if (index < 0)
        return std::nullopt;
    zip_stat_t st;
    if (libzip().zip_stat_index(za_, static_cast<zip_uint64_t>(index), 0, &st) != 0 || !(st.valid & ZIP_STAT_COMP_SIZE) ||
        !(st.valid & ZIP_STAT_COMP_METHOD))
        return std::nullopt;
    if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE)
        return std::nullopt;
    // The compressed bytes cannot be more than the package holds.
    const std::size_t rawSize = static_cast<std::size_t>(std::min<zip_uint64_t>(st.comp_size, bytes_.size()));
    zip_file_t* f = libzip().zip_fopen_index(za_, static_cast<zip_uint64_t>(index), ZIP_FL_COMPRESSED);
    if (!f)
        return std::nullopt;
    std::vector<std::uint8_t> raw(rawSize);
    std::size_t got = 0;
    while (got < raw.size()) {
        const zip_int64_t n = libzip().zip_fread(f, raw.data() + got, raw.size() - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    libzip().zip_fclose(f);
    raw.resize(got);
    if (st.comp_method == ZIP_CM_STORE) {
        complete = got == st.comp_size;
        return std::string(raw.begin(), raw.begin() + std::min(raw.size(), kMaxPartSize));
    }
    std::string out = inflateTolerant(raw, kMaxPartSize, complete);
    if (out.empty() && !complete)
        return std::nullopt;
    return out;
}

void ZipPackage::scanLocalHeaders() {
    scanned_ = true;
    const auto* begin = bytes_.data();
    for (std::size_t at = CFileHeader::FindSignature(bytes_); at != CFileHeader::npos;
         at = CFileHeader::FindSignature(bytes_, at + 1)) {
        if (bytes_.size() - at < kLocalHeaderSize)
            break;
        const std::uint16_t method = repair16(bin::u16(bytes_, at + 8), 99);
        const std::uint16_t nameLength = repair16(bin::u16(bytes_, at + 26), kMaxNameLength);
        const std::uint16_t extraLength = repair16(bin::u16(bytes_, at + 28), 4096);
        if (method != CFileHeader::kStored && method != CFileHeader::kDeflated)
            continue;
        // The header, its name and its extra field must lie inside the package.
        if (nameLength == 0 || nameLength > kMaxNameLength ||
            bytes_.size() - at - kLocalHeaderSize < std::size_t(nameLength) + extraLength)
            continue;
        std::string name(reinterpret_cast<const char*>(begin + at + kLocalHeaderSize), nameLength);
        // A match inside compressed data rarely has a printable name: skip those.
        if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
            continue;
        const std::size_t dataOffset = at + kLocalHeaderSize + nameLength + extraLength;
        const std::uint32_t compressed = repairSize(bin::u32(bytes_, at + 18), bytes_.size() - dataOffset);
        local_.emplace(normalName(name), LocalEntry{dataOffset, method, compressed});
    }
}

std::optional<std::string> ZipPackage::readViaLocalHeader(const std::string& name, bool& complete) {
    complete = false;
    if (!scanned_)
        scanLocalHeaders();
    const auto it = local_.find(normalName(name));
    if (it == local_.end())
        return std::nullopt;
    const LocalEntry& e = it->second;
    const auto rest = bytes_.subspan(e.dataOffset);
    if (e.method == 0) {
        complete = e.compressedSize <= rest.size();
        const std::size_t n = std::min<std::size_t>({e.compressedSize, rest.size(), kMaxPartSize});
        return std::string(rest.begin(), rest.begin() + n);
    }
    // The deflate stream ends by itself; the stated size may be damaged or zero (data
    // descriptor), so inflation runs over the rest of the package.
    std::string out = inflateTolerant(rest, kMaxPartSize, complete);
    if (out.empty() && !complete)
        return std::nullopt;
    return out;
}

std::optional<std::string> ZipPackage::read(const std::string& name, bool* complete) {
    bool viaZipComplete = false, viaLocalComplete = false;
    auto viaZip = readViaLibzip(name, viaZipComplete);
    if (viaZip && viaZipComplete) {
        if (complete)
            *complete = true;
        return viaZip;
    }
    auto viaLocal = readViaLocalHeader(name, viaLocalComplete);
    if (viaLocal && (viaLocalComplete || !viaZip || viaLocal->size() > viaZip->size())) {
        if (complete)
            *complete = viaLocalComplete;
        return viaLocal;
    }
    if (complete)
        *complete = viaZipComplete;
    return viaZip;
}

std::vector<std::string> ZipPackage::names() {
    std::vector<std::string> out;
    if (za_) {
        const zip_int64_t n = libzip().zip_get_num_entries(za_, 0);
        for (zip_int64_t i = 0; i < n; ++i)
            if (const char* name = libzip().zip_get_name(za_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW))
                out.push_back(normalName(name));
    }
    if (!scanned_)
        scanLocalHeaders();
    for (const auto& [name, entry] : local_)
        if (std::find(out.begin(), out.end(), name) == out.end())
            out.push_back(name);
    return out;
}

} // namespace qm::docserver
