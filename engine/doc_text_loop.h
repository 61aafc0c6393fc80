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

// The text of a run of code-page bytes: the bytes up to the first zero, decoded with the
// configured code page, cut to at most maxChars characters (code points).
std::string decodeText(Bytes bytes, std::size_t maxChars);

// The chunked text loop. From start up to n + 2560, in chunks of k = min(n, 4096) bytes (the
// last one shortened so the loop ends exactly there): each chunk's text (ending at its first
// zero byte, at most k or k - 1 characters) is appended to range, followed by a paragraph mark.
// Bytes past the end of source read as nothing. n = 0 appends nothing.
void runTextLoop(Bytes source, std::uint64_t start, std::uint32_t n, ChunkKeep keep, word::Range& range);

// True when a 512-byte block starting with this byte is taken as text (tab, CR, field begin,
// printable ASCII).
bool isTextBlockStart(std::uint8_t first);

// Method 4's loop: every 512-byte block of source (the last may be shorter) whose first byte
// passes isTextBlockStart is appended to range (up to its first zero, no paragraph mark).
void insertRawBlocks(Bytes source, word::Range& range);

} // namespace qm::doc
