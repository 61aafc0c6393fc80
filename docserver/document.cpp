#include "docserver/document.h"

#include "platform/bytes.h"

#include <cstring>

namespace qm::docserver {
namespace {

std::uint32_t be32(std::span<const std::uint8_t> b, size_t at) {
    return (std::uint32_t(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
}

void jpegSize(const std::vector<std::uint8_t>& b, int& w, int& h) {
    size_t i = 2;
    while (i + 9 < b.size()) {
        if (b[i] != 0xFF) {
            ++i;
            continue;
        }
        const std::uint8_t marker = b[i + 1];
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        const size_t len = (b[i + 2] << 8) | b[i + 3];
        // Start-of-frame markers C0-CF, except DHT (C4), JPG (C8) and DAC (CC), carry the size.
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            h = (b[i + 5] << 8) | b[i + 6];
            w = (b[i + 7] << 8) | b[i + 8];
            return;
        }
        if (len < 2)
            return;
        i += 2 + len;
    }
}

} // namespace

Picture Picture::fromBytes(std::vector<std::uint8_t> bytes) {
    Picture p;
    const auto& b = bytes;
    auto starts = [&](std::initializer_list<std::uint8_t> sig) {
        return b.size() >= sig.size() && std::equal(sig.begin(), sig.end(), b.begin());
    };
    if (starts({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) {
        p.type = PictureType::Png;
        if (b.size() >= 24) {
            p.widthPx = static_cast<int>(be32(b, 16));
            p.heightPx = static_cast<int>(be32(b, 20));
        }
    } else if (starts({0xFF, 0xD8, 0xFF})) {
        p.type = PictureType::Jpeg;
        jpegSize(b, p.widthPx, p.heightPx);
    } else if (starts({'G', 'I', 'F', '8'})) {
        p.type = PictureType::Gif;
        if (b.size() >= 10) {
            p.widthPx = bin::u16(b, 6);
            p.heightPx = bin::u16(b, 8);
        }
    } else if (starts({'B', 'M'}) && b.size() >= 26) {
        p.type = PictureType::Bmp;
        std::int32_t w, h;
        std::memcpy(&w, &b[18], 4);
        std::memcpy(&h, &b[22], 4);
        p.widthPx = w < 0 ? -w : w;
        p.heightPx = h < 0 ? -h : h;
    } else if (starts({'I', 'I', 42, 0}) || starts({'M', 'M', 0, 42})) {
        p.type = PictureType::Tiff;
    } else if (b.size() >= 44 && b[0] == 1 && b[1] == 0 && b[2] == 0 && b[3] == 0 && b[40] == ' ' && b[41] == 'E' &&
               b[42] == 'M' && b[43] == 'F') {
        p.type = PictureType::Emf;
    } else if (starts({0xD7, 0xCD, 0xC6, 0x9A}) || starts({0x01, 0x00, 0x09, 0x00}) ||
               starts({0x02, 0x00, 0x09, 0x00})) {
        p.type = PictureType::Wmf;
    }
    // Nonsense sizes from damaged headers are treated as unknown.
    if (p.widthPx <= 0 || p.heightPx <= 0 || p.widthPx > 100000 || p.heightPx > 100000)
        p.widthPx = p.heightPx = 0;
    p.bytes = std::move(bytes);
    return p;
}

std::string Picture::extension() const {
    switch (type) {
    case PictureType::Png: return "png";
    case PictureType::Jpeg: return "jpeg";
    case PictureType::Gif: return "gif";
    case PictureType::Bmp: return "bmp";
    case PictureType::Tiff: return "tiff";
    case PictureType::Emf: return "emf";
    case PictureType::Wmf: return "wmf";
    case PictureType::Unknown: break;
    }
    return "bin";
}

std::string Picture::mimeType() const {
    switch (type) {
    case PictureType::Png: return "image/png";
    case PictureType::Jpeg: return "image/jpeg";
    case PictureType::Gif: return "image/gif";
    case PictureType::Bmp: return "image/bmp";
    case PictureType::Tiff: return "image/tiff";
    case PictureType::Emf: return "image/x-emf";
    case PictureType::Wmf: return "image/x-wmf";
    case PictureType::Unknown: break;
    }
    return "application/octet-stream";
}

std::string Paragraph::text() const {
    std::string t;
    for (const auto& r : runs)
        if (!r.isPicture())
            t += r.text;
    return t;
}

Document::Document() : paragraphs_(1) {}

void Document::insertAfter(const std::string& utf8) {
    std::string pending;
    auto flush = [&] {
        if (pending.empty())
            return;
        auto& runs = paragraphs_.back().runs;
        if (!runs.empty() && !runs.back().isPicture())
            runs.back().text += pending;
        else
            runs.push_back(Run{pending, std::nullopt});
        pending.clear();
    };
    for (size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c == '\r' || c == '\n' || c == 0x07 || c == 0x0C) {
            if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n')
                ++i;
            flush();
            insertParagraphAfter();
        } else if (c == '\t' || c == '\v' || c >= 0x20) {
            pending += static_cast<char>(c);
        }
        // Other control characters (field delimiters, picture placeholders, ...) are dropped.
    }
    flush();
}

void Document::insertParagraphAfter() { paragraphs_.emplace_back(); }

void Document::insertPicture(Picture picture) {
    paragraphs_.back().runs.push_back(Run{{}, std::move(picture)});
}

void Document::insertDocument(const Document& other) {
    auto& open = paragraphs_.back().runs;
    const auto& first = other.paragraphs_.front().runs;
    for (const auto& run : first) {
        if (!run.isPicture() && !open.empty() && !open.back().isPicture())
            open.back().text += run.text;
        else
            open.push_back(run);
    }
    paragraphs_.insert(paragraphs_.end(), other.paragraphs_.begin() + 1, other.paragraphs_.end());
}

std::string Document::plainText() const {
    std::string t;
    for (size_t i = 0; i < paragraphs_.size(); ++i) {
        if (i)
            t += '\n';
        t += paragraphs_[i].text();
    }
    return t;
}

std::vector<const Picture*> Document::pictures() const {
    std::vector<const Picture*> out;
    for (const auto& p : paragraphs_)
        for (const auto& r : p.runs)
            if (r.picture)
                out.push_back(&*r.picture);
    return out;
}

} // namespace qm::docserver
