#include "engine/doc_text_loop.h"

#include "docserver/doc_binary.h"
#include "engine/doc_steps.h"
#include "platform/codepage.h"
#include "platform/work_control.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qm::doc {

namespace {

// Cuts valid UTF-8 text to at most maxChars code points.
void truncateChars(std::string& text, std::size_t maxChars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue; // continuation byte
        if (chars == maxChars) {
            text.resize(i);
            return;
        }
        ++chars;
    }
}

// The control characters Word keeps in its text: picture, footnote and comment marks, cell
// end, drawn object, tab, line feed, line, page and column breaks, paragraph end, field marks
// and the special hyphens.
bool isWordControl(std::uint8_t c) {
    switch (c) {
    case 0x01: case 0x02: case 0x05: case 0x07: case 0x08: case 0x09: case 0x0A: case 0x0B:
    case 0x0C: case 0x0D: case 0x0E: case 0x13: case 0x14: case 0x15: case 0x1E: case 0x1F:
        return true;
    default:
        return false;
    }
}

bool isAsciiAlnum(std::uint8_t c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

// Units whose high byte names a script block: Latin Extended, IPA, Greek, Cyrillic, Armenian,
// Hebrew, Arabic and Latin Extended Additional. 8-bit text rarely holds these bytes.
bool isScriptBlock(std::uint8_t hi) { return (hi >= 0x01 && hi <= 0x06) || hi == 0x1E; }

// True for a UTF-16LE code unit that Word text holds. Only blocks whose high byte is rare in
// 8-bit text are taken (so that 8-bit text does not read as UTF-16): Latin-1 and Word's
// controls, the script blocks, general punctuation (dashes, quotes, bullets, ellipsis), the
// euro sign and symbol-font characters.
bool isTextUnit(std::uint8_t lo, std::uint8_t hi) {
    if (hi == 0x00)
        return lo >= 0x20 ? lo != 0x7F : isWordControl(lo);
    if (isScriptBlock(hi))
        return true;
    if (hi == 0x20)
        return (lo >= 0x10 && lo < 0x40) || lo == 0xAC;
    if (hi == 0x21)
        return lo == 0x22; // trade mark
    return hi == 0xF0 && lo >= 0x20;
}

// A unit that carries a letter or digit rather than a blank, punctuation or a control.
bool isLetterUnit(std::uint8_t lo, std::uint8_t hi) {
    return (hi == 0x00 && (isAsciiAlnum(lo) || lo >= 0xC0)) || isScriptBlock(hi);
}

// True for a byte that can be the high byte of the first unit of a UTF-16 run: Latin-1
// (zero) and the script blocks. 8-bit text rarely holds these bytes, so the decoder passes
// over everything else in bulk.
bool isRunStartHigh(std::uint8_t hi) { return hi <= 0x06 || hi == 0x1E; }

// True when a UTF-16LE run starts at data[i]: kMinUtf16Run text units in a row, the first of
// Latin-1 or a script block, one of them a letter. A shorter run, or one of blanks and
// punctuation only, is as likely 8-bit text or binary data.
bool startsUtf16Run(Bytes data, std::size_t i) {
    if (data.size() < i + 2 * kMinUtf16Run || !isRunStartHigh(data[i + 1]))
        return false;
    const std::uint8_t* p = data.data() + i;
    bool letter = false;
    for (std::size_t u = 0; u < kMinUtf16Run; ++u) {
        const std::uint8_t lo = p[2 * u], hi = p[2 * u + 1];
        if (!isTextUnit(lo, hi))
            return false;
        letter = letter || isLetterUnit(lo, hi);
    }
    return letter;
}

// The first offset in [from, stop) whose byte could be a run's first high byte (or is a
// zero), else stop.
std::size_t nextRunStartHigh(const std::uint8_t* p, std::size_t from, std::size_t stop) {
    std::size_t k = from;
#if defined(__SSE2__)
    const __m128i six = _mm_set1_epi8(6), ext = _mm_set1_epi8(0x1E);
    for (; k + 16 <= stop; k += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, six), v); // v <= 6
        const int mask = _mm_movemask_epi8(_mm_or_si128(low, _mm_cmpeq_epi8(v, ext)));
        if (mask)
            return k + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; k < stop; ++k)
        if (isRunStartHigh(p[k]))
            return k;
    return stop;
}

} // namespace

bool startsUtf16Text(Bytes data, std::size_t at) { return startsUtf16Run(data, at); }

DecodedChars decodeChars(Bytes data, std::size_t chars, std::size_t maxChars) {
    DecodedChars out;
    const std::uint8_t* p = data.data();
    const std::size_t size = data.size();
    std::size_t i = 0, read = 0, width = 1;
    std::size_t eightBitFrom = size; // start of the 8-bit bytes not yet decoded
    bool inRun = false;
    auto flushEightBit = [&](std::size_t to) {
        if (eightBitFrom < to)
            out.text += codepage::toUtf8(data.subspan(eightBitFrom, to - eightBitFrom));
        eightBitFrom = size;
    };
    while (read < chars && i < size) {
        if (inRun || startsUtf16Run(data, i)) {
            if (i + 1 < size && isTextUnit(p[i], p[i + 1])) {
                flushEightBit(i);
                codepage::appendUtf8(out.text, static_cast<std::uint32_t>(p[i] | (p[i + 1] << 8)));
                inRun = true;
                width = 2;
                i += 2;
                ++read;
                continue;
            }
            inRun = false;
        }
        if (p[i] == 0) {
            // A zero byte between binary bytes and a UTF-16 run at an odd offset is skipped;
            // any other zero (byte or UTF-16 unit) ends the text. The rest of the characters
            // are passed over at the width of the last one read.
            if (startsUtf16Run(data, i + 1)) {
                flushEightBit(i);
                ++i;
                ++read;
                continue;
            }
            flushEightBit(i);
            i = std::min<std::size_t>(size, i + (chars - read) * width);
            read = chars;
            break;
        }
        // 8-bit characters: this byte, and every following one up to the byte before the next
        // that could begin a UTF-16 run or end the text.
        if (eightBitFrom == size)
            eightBitFrom = i;
        width = 1;
        const std::size_t stop = std::min(size, i + (chars - read));
        const std::size_t next = nextRunStartHigh(p, i + 1, stop);
        const std::size_t take = next < stop && next - 1 > i ? next - 1 - i : std::max<std::size_t>(1, next - i);
        i += take;
        read += take;
    }
    flushEightBit(i);
    truncateChars(out.text, maxChars);
    out.bytes = i;
    return out;
}

std::string decodeText(Bytes bytes, std::size_t maxChars) {
    if (maxChars == 0)
        return {};
    return decodeChars(bytes, bytes.size(), maxChars).text;
}

void runTextLoop(Bytes source, std::uint64_t start, std::uint32_t n, ChunkKeep keep, word::Range& range) {
    const std::uint64_t end = n + kTextLoopEndBase;
    std::uint64_t k = std::min<std::uint32_t>(n, kMaxChunk);
    // The loop counts characters: a chunk of k characters takes k bytes of 8-bit text and 2k
    // of UTF-16 text, so the byte position moves on by what each chunk read.
    std::uint64_t at = start;
    // A chunk of zero bytes could never advance the loop: a count of 0 reads nothing.
    for (std::uint64_t s = start; s < end && k > 0;) {
        const std::size_t keepChars = keep == ChunkKeep::Whole ? k : k - 1;
        const DecodedChars chunk = decodeChars(bin::slice(source, at, 2 * k), k, keepChars);
        range.InsertAfter(chunk.text);
        range.InsertParagraphAfter();
        at += chunk.bytes == 0 ? k : chunk.bytes;
        s += k;
        if (s + k > end)
            k = end - s;
    }
}

void insertFibText(Bytes source, const FibText& fib, ChunkKeep keep, word::Range& range) {
    // The text comes a window at a time (text of any size is never held whole) and goes on in
    // slices well below the server's message limit, cut between characters.
    constexpr std::size_t kSlice = 1u << 20;
    const bool found = docserver::forEachPieceTableText(source, [&](std::string_view text) {
        for (std::size_t at = 0; at < text.size();) {
            std::size_t to = std::min(text.size(), at + kSlice);
            while (to < text.size() && (static_cast<unsigned char>(text[to]) & 0xC0) == 0x80)
                --to;
            range.InsertAfter(std::string(text.substr(at, to - at)));
            at = to;
        }
    });
    if (!found) {
        runTextLoop(source, fib.textStart, fib.count, keep, range);
        return;
    }
    range.InsertParagraphAfter();
}

bool isTextBlockStart(std::uint8_t first) {
    return first == 0x09 || first == 0x0D || first == 0x13 || (first >= 0x20 && first <= 0x7F);
}

void insertRawBlocks(Bytes source, word::Range& range) {
    for (std::size_t offset = 0; offset < source.size(); offset += kRawBlockSize) {
        passWorkGate();
        const Bytes block = bin::slice(source, offset, kRawBlockSize);
        if (isTextBlockStart(block[0]) || startsUtf16Run(block, 0))
            range.InsertAfter(decodeText(block, kRawBlockSize));
    }
}

} // namespace qm::doc
