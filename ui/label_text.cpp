#include "ui/label_text.h"

#include <cstdint>

namespace qm::ui {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at bytes[i] and its code point; 0 when invalid.
std::size_t sequenceAt(std::string_view bytes, std::size_t i, char32_t& cp) {
    const auto b0 = static_cast<std::uint8_t>(bytes[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t len;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0)
        len = 2, min = 0x80, cp = b0 & 0x1F;
    else if ((b0 & 0xF0) == 0xE0)
        len = 3, min = 0x800, cp = b0 & 0x0F;
    else if ((b0 & 0xF8) == 0xF0)
        len = 4, min = 0x10000, cp = b0 & 0x07;
    else
        return 0;
    if (i + len > bytes.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<std::uint8_t>(bytes[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

} // namespace

std::string DisplayText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t cp = 0;
        const std::size_t len = sequenceAt(bytes, i, cp);
        if (len == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        if (cp == U'\t')
            out += ' ';
        else if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0))
            out += kReplacement;
        else
            out.append(bytes.substr(i, len));
        i += len;
    }
    return out;
}

} // namespace qm::ui
