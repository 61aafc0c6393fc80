// RTF writer: 7-bit RTF with \uN escapes for every non-ASCII character, \par between
// paragraphs, \tab and \line, and pictures as hex \pict groups (PNG, JPEG, EMF as blips,
// BMP as a device-independent bitmap, WMF as a metafile). Picture kinds RTF cannot hold
// (GIF, TIFF, unknown bytes) go into an ignorable destination that our reader restores and
// other readers skip.
#include "docserver/format_io.h"

#include "platform/codepage.h"

namespace qm::docserver {
namespace {

void appendHex(std::string& out, const std::uint8_t* data, std::size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < size; ++i) {
        if (i % 64 == 0)
            out += "\r\n";
        out += kHex[data[i] >> 4];
        out += kHex[data[i] & 15];
    }
}

void appendText(std::string& out, const std::string& utf8) {
    for (std::size_t i = 0; i < utf8.size();) {
        const std::uint32_t cp = codepage::nextCodePoint(utf8, i);
        switch (cp) {
        case '\\': out += "\\\\"; continue;
        case '{': out += "\\{"; continue;
        case '}': out += "\\}"; continue;
        case '\t': out += "\\tab "; continue;
        case '\v': out += "\\line "; continue;
        default: break;
        }
        if (cp < 0x20)
            continue; // other controls have no text form
        if (cp < 0x80) {
            out += static_cast<char>(cp);
            continue;
        }
        // \uN takes a signed 16-bit value; characters beyond the BMP go as a surrogate pair.
        auto unit = [&](std::uint32_t u) { out += "\\u" + std::to_string(static_cast<std::int16_t>(u)) + "?"; };
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
}

void appendPicture(std::string& out, const Picture& pic) {
    const std::uint8_t* data = pic.bytes.data();
    std::size_t size = pic.bytes.size();
    std::string kind;
    switch (pic.type) {
    case PictureType::Png: kind = "\\pngblip"; break;
    case PictureType::Jpeg: kind = "\\jpegblip"; break;
    case PictureType::Emf: kind = "\\emfblip"; break;
    case PictureType::Bmp:
        // The bitmap without its 14-byte file header.
        if (size > 14) {
            kind = "\\dibitmap0";
            data += 14;
            size -= 14;
        }
        break;
    case PictureType::Wmf:
        kind = "\\wmetafile8";
        if (size > 22 && data[0] == 0xD7 && data[1] == 0xCD) { // placeable header: not part of RTF
            data += 22;
            size -= 22;
        }
        break;
    default: break;
    }
    if (kind.empty()) {
        out += "{\\*\\qmpict";
        appendHex(out, data, size);
        out += "}";
        return;
    }
    out += "{\\pict" + kind;
    if (pic.widthPx > 0 && pic.heightPx > 0) {
        out += "\\picw" + std::to_string(pic.widthPx) + "\\pich" + std::to_string(pic.heightPx);
        // Goal sizes in twips at 96 pixels per inch.
        out += "\\picwgoal" + std::to_string(pic.widthPx * 15) + "\\pichgoal" + std::to_string(pic.heightPx * 15);
    }
    appendHex(out, data, size);
    out += "}";
}

} // namespace

void writeRtf(Sink& sink, const Document& doc) {
    std::string out;
    out += "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1\r\n";
    out += "{\\fonttbl{\\f0\\fswiss\\fcharset0 Calibri;}}\r\n";
    out += "{\\*\\generator Quillmend;}\r\n";
    out += "\\paperw12240\\paperh15840\\margl1440\\margr1440\\margt1440\\margb1440\\viewkind4\r\n";
    out += "\\pard\\plain\\sa160\\sl259\\slmult1\\f0\\fs22 ";
    bool first = true, inParagraph = false;
    doc.forEachPiece([&](const Paragraph& piece, bool ends) {
        if (!inParagraph && !first)
            out += "\\par\r\n";
        first = false;
        inParagraph = !ends;
        for (const auto& run : piece.runs) {
            if (run.isPicture())
                appendPicture(out, *run.picture);
            else
                appendText(out, run.text);
        }
        sink << out;
        out.clear();
    });
    out += "}\r\n";
    sink << out;
}

} // namespace qm::docserver
