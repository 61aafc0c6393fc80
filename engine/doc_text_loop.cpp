#include "engine/doc_text_loop.h"

#include "platform/codepage.h"
#include "platform/work_control.h"

#include <algorithm>
#include <cstring>

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

} // namespace

std::string decodeText(Bytes bytes, std::size_t maxChars) {
    if (bytes.empty() || maxChars == 0)
        return {};
    if (const void* zero = std::memchr(bytes.data(), 0, bytes.size()))
        bytes = bytes.first(static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - bytes.data()));
    if (bytes.empty())
        return {};
    std::string text = codepage::toUtf8(bytes);
    truncateChars(text, maxChars);
    return text;
}

void runTextLoop(Bytes source, std::uint64_t start, std::uint32_t n, ChunkKeep keep, word::Range& range) {
    const std::uint64_t end = n + kTextLoopEndBase;
    std::uint64_t k = std::min<std::uint32_t>(n, kMaxChunk);
    // A chunk of zero bytes could never advance the loop: a count of 0 reads nothing.
    for (std::uint64_t s = start; s < end && k > 0;) {
        const std::size_t keepChars = keep == ChunkKeep::Whole ? k : k - 1;
        range.InsertAfter(decodeText(slice(source, s, k), keepChars));
        range.InsertParagraphAfter();
        s += k;
        if (s + k > end)
            k = end - s;
    }
}

bool isTextBlockStart(std::uint8_t first) {
    return first == 0x09 || first == 0x0D || first == 0x13 || (first >= 0x20 && first <= 0x7F);
}

void insertRawBlocks(Bytes source, word::Range& range) {
    for (std::size_t offset = 0; offset < source.size(); offset += kRawBlockSize) {
        passWorkGate();
        const Bytes block = slice(source, offset, kRawBlockSize);
        if (isTextBlockStart(block[0]))
            range.InsertAfter(decodeText(block, kRawBlockSize));
    }
}

} // namespace qm::doc
