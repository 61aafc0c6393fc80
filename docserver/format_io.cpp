// Text helpers shared by the readers and writers of the document server.
#include "docserver/format_io.h"

#include "platform/codepage.h"
#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace qm::docserver {

namespace {
constexpr std::size_t kSinkBuffer = 1u << 16;
}

FileSink::FileSink(const std::filesystem::path& target) : target_(target) {
    if (target.has_parent_path() && !files::createFolders(target.parent_path()))
        fail();
    part_ = files::makeSiblingFile(target);
    if (part_.empty())
        fail();
    fd_ = ::open(part_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0)
        fail();
}

FileSink::~FileSink() {
    if (fd_ >= 0)
        ::close(fd_);
    if (!part_.empty())
        ::unlink(part_.c_str());
}

void FileSink::write(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > kSinkBuffer)
        flush();
    buffer_.append(bytes);
    if (buffer_.size() >= kSinkBuffer)
        flush();
}

void FileSink::flush() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            fail();
        }
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
}

void FileSink::commit() {
    flush();
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 || ::rename(part_.c_str(), target_.c_str()) != 0)
        fail();
    part_.clear();
}

void FileSink::fail() {
    const int saved = errno ? errno : EIO;
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
    if (!part_.empty())
        ::unlink(part_.c_str());
    part_.clear();
    throw DocError("cannot write " + target_.string() + ": " + std::strerror(saved));
}

std::string repairUtf8(std::string_view s) {
    if (codepage::isValidUtf8({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}))
        return std::string(s);
    std::string out;
    out.reserve(s.size() + 8);
    for (std::size_t i = 0; i < s.size();)
        codepage::appendUtf8(out, codepage::nextCodePoint(s, i));
    return out;
}

std::string escapeMarkup(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string xmlSafe(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto b = static_cast<std::uint8_t>(utf8[i]);
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r')
            continue;
        // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are no XML characters either.
        if (b == 0xEF && i + 2 < utf8.size() && static_cast<std::uint8_t>(utf8[i + 1]) == 0xBF &&
            (static_cast<std::uint8_t>(utf8[i + 2]) & 0xFE) == 0xBE) {
            i += 2;
            continue;
        }
        out += utf8[i];
    }
    return out;
}

namespace {

struct NamedEntity {
    const char* name;
    std::uint32_t cp;
};

// The HTML names our own pages and common Word-made pages use.
constexpr NamedEntity kEntities[] = {
    {"amp", '&'},      {"lt", '<'},        {"gt", '>'},        {"quot", '"'},      {"apos", '\''},
    {"nbsp", 0xA0},    {"copy", 0xA9},     {"reg", 0xAE},      {"deg", 0xB0},      {"middot", 0xB7},
    {"laquo", 0xAB},   {"raquo", 0xBB},    {"shy", 0xAD},      {"sect", 0xA7},     {"para", 0xB6},
    {"ndash", 0x2013}, {"mdash", 0x2014},  {"lsquo", 0x2018},  {"rsquo", 0x2019},  {"sbquo", 0x201A},
    {"ldquo", 0x201C}, {"rdquo", 0x201D},  {"bdquo", 0x201E},  {"bull", 0x2022},   {"hellip", 0x2026},
    {"euro", 0x20AC},  {"trade", 0x2122},  {"ensp", 0x2002},   {"emsp", 0x2003},   {"thinsp", 0x2009},
    {"times", 0xD7},   {"divide", 0xF7},   {"pound", 0xA3},    {"yen", 0xA5},      {"cent", 0xA2},
};

bool isAsciiAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

std::string decodeEntities(std::string_view s) {
    if (s.find('&') == std::string_view::npos)
        return std::string(s);
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        if (s[i] != '&') {
            out += s[i++];
            continue;
        }
        const std::size_t semi = s.find(';', i + 1);
        // References are short; a far-away ';' means this '&' is plain text.
        if (semi == std::string_view::npos || semi - i > 12) {
            out += s[i++];
            continue;
        }
        const std::string_view ref = s.substr(i + 1, semi - i - 1);
        std::uint32_t cp = 0;
        bool ok = false;
        if (ref.size() >= 2 && ref[0] == '#') {
            const bool hex = ref[1] == 'x' || ref[1] == 'X';
            const std::string_view digits = ref.substr(hex ? 2 : 1);
            const auto value = codepage::referenceDigits(digits, hex);
            ok = value && *value <= 0x10FFFF;
            cp = value.value_or(0);
        } else if (!ref.empty() && std::all_of(ref.begin(), ref.end(), isAsciiAlnum)) {
            for (const auto& e : kEntities) {
                if (ref == e.name) {
                    cp = e.cp;
                    ok = true;
                    break;
                }
            }
        }
        if (!ok) {
            out += s[i++];
            continue;
        }
        codepage::appendUtf8(out, cp == 0 ? 0xFFFD : cp);
        i = semi + 1;
    }
    return out;
}

std::string urlEscape(std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : s) {
        const auto b = static_cast<std::uint8_t>(c);
        if (isAsciiAlnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string urlUnescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexDigitValue(s[i + 1]) >= 0 && hexDigitValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexDigitValue(s[i + 1]) * 16 + hexDigitValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace qm::docserver
