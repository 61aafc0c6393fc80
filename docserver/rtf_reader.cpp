// RTF reader: text with \par, \line, \tab, \uN (with its fallback characters skipped) and
// \'hh bytes in the document's ANSI code page, and pictures from \pict groups (hex or
// \bin data). Destinations that hold no body text (font and colour tables, style sheet,
// document info, headers, footers, field instructions, ...) are skipped.
#include "docserver/format_io.h"

#include "platform/codepage.h"

#include <cctype>
#include <cstring>

namespace qm::docserver {
namespace {

enum class Blip { None, Png, Jpeg, Emf, Wmf, Dib, Other };

struct GroupState {
    bool skip = false;
    int uc = 1;
    int pict = -1; // index into the reader's picture buffers while inside a \pict group
    bool pictOwner = false;
};

struct PictBuffer {
    Blip blip = Blip::Other;
    std::vector<std::uint8_t> data;
    int pendingNibble = -1;
};

bool isDestinationToSkip(std::string_view word) {
    static constexpr const char* kSkip[] = {
        "fonttbl",  "colortbl", "stylesheet", "info",     "header",   "headerl",  "headerr", "headerf",
        "footer",   "footerl",  "footerr",    "footerf",  "listtable", "listoverridetable", "rsidtbl",
        "generator", "xmlnstbl", "themedata", "colorschememapping", "datastore", "latentstyles",
        "fldinst",  "nonshppict", "pntext",   "pntxta",   "pntxtb",   "footnote", "annotation", "atnid",
        "atnauthor", "objdata", "filetbl",    "revtbl",   "pgdsctbl", "txe",      "xe",       "tc",
        "template", "private",  "bkmkstart",  "bkmkend",  "userprops", "docvar",  "pgptbl"};
    for (const char* s : kSkip)
        if (word == s)
            return true;
    return false;
}

// A device-independent bitmap with its 14-byte file header put back.
std::vector<std::uint8_t> dibToBmp(const std::vector<std::uint8_t>& dib) {
    if (dib.size() < 40)
        return dib;
    const std::uint32_t headerSize = bin::u32(dib, 0);
    const unsigned bitCount = bin::u16(dib, 14);
    const std::uint32_t compression = bin::u32(dib, 16);
    std::uint32_t colours = bin::u32(dib, 32);
    if (colours == 0 && bitCount <= 8)
        colours = 1u << bitCount;
    std::uint64_t offset = 14ull + headerSize + 4ull * colours;
    if (compression == 3 && headerSize == 40)
        offset += 12; // the three bit-field masks
    offset = std::min<std::uint64_t>(offset, 14 + dib.size());
    const std::uint64_t fileSize = 14 + dib.size();
    std::vector<std::uint8_t> bmp = {'B', 'M'};
    for (int k = 0; k < 4; ++k)
        bmp.push_back(static_cast<std::uint8_t>(fileSize >> (8 * k)));
    bmp.insert(bmp.end(), 4, 0);
    for (int k = 0; k < 4; ++k)
        bmp.push_back(static_cast<std::uint8_t>(offset >> (8 * k)));
    bmp.insert(bmp.end(), dib.begin(), dib.end());
    return bmp;
}

class RtfReader {
public:
    explicit RtfReader(Bytes bytes) : in_(bytes), codePage_("CP1252") {}

    Document read() {
        stack_.push_back(GroupState{});
        std::size_t i = 0;
        while (i < in_.size()) {
            const std::uint8_t c = in_[i];
            if (c == '{') {
                flushBytes();
                stack_.push_back(stack_.back());
                stack_.back().pictOwner = false;
                skipChars_ = 0;
                ++i;
            } else if (c == '}') {
                flushBytes();
                closeGroup();
                skipChars_ = 0;
                ++i;
            } else if (c == '\\') {
                i = controlWord(i + 1);
            } else if (c == '\r' || c == '\n') {
                ++i;
            } else {
                character(c);
                ++i;
            }
        }
        flushBytes();
        while (stack_.size() > 1)
            closeGroup(); // an unclosed document: keep what was read
        flushText();
        return std::move(doc_);
    }

private:
    GroupState& state() { return stack_.back(); }

    void closeGroup() {
        if (stack_.size() <= 1)
            return; // an extra '}' is ignored
        const GroupState closing = stack_.back();
        stack_.pop_back();
        if (closing.pictOwner && closing.pict >= 0)
            finishPicture(pictures_[static_cast<std::size_t>(closing.pict)]);
    }

    void finishPicture(PictBuffer& pb) {
        if (pb.data.empty())
            return;
        std::vector<std::uint8_t> bytes = pb.blip == Blip::Dib ? dibToBmp(pb.data) : std::move(pb.data);
        pb.data.clear();
        flushText();
        doc_.insertPicture(Picture::fromBytes(std::move(bytes)));
    }

    void character(std::uint8_t c) {
        GroupState& s = state();
        if (s.pict >= 0) {
            hexDigit(pictures_[static_cast<std::size_t>(s.pict)], c);
            return;
        }
        if (s.skip)
            return;
        if (skipChars_ > 0) {
            --skipChars_;
            return;
        }
        if (c >= 0x80) {
            bytes_.push_back(c);
            return;
        }
        flushBytes();
        text_ += static_cast<char>(c);
    }

    static void hexDigit(PictBuffer& pb, std::uint8_t c) {
        const int v = hexDigitValue(static_cast<char>(c));
        if (v < 0)
            return;
        if (pb.pendingNibble < 0) {
            pb.pendingNibble = v;
        } else {
            pb.data.push_back(static_cast<std::uint8_t>(pb.pendingNibble * 16 + v));
            pb.pendingNibble = -1;
        }
    }

    // Parses the control word or symbol after a backslash at i; returns the next index.
    std::size_t controlWord(std::size_t i) {
        if (i >= in_.size())
            return i;
        const std::uint8_t first = in_[i];
        if (!std::isalpha(first)) {
            return controlSymbol(i);
        }
        std::size_t end = i;
        while (end < in_.size() && std::isalpha(in_[end]) && end - i < 32)
            ++end;
        const std::string word(reinterpret_cast<const char*>(&in_[i]), end - i);
        bool hasParam = false;
        long param = 0;
        bool negative = false;
        if (end < in_.size() && in_[end] == '-') {
            negative = true;
            ++end;
        }
        while (end < in_.size() && std::isdigit(in_[end])) {
            hasParam = true;
            if (param < 100000000)
                param = param * 10 + (in_[end] - '0');
            ++end;
        }
        if (negative)
            param = -param;
        if (end < in_.size() && in_[end] == ' ')
            ++end; // the delimiting space belongs to the control word
        if (word == "bin" && hasParam && param > 0) {
            // Raw binary data: belongs to a picture, or is skipped.
            const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(param), in_.size() - end);
            if (state().pict >= 0) {
                auto& pb = pictures_[static_cast<std::size_t>(state().pict)];
                pb.data.insert(pb.data.end(), in_.begin() + end, in_.begin() + end + n);
            }
            return end + n;
        }
        command(word, hasParam, param);
        return end;
    }

    std::size_t controlSymbol(std::size_t i) {
        const std::uint8_t c = in_[i];
        if (c == '\'') {
            if (i + 2 < in_.size() && std::isxdigit(in_[i + 1]) && std::isxdigit(in_[i + 2])) {
                const int v = std::stoi(std::string(reinterpret_cast<const char*>(&in_[i + 1]), 2), nullptr, 16);
                if (!state().skip && state().pict < 0) {
                    if (skipChars_ > 0)
                        --skipChars_;
                    else
                        bytes_.push_back(static_cast<std::uint8_t>(v));
                }
                return i + 3;
            }
            return i + 1;
        }
        if (c == '*') {
            pendingIgnorable_ = true;
            return i + 1;
        }
        if (c == '\\' || c == '{' || c == '}') {
            character(c);
            return i + 1;
        }
        if (c == '~')
            appendText("\xC2\xA0"); // non-breaking space
        else if (c == '_')
            appendText("-"); // non-breaking hyphen
        else if (c == '\r' || c == '\n')
            paragraph(); // a backslash before a line end is a paragraph mark
        // "\-" (optional hyphen), "\:" and others add nothing.
        return i + 1;
    }

    void appendText(const std::string& utf8) {
        if (state().skip || state().pict >= 0)
            return;
        flushBytes();
        text_ += utf8;
    }

    void paragraph() {
        if (state().skip || state().pict >= 0)
            return;
        flushText();
        doc_.insertParagraphAfter();
    }

    void command(const std::string& w, bool hasParam, long param) {
        const bool ignorable = pendingIgnorable_;
        pendingIgnorable_ = false;
        GroupState& s = state();
        // An ignorable destination we do not know is skipped whole, also inside a picture
        // (its properties would otherwise be read as picture data).
        if (ignorable && w != "shppict" && w != "qmpict") {
            s.skip = true;
            s.pict = -1;
            return;
        }
        if (w == "pict" || w == "qmpict") {
            pictures_.emplace_back();
            s.pict = static_cast<int>(pictures_.size() - 1);
            s.pictOwner = true;
            if (s.skip) // a picture inside a skipped destination stays skipped
                s.pict = -1;
            return;
        }
        if (s.pict >= 0) {
            auto& pb = pictures_[static_cast<std::size_t>(s.pict)];
            if (w == "pngblip")
                pb.blip = Blip::Png;
            else if (w == "jpegblip")
                pb.blip = Blip::Jpeg;
            else if (w == "emfblip")
                pb.blip = Blip::Emf;
            else if (w == "wmetafile")
                pb.blip = Blip::Wmf;
            else if (w == "dibitmap")
                pb.blip = Blip::Dib;
            return;
        }
        if (isDestinationToSkip(w)) {
            s.skip = true;
            return;
        }
        if (w == "ansicpg" && hasParam && param > 0) {
            flushBytes();
            codePage_ = "CP" + std::to_string(param);
        } else if (w == "uc" && hasParam && param >= 0) {
            s.uc = static_cast<int>(std::min(param, 10L));
        } else if (w == "u" && hasParam) {
            unicode(static_cast<std::uint16_t>(static_cast<std::int16_t>(param)));
        } else if (w == "par" || w == "sect" || w == "page" || w == "cell") {
            paragraph();
        } else if (w == "line") {
            appendText("\v");
        } else if (w == "tab") {
            appendText("\t");
        } else if (w == "emdash") {
            appendText("\xE2\x80\x94");
        } else if (w == "endash") {
            appendText("\xE2\x80\x93");
        } else if (w == "bullet") {
            appendText("\xE2\x80\xA2");
        } else if (w == "lquote") {
            appendText("\xE2\x80\x98");
        } else if (w == "rquote") {
            appendText("\xE2\x80\x99");
        } else if (w == "ldblquote") {
            appendText("\xE2\x80\x9C");
        } else if (w == "rdblquote") {
            appendText("\xE2\x80\x9D");
        }
    }

    void unicode(std::uint16_t unit) {
        if (state().skip || state().pict >= 0)
            return;
        flushBytes();
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            highSurrogate_ = unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF && highSurrogate_) {
            codepage::appendUtf8(text_, 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (unit - 0xDC00));
            highSurrogate_ = 0;
        } else {
            codepage::appendUtf8(text_, unit);
            highSurrogate_ = 0;
        }
        skipChars_ = state().uc;
    }

    // Bytes of the ANSI code page are decoded together, so double-byte pages work.
    void flushBytes() {
        if (bytes_.empty())
            return;
        text_ += codepage::toUtf8(bytes_, codePage_);
        bytes_.clear();
    }

    void flushText() {
        flushBytes();
        if (!text_.empty())
            doc_.insertAfter(text_);
        text_.clear();
    }

    Bytes in_;
    std::string codePage_;
    std::vector<GroupState> stack_;
    std::vector<PictBuffer> pictures_;
    Document doc_;
    std::string text_;
    std::vector<std::uint8_t> bytes_;
    int skipChars_ = 0;
    bool pendingIgnorable_ = false;
    std::uint16_t highSurrogate_ = 0;
};

} // namespace

Document readRtf(Bytes bytes) {
    if (!looksLikeRtf(bytes))
        throw DocError("not an RTF document");
    return RtfReader(bytes).read();
}

bool looksLikeRtf(Bytes bytes) { return bytes.size() >= 5 && std::memcmp(bytes.data(), "{\\rtf", 5) == 0; }

} // namespace qm::docserver
