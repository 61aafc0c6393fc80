#include "docserver/document.h"

#include "platform/bytes.h"
#include "platform/files.h"
#include "platform/temp.h"

#include <algorithm>
#include <cerrno>
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

namespace {

// The length of the longest prefix of text, at most max bytes, that does not end inside a
// UTF-8 sequence: all of text when it has max bytes or fewer, 0 when no such prefix exists.
std::size_t utf8Cut(std::string_view text, std::size_t max) {
    if (text.size() <= max)
        return text.size();
    std::size_t cut = max;
    for (int back = 0; back < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++back)
        --cut;
    return (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80 ? 0 : cut;
}

// Record tags of the spill file: a piece of text of the open paragraph, a picture, the end of
// a paragraph.
constexpr char kTextRecord = 'T', kPictureRecord = 'P', kEndRecord = 'E';

} // namespace

// The content moved out of memory, as a sequence of records in a scratch file.
class Document::Spill {
public:
    Spill() : file_(files::ScratchFile::create()) {
        if (!file_)
            fail("cannot create");
    }

    void text(std::string_view t) {
        while (!t.empty()) {
            std::size_t n = utf8Cut(t, kPieceBytes);
            if (n == 0)
                n = std::min(t.size(), kPieceBytes); // not UTF-8 here: cut anywhere
            const auto len = static_cast<std::uint32_t>(n);
            put(&kTextRecord, 1);
            put(&len, sizeof len);
            put(t.data(), n);
            t.remove_prefix(n);
        }
    }
    void picture(const Picture& p) {
        const auto type = static_cast<std::uint8_t>(p.type);
        const std::int32_t size[2] = {p.widthPx, p.heightPx};
        const std::uint64_t len = p.bytes.size();
        put(&kPictureRecord, 1);
        put(&type, 1);
        put(size, sizeof size);
        put(&len, sizeof len);
        put(p.bytes.data(), p.bytes.size());
    }
    void end() { put(&kEndRecord, 1); }

    // Reads the records back in order; onText gets at most kPieceBytes at a time.
    void read(const std::function<void(std::string_view)>& onText, const std::function<void(Picture)>& onPicture,
              const std::function<void()>& onEnd) const {
        const std::uint64_t size = file_->size();
        std::uint64_t at = 0;
        std::string text;
        while (at < size) {
            char tag = 0;
            get(at, &tag, 1);
            if (tag == kTextRecord) {
                std::uint32_t len = 0;
                get(at, &len, sizeof len);
                text.resize(len);
                get(at, text.data(), len);
                onText(text);
            } else if (tag == kPictureRecord) {
                std::uint8_t type = 0;
                std::int32_t wh[2] = {0, 0};
                std::uint64_t len = 0;
                get(at, &type, 1);
                get(at, wh, sizeof wh);
                get(at, &len, sizeof len);
                if (len > size - at)
                    fail("damaged record in");
                Picture p;
                p.type = static_cast<PictureType>(type);
                p.widthPx = wh[0];
                p.heightPx = wh[1];
                p.bytes.resize(len);
                get(at, p.bytes.data(), len);
                onPicture(std::move(p));
            } else if (tag == kEndRecord) {
                onEnd();
            } else {
                fail("damaged record in");
            }
        }
    }

private:
    void put(const void* data, std::size_t n) {
        buffer_.clear(); // it may end where the file ended
        if (!file_->append(data, n))
            fail("cannot write");
    }
    // Reads n bytes at at through a read-ahead buffer of kReadBytes (records are mostly
    // small: one read per record would cost a system call each).
    void get(std::uint64_t& at, void* data, std::size_t n) const {
        static constexpr std::size_t kReadBytes = 1u << 20;
        auto* out = static_cast<char*>(data);
        while (n > 0) {
            if (at >= bufferAt_ && at < bufferAt_ + buffer_.size()) {
                const std::size_t from = static_cast<std::size_t>(at - bufferAt_);
                const std::size_t take = std::min(n, buffer_.size() - from);
                std::copy_n(buffer_.data() + from, take, out);
                out += take;
                at += take;
                n -= take;
                continue;
            }
            if (n >= kReadBytes) { // large data is read where it goes
                if (!file_->readAt(at, out, n))
                    fail("cannot read");
                at += n;
                return;
            }
            const std::uint64_t size = file_->size();
            buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kReadBytes, size - std::min(at, size))));
            if (buffer_.size() < n || !file_->readAt(at, buffer_.data(), buffer_.size())) {
                buffer_.clear();
                fail("cannot read");
            }
            bufferAt_ = at;
        }
    }
    [[noreturn]] static void fail(const char* what) {
        throw DocError(std::string(what) + " the document's temporary file in " + temp::folder() + ": " +
                       std::strerror(errno ? errno : EIO));
    }

    mutable std::optional<files::ScratchFile> file_;
    mutable std::vector<char> buffer_; // read-ahead of read(), from file offset bufferAt_
    mutable std::uint64_t bufferAt_ = 0;
};

Document::Document() : paragraphs_(1) {}
Document::~Document() = default;
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;

Document::Document(const Document& other) : Document() { insertDocument(other); }

Document& Document::operator=(const Document& other) {
    if (this != &other) {
        Document copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void Document::appendText(std::string_view text) {
    if (text.empty())
        return;
    auto& runs = paragraphs_.back().runs;
    if (!runs.empty() && !runs.back().isPicture())
        runs.back().text += text;
    else
        runs.push_back(Run{std::string(text), std::nullopt});
    memoryBytes_ += text.size();
    spillIfLarge();
}

void Document::spillIfLarge() {
    if (memoryBytes_ <= kMemoryBytes)
        return;
    if (!spill_)
        spill_ = std::make_unique<Spill>();
    for (std::size_t i = 0; i < paragraphs_.size(); ++i) {
        for (const auto& run : paragraphs_[i].runs) {
            if (run.picture)
                spill_->picture(*run.picture);
            else
                spill_->text(run.text);
        }
        if (i + 1 < paragraphs_.size())
            spill_->end();
    }
    paragraphs_.assign(1, Paragraph{});
    memoryBytes_ = 0;
    pictureCache_.clear();
}

void Document::insertAfter(std::string_view utf8) {
    std::size_t from = 0; // start of the characters not yet appended
    auto flushTo = [&](std::size_t to) {
        appendText(utf8.substr(from, to - from));
        from = to;
    };
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c == '\t' || c == '\v' || c >= 0x20) {
            if (i - from >= kPieceBytes && (c & 0xC0) != 0x80)
                flushTo(i); // a long text is taken in steps, so it can be spilled as it comes
            continue;
        }
        flushTo(i);
        if (c == '\r' || c == '\n' || c == 0x07 || c == 0x0C) {
            if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n')
                ++i;
            insertParagraphAfter();
        }
        // Other control characters (field delimiters, picture placeholders, ...) are dropped.
        from = i + 1;
    }
    flushTo(utf8.size());
}

void Document::insertParagraphAfter() {
    paragraphs_.emplace_back();
    ++paragraphCount_;
    memoryBytes_ += sizeof(Paragraph); // many empty paragraphs count too
    spillIfLarge();
}

void Document::insertPicture(Picture picture) {
    memoryBytes_ += picture.bytes.size() + sizeof(Run);
    paragraphs_.back().runs.push_back(Run{{}, std::move(picture)});
    ++pictureCount_;
    pictureCache_.clear();
    spillIfLarge();
}

void Document::insertDocument(const Document& other) {
    if (&other == this) {
        const Document copy(other);
        insertDocument(copy);
        return;
    }
    std::size_t ended = 0;
    other.forEachPiece([&](const Paragraph& piece, bool ends) {
        for (const auto& run : piece.runs) {
            if (run.picture)
                insertPicture(*run.picture);
            else
                appendText(run.text);
        }
        // The other document's last paragraph stays open.
        if (ends && ++ended < other.paragraphCount_)
            insertParagraphAfter();
    });
}

void Document::forEachPiece(const PieceVisitor& visit) const {
    Paragraph piece;
    std::size_t pieceBytes = 0;
    auto emit = [&](bool ends) {
        visit(piece, ends);
        piece.runs.clear();
        pieceBytes = 0;
    };
    auto text = [&](std::string_view t) {
        while (!t.empty()) {
            if (pieceBytes >= kPieceBytes)
                emit(false);
            std::size_t n = utf8Cut(t, kPieceBytes - pieceBytes);
            if (n == 0 && pieceBytes > 0) {
                emit(false); // no character boundary in the room left: the next piece takes it
                continue;
            }
            if (n == 0)
                n = std::min(t.size(), kPieceBytes);
            auto& runs = piece.runs;
            if (!runs.empty() && !runs.back().isPicture())
                runs.back().text.append(t.substr(0, n));
            else
                runs.push_back(Run{std::string(t.substr(0, n)), std::nullopt});
            pieceBytes += n;
            t.remove_prefix(n);
        }
    };
    auto picture = [&](Picture p) {
        if (pieceBytes >= kPieceBytes)
            emit(false);
        pieceBytes += p.bytes.size();
        piece.runs.push_back(Run{{}, std::move(p)});
    };
    if (spill_)
        spill_->read(text, picture, [&] { emit(true); });
    for (std::size_t i = 0; i < paragraphs_.size(); ++i) {
        for (const auto& run : paragraphs_[i].runs) {
            if (run.picture)
                picture(*run.picture);
            else
                text(run.text);
        }
        emit(true);
    }
}

void Document::forEachPicture(const std::function<void(const Picture&)>& visit) const {
    if (pictureCount_ == 0)
        return;
    forEachPiece([&](const Paragraph& piece, bool) {
        for (const auto& run : piece.runs)
            if (run.picture)
                visit(*run.picture);
    });
}

bool Document::hasText() const {
    bool found = false;
    forEachPiece([&](const Paragraph& piece, bool) {
        for (const auto& run : piece.runs)
            for (const char c : run.text)
                found = found || !(c == ' ' || c == '\t' || c == '\v' || c == '\n' || c == '\r' || c == '\f');
    });
    return found;
}

std::vector<Paragraph> Document::paragraphs() const {
    std::vector<Paragraph> out(1);
    forEachPiece([&](const Paragraph& piece, bool ends) {
        auto& runs = out.back().runs;
        for (const auto& run : piece.runs) {
            if (!run.isPicture() && !runs.empty() && !runs.back().isPicture())
                runs.back().text += run.text;
            else
                runs.push_back(run);
        }
        if (ends)
            out.emplace_back();
    });
    out.pop_back();
    return out;
}

std::string Document::plainText() const {
    std::string t;
    std::size_t ended = 0;
    forEachPiece([&](const Paragraph& piece, bool ends) {
        t += piece.text();
        if (ends && ++ended < paragraphCount_)
            t += '\n';
    });
    return t;
}

std::vector<const Picture*> Document::pictures() const {
    std::vector<const Picture*> out;
    if (spill_) {
        if (pictureCache_.size() != pictureCount_) {
            pictureCache_.clear();
            pictureCache_.reserve(pictureCount_);
            forEachPicture([&](const Picture& p) { pictureCache_.push_back(p); });
        }
        for (const auto& p : pictureCache_)
            out.push_back(&p);
        return out;
    }
    for (const auto& p : paragraphs_)
        for (const auto& r : p.runs)
            if (r.picture)
                out.push_back(&*r.picture);
    return out;
}

bool Document::operator==(const Document& other) const { return paragraphs() == other.paragraphs(); }

} // namespace qm::docserver
