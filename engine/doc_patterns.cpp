#include "engine/doc_patterns.h"
#include "engine/doc_steps.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qm::doc {

namespace pattern {

bool isDocumentHeader(const std::uint8_t* p) {
    return p[0] == 0xEC && p[1] == 0xA5 && p[2] == 0xC1 && p[3] == 0x00 &&
           (p[5] == 0x20 || p[5] == 0x40 || p[5] == 0x60 || p[5] == 0x80) && p[6] == 0x09 && p[7] == 0x04 &&
           p[8] == 0x00 && p[9] == 0x00 && p[11] == 0x12 && p[12] == 0xBF && p[13] == 0x00 && p[14] == 0x00 &&
           p[15] == 0x00;
}

} // namespace pattern

namespace {

// The last offset at which a scan reading readLength bytes still runs, or nullopt when the
// data is shorter than one read or from lies beyond it.
std::optional<std::size_t> lastScanOffset(Bytes data, std::size_t from, std::size_t readLength) {
    if (data.size() < readLength || from > data.size() - readLength)
        return std::nullopt;
    return data.size() - readLength;
}

// How often a byte turns up in Word files: zeros, FF fill and blanks are everywhere.
int commonness(std::uint8_t b) {
    return b == 0x00 || b == 0xFF ? 2 : b == 0x20 || b == 0x01 ? 1 : 0;
}

// Two positions of the needle whose bytes together are least likely to match by chance: the
// rarest bytes, as far apart as possible.
std::pair<std::size_t, std::size_t> filterPositions(Bytes needle) {
    std::size_t a = 0;
    for (std::size_t i = 1; i < needle.size(); ++i)
        if (commonness(needle[i]) < commonness(needle[a]))
            a = i;
    std::size_t b = a == 0 ? needle.size() - 1 : 0;
    for (std::size_t i = 0; i < needle.size(); ++i) {
        if (i == a)
            continue;
        const auto dist = [&](std::size_t x) { return x > a ? x - a : a - x; };
        if (commonness(needle[i]) < commonness(needle[b]) ||
            (commonness(needle[i]) == commonness(needle[b]) && dist(i) > dist(b)))
            b = i;
    }
    return {a, b};
}

// First offset in [from, last] where needle starts (needle must fit before the data's end,
// which last + readLength <= size guarantees since readLength >= needle length). Sixteen
// offsets at a time are filtered by two bytes of the needle; survivors are compared whole.
std::optional<std::size_t> search(Bytes data, std::size_t from, std::size_t last, Bytes needle) {
    const std::uint8_t* base = data.data() + from;
    const std::size_t count = last - from + 1; // offsets to test
    if (needle.size() < 2) {
        const void* hit = std::memchr(base, needle[0], count);
        return hit ? std::optional<std::size_t>(static_cast<const std::uint8_t*>(hit) - data.data()) : std::nullopt;
    }
    const auto [pa, pb] = filterPositions(needle);
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(needle[pa]));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(needle[pb]));
    // The loads reach base + i + 15 + max(pa, pb) <= data + last + needle.size() - 1: inside.
    for (; i + 16 <= count; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i + pa));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i + pb));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, va), _mm_cmpeq_epi8(b, vb))));
        while (mask) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (std::memcmp(base + at, needle.data(), needle.size()) == 0)
                return from + at;
            mask &= mask - 1;
        }
    }
#endif
    for (; i < count; ++i)
        if (base[i + pa] == needle[pa] && base[i + pb] == needle[pb] &&
            std::memcmp(base + i, needle.data(), needle.size()) == 0)
            return from + i;
    return std::nullopt;
}

} // namespace

std::optional<std::size_t> findFirst(Bytes data, std::size_t from, const Pattern& p) {
    const auto last = lastScanOffset(data, from, p.readLength);
    if (!last)
        return std::nullopt;
    return search(data, from, *last, p.bytes);
}

std::optional<std::size_t> findLast(Bytes data, std::size_t from, const Pattern& p) {
    const auto last = lastScanOffset(data, from, p.readLength);
    if (!last)
        return std::nullopt;
    std::optional<std::size_t> found;
    std::size_t at = from;
    while (at <= *last) {
        const auto hit = search(data, at, *last, p.bytes);
        if (!hit)
            break;
        found = hit;
        at = *hit + 1;
    }
    return found;
}

std::optional<std::size_t> findDocumentHeader(Bytes data, std::size_t from) {
    static constexpr std::uint8_t kFixedStart[] = {0xEC, 0xA5, 0xC1, 0x00};
    const auto last = lastScanOffset(data, from, pattern::kDocumentHeaderLength);
    if (!last)
        return std::nullopt;
    std::size_t at = from;
    while (at <= *last) {
        const auto hit = search(data, at, *last, kFixedStart);
        if (!hit)
            return std::nullopt;
        if (pattern::isDocumentHeader(data.data() + *hit))
            return hit;
        at = *hit + 1;
    }
    return std::nullopt;
}

bool writeAt(const std::filesystem::path& file, std::uint64_t offset, Bytes bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 && done == bytes.size();
}

} // namespace qm::doc
