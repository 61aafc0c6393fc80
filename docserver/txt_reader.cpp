// Plain text reader: UTF-8 (a byte-order mark is dropped), UTF-16 with a byte-order mark,
// or, when the bytes are no valid UTF-8, the configured code page. Each line becomes a
// paragraph. Binary data is refused rather than inserted as noise.
#include "docserver/format_io.h"

#include "platform/codepage.h"

namespace qm::docserver {
namespace {

// Text has no NUL bytes and few control characters; 1 in 100 allows for stray ones.
bool looksBinary(Bytes bytes) {
    std::size_t controls = 0;
    for (std::uint8_t b : bytes) {
        if (b == 0)
            return true;
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f' && b != '\v' && b != 0x1A)
            ++controls;
    }
    return controls * 100 > bytes.size();
}

// The end of the next step of at most kStep bytes from start: after its last line end when it
// has one (so that neither "\r\n" nor a character is cut), else at a unit boundary (width 2 for
// UTF-16, else 1) that does not cut a UTF-8 sequence or a surrogate pair.
constexpr std::size_t kStep = 1u << 20;

std::size_t stepEnd(Bytes bytes, std::size_t start, std::size_t width, bool bigEndian, bool utf8) {
    if (bytes.size() - start <= kStep)
        return bytes.size();
    std::size_t end = start + kStep;
    for (std::size_t k = end; k >= start + width && k + kStep / 2 > end; k -= width) {
        const std::size_t unit = k - width; // the unit before k
        const bool lineEnd = width == 1 ? bytes[unit] == '\n'
                                        : bytes[unit + (bigEndian ? 1 : 0)] == '\n' && bytes[unit + (bigEndian ? 0 : 1)] == 0;
        if (lineEnd)
            return k;
    }
    if (utf8)
        while (end > start + 1 && (bytes[end] & 0xC0) == 0x80)
            --end;
    if (width == 2) {
        const std::uint8_t high = bytes[end - 2 + (bigEndian ? 0 : 1)];
        if (high >= 0xD8 && high <= 0xDB) // a high surrogate: its pair goes with the next step
            end -= 2;
    }
    // A "\r" goes with the next step, where a "\n" may follow it.
    const std::size_t last = end - width;
    if (bytes[last + (width == 2 && !bigEndian ? 0 : width - 1)] == '\r' &&
        (width == 1 || bytes[last + (bigEndian ? 0 : 1)] == 0))
        end -= width;
    return end;
}

} // namespace

// Decoded and inserted a step at a time: a large text is never held whole.
Document readTxt(Bytes bytes) {
    Document doc;
    if (bytes.size() >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
        const bool bigEndian = bytes[0] == 0xFE;
        const Bytes units = bytes.subspan(2, (bytes.size() - 2) / 2 * 2);
        std::vector<std::uint8_t> swapped;
        for (std::size_t at = 0; at < units.size();) {
            const std::size_t end = stepEnd(units, at, 2, bigEndian, false);
            Bytes step = units.subspan(at, end - at);
            if (bigEndian) {
                swapped.assign(step.begin(), step.end());
                for (std::size_t i = 0; i + 1 < swapped.size(); i += 2)
                    std::swap(swapped[i], swapped[i + 1]);
                step = swapped;
            }
            doc.insertAfter(codepage::utf16leToUtf8(step));
            at = end;
        }
        return doc;
    }
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        bytes = bytes.subspan(3);
    if (looksBinary(bytes))
        throw DocError("the file is neither a known document format nor text");
    const bool utf8 = codepage::isValidUtf8(bytes);
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = stepEnd(bytes, at, 1, false, utf8);
        const Bytes step = bytes.subspan(at, end - at);
        if (utf8)
            doc.insertAfter({reinterpret_cast<const char*>(step.data()), step.size()});
        else
            doc.insertAfter(codepage::toUtf8(step));
        at = end;
    }
    return doc;
}

} // namespace qm::docserver
