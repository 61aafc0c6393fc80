// Builds ZIP archives byte by byte for the ZIP reader's tests, benchmark and fuzz seeds:
// real deflate data from zlib, hand-written local headers that can be damaged at will.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qm::zipgen {

inline std::string deflateRaw(const std::string& data, int level = 6) {
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&zs, static_cast<uLong>(data.size())), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END)
        throw std::runtime_error("deflate");
    out.resize(zs.total_out);
    return out;
}

// Raw deflate data of the parts one after another, each part ending its deflate block (the
// history goes on); ends[i] is the byte where part i's last block ends, rounded down.
inline std::string deflateParts(const std::vector<std::string>& parts, std::vector<std::size_t>& ends, int level = 6) {
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::size_t total = 0;
    for (const auto& p : parts)
        total += p.size();
    std::string out(deflateBound(&zs, static_cast<uLong>(total)) + 64 * parts.size(), '\0');
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(parts[i].data()));
        zs.avail_in = static_cast<uInt>(parts[i].size());
        const bool last = i + 1 == parts.size();
        if (deflate(&zs, last ? Z_FINISH : Z_BLOCK) != (last ? Z_STREAM_END : Z_OK))
            throw std::runtime_error("deflate");
        ends.push_back(zs.total_out);
    }
    deflateEnd(&zs);
    out.resize(zs.total_out);
    return out;
}

inline std::uint32_t crcOf(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// The fields of a local header; made() fills them for ordinary content.
struct LocalHeader {
    std::uint16_t version = 20;
    std::uint16_t flags = 0;
    std::uint16_t method = 8;
    std::uint16_t time = 0x5000; // 10:00:00
    std::uint16_t date = 0x5264; // 2021-03-04
    std::uint32_t crc = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::string name;
    std::string extra;
};

class ZipBuilder {
public:
    struct Placed {
        std::size_t offset; // of the local header
        LocalHeader header;
    };

    // An ordinary entry: deflated (method 8) or stored (0), sizes and CRC filled in.
    std::size_t add(const std::string& name, const std::string& data, std::uint16_t method = 8) {
        LocalHeader h;
        h.name = name;
        h.method = method;
        const std::string payload = method == 8 ? deflateRaw(data) : data;
        h.crc = crcOf(data);
        h.compressedSize = static_cast<std::uint32_t>(payload.size());
        h.uncompressedSize = static_cast<std::uint32_t>(data.size());
        return addRaw(h, payload);
    }

    // A header exactly as given, followed by payload (and nothing else).
    std::size_t addRaw(const LocalHeader& h, const std::string& payload) {
        const std::size_t at = bytes_.size();
        put32(0x04034b50);
        put16(h.version);
        put16(h.flags);
        put16(h.method);
        put16(h.time);
        put16(h.date);
        put32(h.crc);
        put32(h.compressedSize);
        put32(h.uncompressedSize);
        put16(static_cast<std::uint16_t>(h.name.size()));
        put16(static_cast<std::uint16_t>(h.extra.size()));
        append(h.name);
        append(h.extra);
        append(payload);
        placed_.push_back({at, h});
        return at;
    }

    void append(const std::string& raw) { bytes_.insert(bytes_.end(), raw.begin(), raw.end()); }
    void put16(std::uint16_t v) {
        bytes_.push_back(static_cast<std::uint8_t>(v));
        bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void put32(std::uint32_t v) {
        put16(static_cast<std::uint16_t>(v));
        put16(static_cast<std::uint16_t>(v >> 16));
    }

    // Writes the central directory and its end record for every entry added so far.
    void finish() {
        const std::size_t cdStart = bytes_.size();
        for (const auto& p : placed_) {
            put32(0x02014b50);
            put16(20);
            put16(p.header.version);
            put16(p.header.flags);
            put16(p.header.method);
            put16(p.header.time);
            put16(p.header.date);
            put32(p.header.crc);
            put32(p.header.compressedSize);
            put32(p.header.uncompressedSize);
            put16(static_cast<std::uint16_t>(p.header.name.size()));
            put16(0);
            put16(0);
            put16(0);
            put16(0);
            put32(0);
            put32(static_cast<std::uint32_t>(p.offset));
            append(p.header.name);
        }
        const std::size_t cdSize = bytes_.size() - cdStart;
        put32(0x06054b50);
        put16(0);
        put16(0);
        put16(static_cast<std::uint16_t>(placed_.size()));
        put16(static_cast<std::uint16_t>(placed_.size()));
        put32(static_cast<std::uint32_t>(cdSize));
        put32(static_cast<std::uint32_t>(cdStart));
        put16(0);
    }

    std::vector<std::uint8_t>& bytes() { return bytes_; }
    const std::vector<Placed>& placed() const { return placed_; }
    std::string str() const { return std::string(bytes_.begin(), bytes_.end()); }

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<Placed> placed_;
};

// Text that compresses like document XML (not trivially).
inline std::string sampleXml(std::size_t bytes, std::uint32_t seed = 1) {
    static const char* words[] = {"quill", "mend", "salvage", "paragraph", "damaged", "package", "word",
                                  "entry", "header", "deflate", "stream", "content", "text", "run"};
    std::string out = "<?xml version=\"1.0\"?><w:document><w:body>";
    std::uint32_t x = seed;
    while (out.size() < bytes) {
        out += "<w:p><w:r><w:t>";
        for (int i = 0; i < 8; ++i) {
            x = x * 1664525u + 1013904223u;
            out += words[(x >> 16) % 14];
            out += ' ';
            out += std::to_string((x >> 8) % 1000);
            out += ' ';
        }
        out += "</w:t></w:r></w:p>";
    }
    out.resize(bytes);
    return out;
}

// Bytes that do not compress (picture-like), without "PK" signatures by accident.
inline std::string sampleBinary(std::size_t bytes, std::uint32_t seed = 7) {
    std::string out(bytes, '\0');
    std::uint32_t x = seed;
    for (auto& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
        if (c == 'P')
            c = 'p';
    }
    return out;
}

} // namespace qm::zipgen
