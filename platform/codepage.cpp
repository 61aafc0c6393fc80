#include "platform/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace qm::codepage {

std::string configured() {
    const char* env = std::getenv("QUILLMEND_CODEPAGE");
    return env && *env ? std::string(env) : std::string("CP1252");
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string toUtf8(std::span<const std::uint8_t> bytes, const std::string& codePage) {
    iconv_t cd = iconv_open("UTF-8", codePage.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        cd = iconv_open("UTF-8", "CP1252");
    if (cd == reinterpret_cast<iconv_t>(-1)) { // no iconv tables at all: keep ASCII only
        std::string out;
        for (auto b : bytes)
            appendUtf8(out, b < 0x80 ? b : 0xFFFD);
        return out;
    }
    std::string out;
    std::vector<char> buf(bytes.size() * 4 + 16);
    char* in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(bytes.data()));
    size_t inLeft = bytes.size();
    while (inLeft > 0) {
        char* o = buf.data();
        size_t oLeft = buf.size();
        const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf.data(), o - buf.data());
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL: a byte the code page does not define, or a cut multi-byte sequence.
            appendUtf8(out, 0xFFFD);
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

std::string utf16leToUtf8(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    const size_t n = bytes.size() / 2;
    for (size_t i = 0; i < n; ++i) {
        std::uint32_t u = bytes[2 * i] | (bytes[2 * i + 1] << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
            const std::uint32_t lo = bytes[2 * i + 2] | (bytes[2 * i + 3] << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            }
        }
        appendUtf8(out, u);
    }
    return out;
}

long nextUtf8(std::span<const std::uint8_t> s, std::size_t& i) {
    const std::uint8_t b = s[i];
    int len;
    std::uint32_t cp;
    if (b < 0x80) {
        ++i;
        return b;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2;
        cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        cp = b & 0x07;
    } else {
        return -1;
    }
    if (i + len > s.size())
        return -1;
    for (int k = 1; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80)
            return -1;
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return -1;
    i += len;
    return cp;
}

std::uint32_t nextCodePoint(std::string_view text, std::size_t& i) {
    const std::span<const std::uint8_t> s(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const long cp = nextUtf8(s, i);
    if (cp >= 0)
        return static_cast<std::uint32_t>(cp);
    ++i;
    return 0xFFFD;
}

std::optional<std::uint32_t> referenceDigits(std::string_view digits, bool hex) {
    if (digits.empty())
        return std::nullopt;
    std::uint32_t cp = 0;
    for (const char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        cp = std::min<std::uint32_t>(cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d), 0x110000);
    }
    return cp;
}

bool isValidUtf8(std::span<const std::uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size();)
        if (nextUtf8(bytes, i) < 0)
            return false;
    return true;
}

std::string utf8ToUtf16le(const std::string& utf8) {
    const std::span<const std::uint8_t> s(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size());
    std::string out;
    out.reserve(utf8.size() * 2);
    auto put = [&](std::uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < s.size();) {
        long cp = nextUtf8(s, i);
        if (cp < 0) {
            cp = 0xFFFD;
            ++i;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(static_cast<std::uint32_t>(cp));
        }
    }
    return out;
}

} // namespace qm::codepage
