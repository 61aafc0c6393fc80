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

} // namespace

Document readTxt(Bytes bytes) {
    std::string text;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        text = codepage::utf16leToUtf8(bytes.subspan(2));
    } else if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        std::vector<std::uint8_t> swapped(bytes.begin() + 2, bytes.begin() + 2 + (bytes.size() - 2) / 2 * 2);
        for (std::size_t i = 0; i + 1 < swapped.size(); i += 2)
            std::swap(swapped[i], swapped[i + 1]);
        text = codepage::utf16leToUtf8(swapped);
    } else {
        if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
            bytes = bytes.subspan(3);
        if (looksBinary(bytes))
            throw DocError("the file is neither a known document format nor text");
        text = codepage::isValidUtf8(bytes) ? std::string(bytes.begin(), bytes.end()) : codepage::toUtf8(bytes);
    }
    Document doc;
    doc.insertAfter(text);
    return doc;
}

} // namespace qm::docserver
