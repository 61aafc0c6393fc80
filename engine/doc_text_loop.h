// The text loops of the .doc salvage: the chunked loop shared by methods 1 to 3 (analysis and
// save side) and the 512-byte block loop of method 4.
#pragma once

#include "engine/doc_patterns.h"
#include "engine/word_automation.h"

#include <cstdint>
#include <string>

namespace qm::doc {

// How many characters of a chunk of k bytes are kept: k - 1 or k.
enum class ChunkKeep { AllButLast, Whole };

// Where every text loop ends, whatever its start: the character count plus this.
inline constexpr std::uint64_t kTextLoopEndBase = 2560;
inline constexpr std::uint32_t kMaxChunk = 4096;
inline constexpr std::size_t kRawBlockSize = 512;

// UTF-16LE text is taken where at least this many text units follow one another.
inline constexpr std::size_t kMinUtf16Run = 4;

// True when a run of UTF-16LE text starts at data[at] (see decodeChars).
bool startsUtf16Text(Bytes data, std::size_t at);

// Characters read from the start of data: runs of UTF-16LE text (kMinUtf16Run or more units
// of Latin, Greek, Cyrillic, Hebrew, Arabic, punctuation or Word's controls, one of them a
// letter or digit) two bytes a character, every other byte one character of the configured
// code page. The text ends at the first zero byte outside a UTF-16 run (a zero before a
// UTF-16 run at an odd offset is passed over); the characters after it are still counted at
// the width of the last one read. Reads `chars` characters or up to the end of data.
struct DecodedChars {
    std::string text;      // UTF-8, at most maxChars code points
    std::size_t bytes = 0; // bytes the characters took
};
DecodedChars decodeChars(Bytes data, std::size_t chars, std::size_t maxChars);

// The text of a run of bytes (one character a byte, or two in UTF-16 runs) up to the first
// zero, cut to at most maxChars characters (code points).
std::string decodeText(Bytes bytes, std::size_t maxChars);

// The chunked text loop. From start up to n + 2560 counted in characters, in chunks of
// k = min(n, 4096) characters (the last one shortened so the loop ends exactly there): each
// chunk's text (decodeChars: 8-bit and UTF-16LE, ending at its first zero, at most k or k - 1
// characters) is appended to range, followed by a paragraph mark. Bytes past the end of
// source read as nothing. n = 0 appends nothing.
void runTextLoop(Bytes source, std::uint64_t start, std::uint32_t n, ChunkKeep keep, word::Range& range);

// Method 1's text: when a piece table is found (the one the header names in the table
// stream, or one in the raw bytes that fits the header's counts), the text of its pieces,
// each read at its own place in its own encoding, then one paragraph mark; otherwise the text
// loop from the header's text start with its count. The analysis and the save side both
// write what this appends.
struct FibText;
void insertFibText(Bytes source, const FibText& fib, ChunkKeep keep, word::Range& range);

// True when a 512-byte block starting with this byte is taken as text (tab, CR, field begin,
// printable ASCII).
bool isTextBlockStart(std::uint8_t first);

// Method 4's loop: every 512-byte block of source (the last may be shorter) whose first byte
// passes isTextBlockStart, or that starts with UTF-16LE text, is appended to range (its text
// as decodeText gives it, no paragraph mark), in file order.
void insertRawBlocks(Bytes source, word::Range& range);

} // namespace qm::doc
