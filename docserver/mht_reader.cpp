// MHTML web archive reader: splits the MIME message into its parts (nested multiparts
// included), decodes quoted-printable and base64 bodies, and reads the main HTML part with
// parseHtml, resolving each <img> against the parts' Content-Location (relative URLs
// resolve against the page's own location), Content-ID ("cid:") or, failing both, the file
// name. Tolerates LF line ends, folded headers and a missing closing delimiter.
#include "docserver/format_io.h"

#include <map>

namespace qm::docserver {
namespace {

constexpr int kMaxNesting = 8;

struct MimePart {
    std::map<std::string, std::string> headers; // lower-case name -> unfolded value
    std::string_view body;                       // still transfer-encoded
};

// Splits "headers CRLF CRLF body"; header names lower-cased, folded lines joined.
MimePart parsePart(std::string_view text) {
    MimePart part;
    std::size_t i = 0;
    std::string lastName;
    while (i < text.size()) {
        std::size_t eol = text.find('\n', i);
        if (eol == std::string_view::npos)
            eol = text.size();
        std::string_view line = text.substr(i, eol - i);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        i = std::min(eol + 1, text.size());
        if (line.empty()) {
            part.body = text.substr(i);
            return part;
        }
        if (line.front() == ' ' || line.front() == '\t') { // a folded continuation line
            const std::size_t first = line.find_first_not_of(" \t");
            if (!lastName.empty() && first != std::string_view::npos)
                part.headers[lastName] += " " + std::string(line.substr(first));
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            continue; // not a header line: skip it
        lastName = lowerAscii(line.substr(0, colon));
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        part.headers[lastName] = std::string(value);
    }
    part.body = text.substr(text.size());
    return part;
}

std::string header(const MimePart& p, const std::string& name) {
    const auto it = p.headers.find(name);
    return it == p.headers.end() ? std::string() : it->second;
}

// The media type ("text/html") of a Content-Type value, lower case.
std::string mediaType(const std::string& contentType) {
    std::string t = lowerAscii(contentType.substr(0, contentType.find(';')));
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t'))
        t.pop_back();
    return t;
}

// A parameter of a header value (boundary, type, charset, start), quotes removed.
std::string parameter(const std::string& value, const std::string& name) {
    std::size_t i = value.find(';');
    while (i != std::string::npos) {
        ++i;
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        const std::size_t eq = value.find('=', i);
        if (eq == std::string::npos)
            break;
        std::string key = lowerAscii(value.substr(i, eq - i));
        while (!key.empty() && key.back() == ' ')
            key.pop_back();
        std::size_t v = eq + 1;
        while (v < value.size() && value[v] == ' ')
            ++v;
        std::string result;
        std::size_t next;
        if (v < value.size() && value[v] == '"') {
            const std::size_t close = value.find('"', v + 1);
            result = value.substr(v + 1, (close == std::string::npos ? value.size() : close) - v - 1);
            next = close == std::string::npos ? std::string::npos : value.find(';', close);
        } else {
            next = value.find(';', v);
            result = value.substr(v, (next == std::string::npos ? value.size() : next) - v);
            while (!result.empty() && (result.back() == ' ' || result.back() == '\t'))
                result.pop_back();
        }
        if (key == name)
            return result;
        i = next;
    }
    return {};
}

std::string decodeQuotedPrintable(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '=') {
            out += s[i];
            continue;
        }
        if (i + 1 < s.size() && s[i + 1] == '\n') { // soft line break (LF only)
            i += 1;
        } else if (i + 2 < s.size() && s[i + 1] == '\r' && s[i + 2] == '\n') {
            i += 2;
        } else if (i + 2 < s.size() && hexDigitValue(s[i + 1]) >= 0 && hexDigitValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexDigitValue(s[i + 1]) * 16 + hexDigitValue(s[i + 2]));
            i += 2;
        } else {
            out += '='; // a stray '=' stays as written
        }
    }
    return out;
}

std::string decodeBase64(std::string_view s) {
    std::string out;
    out.reserve(s.size() * 3 / 4);
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : s) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+' || c == '-')
            v = 62;
        else if (c == '/' || c == '_')
            v = 63;
        else if (c == '=')
            break;
        else
            continue; // line ends and other noise
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

std::string decodeBody(const MimePart& p) {
    const std::string cte = lowerAscii(header(p, "content-transfer-encoding"));
    if (cte.find("quoted-printable") != std::string::npos)
        return decodeQuotedPrintable(p.body);
    if (cte.find("base64") != std::string::npos)
        return decodeBase64(p.body);
    return std::string(p.body);
}

// Splits a multipart body into its leaf parts (depth-first).
void collectParts(std::string_view body, const std::string& boundary, int depth, std::vector<MimePart>& out) {
    if (boundary.empty() || depth > kMaxNesting)
        return;
    const std::string delimiter = "--" + boundary;
    // Delimiters start a line; the line end before one belongs to it.
    auto findDelimiter = [&](std::size_t from) {
        for (std::size_t at = body.find(delimiter, from); at != std::string_view::npos;
             at = body.find(delimiter, at + 1))
            if (at == 0 || body[at - 1] == '\n')
                return at;
        return std::string_view::npos;
    };
    std::size_t at = findDelimiter(0);
    while (at != std::string_view::npos) {
        const std::size_t afterDelim = at + delimiter.size();
        if (body.compare(afterDelim, 2, "--") == 0)
            break; // closing delimiter
        const std::size_t lineEnd = body.find('\n', afterDelim);
        if (lineEnd == std::string_view::npos)
            break;
        const std::size_t next = findDelimiter(lineEnd + 1);
        std::size_t end = next == std::string_view::npos ? body.size() : next;
        if (next != std::string_view::npos) { // drop the line end that belongs to the delimiter
            if (end > lineEnd + 1 && body[end - 1] == '\n')
                --end;
            if (end > lineEnd + 1 && body[end - 1] == '\r')
                --end;
        }
        MimePart part = parsePart(body.substr(lineEnd + 1, end - lineEnd - 1));
        const std::string type = header(part, "content-type");
        if (mediaType(type).rfind("multipart/", 0) == 0)
            collectParts(part.body, parameter(type, "boundary"), depth + 1, out);
        else
            out.push_back(part);
        at = next;
    }
}

std::string stripAngles(std::string s) {
    while (!s.empty() && (s.front() == '<' || s.front() == ' '))
        s.erase(0, 1);
    while (!s.empty() && (s.back() == '>' || s.back() == ' '))
        s.pop_back();
    return s;
}

// Resolves a relative reference against a base URL (enough for archive locations).
std::string resolveUrl(const std::string& base, const std::string& ref) {
    const std::size_t colon = ref.find(':');
    const std::size_t slash = ref.find('/');
    if (colon != std::string::npos && (slash == std::string::npos || colon < slash))
        return ref; // has its own scheme
    std::string dir = base.substr(0, base.rfind('/') + 1);
    std::string rest = ref;
    if (!rest.empty() && rest.front() == '/') {
        const std::size_t authority = base.find("://");
        const std::size_t pathStart = authority == std::string::npos ? 0 : base.find('/', authority + 3);
        dir = base.substr(0, pathStart == std::string::npos ? base.size() : pathStart);
    }
    while (rest.rfind("./", 0) == 0)
        rest.erase(0, 2);
    while (rest.rfind("../", 0) == 0) {
        rest.erase(0, 3);
        if (dir.size() > 1) {
            const std::size_t up = dir.rfind('/', dir.size() - 2);
            if (up != std::string::npos && up > dir.find("://") + 2)
                dir.erase(up + 1);
        }
    }
    return dir + rest;
}

std::string lastSegment(const std::string& url) {
    const std::size_t slash = url.find_last_of("/\\");
    return lowerAscii(urlUnescape(slash == std::string::npos ? url : url.substr(slash + 1)));
}

} // namespace

Document readMht(Bytes bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const MimePart top = parsePart(text);
    const std::string topType = header(top, "content-type");
    std::vector<MimePart> parts;
    if (mediaType(topType).rfind("multipart/", 0) == 0)
        collectParts(top.body, parameter(topType, "boundary"), 0, parts);
    else
        parts.push_back(top);

    // The main page: the part named by "start", else the first HTML part.
    const std::string start = stripAngles(parameter(topType, "start"));
    const MimePart* page = nullptr;
    for (const auto& p : parts)
        if (!start.empty() && stripAngles(header(p, "content-id")) == start)
            page = &p;
    for (const auto& p : parts)
        if (!page && mediaType(header(p, "content-type")) == "text/html")
            page = &p;
    if (!page)
        throw DocError("the web archive holds no HTML page");

    std::map<std::string, const MimePart*> byLocation, byId, byName;
    for (const auto& p : parts) {
        if (&p == page)
            continue;
        const std::string location = header(p, "content-location");
        if (!location.empty()) {
            byLocation.emplace(location, &p);
            byName.emplace(lastSegment(location), &p);
        }
        const std::string id = stripAngles(header(p, "content-id"));
        if (!id.empty())
            byId.emplace(id, &p);
    }

    const std::string pageLocation = header(*page, "content-location");
    const std::string raw = decodeBody(*page);
    const std::string html =
        htmlToUtf8({reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()},
                   lowerAscii(parameter(header(*page, "content-type"), "charset")));

    return parseHtml(html, [&](const std::string& src) -> std::optional<Picture> {
        const MimePart* found = nullptr;
        if (lowerAscii(src.substr(0, 4)) == "cid:") {
            if (auto it = byId.find(urlUnescape(src.substr(4))); it != byId.end())
                found = it->second;
        } else if (auto it = byLocation.find(resolveUrl(pageLocation, src)); it != byLocation.end()) {
            found = it->second;
        } else if (auto it2 = byLocation.find(src); it2 != byLocation.end()) {
            found = it2->second;
        } else if (auto it3 = byName.find(lastSegment(src)); it3 != byName.end()) {
            found = it3->second;
        }
        if (!found)
            return std::nullopt;
        const std::string data = decodeBody(*found);
        if (data.empty())
            return std::nullopt;
        return Picture::fromBytes(std::vector<std::uint8_t>(data.begin(), data.end()));
    });
}

bool looksLikeMht(Bytes bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), std::min<std::size_t>(bytes.size(), 8192));
    // The message must begin with a header line ("Name: value").
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 64)
        return false;
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    }
    const MimePart top = parsePart(text);
    return mediaType(header(top, "content-type")).rfind("multipart/", 0) == 0 ||
           (!header(top, "mime-version").empty() && mediaType(header(top, "content-type")) == "text/html");
}

} // namespace qm::docserver
