#include "docserver/doc_format.h"

#include "docserver/binary_io.h"

#include <algorithm>

namespace qm::docserver::docfmt {
namespace {

constexpr std::size_t kCswAt = 32;
constexpr std::uint16_t kCsw97 = 14, kCslw97 = 22;
constexpr std::size_t kWord6CcpAt = 0x34;
constexpr std::size_t kWord6PairsAt = 0x58;
constexpr std::size_t kWord6Pairs = 34;

// Windows-1252 0x80-0x9F; 0 marks the five bytes it leaves undefined.
constexpr char16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool plausibleNFib(std::uint16_t n) { return n >= 0x65 && n <= 0x200; }

} // namespace

int cp1252Byte(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return c;
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == c)
            return 0x80 + i;
    return -1;
}

void writeFib(std::vector<std::uint8_t>& wd, const FibFields& f, const FibPairs& pairs) {
    if (wd.size() < kFibSize)
        wd.resize(kFibSize, 0);
    bin::Writer w;
    // FibBase.
    w.u16(kWIdentWord97);
    w.u16(kNFibWord97);
    w.u16(f.textMarker ? 0x2000 : 0); // product bytes; 0x20 in the high byte: text at 0x400
    w.u16(0x0409);                     // lid
    w.u16(0);                          // pnNext
    // fExtChar, fWhichTblStm (the 1Table stream), fHasPic.
    w.u16(std::uint16_t(0x1000 | 0x0200 | (f.hasPictures ? 0x0008 : 0)));
    w.u16(0x00BF); // nFibBack
    w.u32(0);      // lKey
    w.u8(0);       // envr: Windows
    w.u8(0);
    w.u16(0);
    w.u16(0);
    w.u32(f.fcMin);
    w.u32(f.fcMac);
    // FibRgW97: reserved words, lidFE last.
    w.u16(kCsw97);
    w.zeros(26);
    w.u16(0x0409);
    // FibRgLw97.
    w.u16(kCslw97);
    const std::size_t lwAt = w.size();
    w.zeros(4 * kCslw97);
    w.set32(lwAt, f.cbMac);
    w.set32(lwAt + 12, f.ccpText);
    // FibRgFcLcb97.
    w.u16(kFibPairs97);
    for (const auto& p : pairs) {
        w.u32(p.fc);
        w.u32(p.lcb);
    }
    w.u16(0); // cswNew: no FibRgCswNew for nFib 0x00C1
    std::copy(w.bytes.begin(), w.bytes.end(), wd.begin());
}

std::uint64_t Fib::totalCp() const {
    std::uint64_t total = 0;
    bool others = false;
    for (int i = 0; i < kParts; ++i) {
        const std::int32_t n = std::max<std::int32_t>(ccp[i], 0);
        total += static_cast<std::uint64_t>(n);
        if (i != kMain && n > 0)
            others = true;
    }
    return total + (others ? 1 : 0);
}

bool fibSignatureAt(std::span<const std::uint8_t> b, std::size_t at) {
    if (!bin::fits(b.size(), at, 64))
        return false;
    const std::uint16_t ident = bin::u16(b, at);
    if (ident != kWIdentWord97 && ident != kWIdentWord6)
        return false;
    const std::uint16_t nFib = bin::u16(b, at + 2);
    if (!plausibleNFib(nFib) || !plausibleNFib(bin::u16(b, at + 12)) || bin::u16(b, at + 6) == 0)
        return false;
    if (nFib >= 0xC0)
        return bin::u16(b, at + kCswAt) == kCsw97 && bin::u16(b, at + kCswAt + 2 + 2 * kCsw97) == kCslw97;
    return true;
}

std::optional<Fib> parseFib(std::span<const std::uint8_t> b) {
    if (b.size() < 64)
        return std::nullopt;
    Fib fib;
    fib.wIdent = bin::u16(b, 0);
    fib.nFib = bin::u16(b, 2);
    if ((fib.wIdent != kWIdentWord97 && fib.wIdent != kWIdentWord6) || !plausibleNFib(fib.nFib))
        return std::nullopt;
    fib.lid = bin::u16(b, 6);
    fib.flags = bin::u16(b, 10);
    fib.encrypted = fib.flags & 0x0100;
    fib.fcMin = bin::u32(b, 0x18);
    fib.fcMac = bin::u32(b, 0x1C);

    const bool word97 = fib.nFib >= 0x6A && (fib.nFib >= 0xC0 || bin::u16(b, kCswAt) == kCsw97);
    if (word97) {
        fib.unicodeCapable = true;
        fib.tableInOneTable = fib.flags & 0x0200;
        // Counts as stored; damaged counts fall back to the sizes every Word 97 file has.
        std::size_t csw = bin::u16(b, kCswAt);
        if (csw < kCsw97 || csw > 0x100)
            csw = kCsw97;
        const std::size_t cslwAt = kCswAt + 2 + 2 * csw;
        std::size_t cslw = bin::u16(b, cslwAt);
        if (cslw < kCslw97 || cslw > 0x100)
            cslw = kCslw97;
        const std::size_t lwAt = cslwAt + 2;
        for (int i = 0; i < kParts; ++i)
            fib.ccp[i] = bin::s32(b, lwAt + 4 * (3 + i));
        const std::size_t cbAt = lwAt + 4 * cslw;
        std::size_t pairs = bin::u16(b, cbAt);
        if (pairs == 0 || pairs > 0x200)
            pairs = kFibPairs97;
        for (std::size_t i = 0; i < pairs && bin::fits(b.size(), cbAt + 2 + 8 * i, 8); ++i)
            fib.pairs.push_back({bin::u32(b, cbAt + 2 + 8 * i), bin::u32(b, cbAt + 6 + 8 * i)});
    } else {
        for (int i = 0; i < kParts; ++i)
            fib.ccp[i] = bin::s32(b, kWord6CcpAt + 4 * i);
        for (std::size_t i = 0; i < kWord6Pairs && bin::fits(b.size(), kWord6PairsAt + 8 * i, 8); ++i)
            fib.pairs.push_back({bin::u32(b, kWord6PairsAt + 8 * i), bin::u32(b, kWord6PairsAt + 4 + 8 * i)});
    }
    return fib;
}

} // namespace qm::docserver::docfmt
