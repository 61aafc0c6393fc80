// HTML page writer (SaveAs format 8). The page is UTF-8 with one <p> per paragraph; its
// pictures go into the folder "<stem>_files" beside it as image001.png, image002.jpeg, ...
// The same markup is the main part of the web archive (mht_writer.cpp).
#include "docserver/format_io.h"

#include "platform/files.h"

#include <cstdio>

namespace qm::docserver {
namespace {

// Escaped text of a run; line breaks (\v) become <br>, stray line ends a space.
void appendText(std::string& out, const std::string& raw) {
    std::size_t start = 0;
    while (true) {
        const std::size_t pos = raw.find('\v', start);
        std::string piece = xmlSafe(repairUtf8(raw.substr(start, pos == std::string::npos ? pos : pos - start)));
        for (char& c : piece)
            if (c == '\n' || c == '\r')
                c = ' ';
        out += escapeMarkup(piece);
        if (pos == std::string::npos)
            break;
        out += "<br>";
        start = pos + 1;
    }
}

} // namespace

std::string htmlPictureName(std::size_t index, const Picture& picture) {
    char name[32];
    std::snprintf(name, sizeof name, "image%03zu.", index + 1);
    return name + picture.extension();
}

void writeHtmlMarkup(Sink& sink, const Document& doc, const std::string& title,
                     const std::function<std::string(std::size_t, const Picture&)>& srcFor) {
    std::string out;
    out += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n";
    out += "<meta name=\"generator\" content=\"Quillmend document server\">\n";
    out += "<title>" + escapeMarkup(xmlSafe(repairUtf8(title))) + "</title>\n";
    // pre-wrap keeps the document's spaces and tabs as typed.
    out += "<style>\n"
           "body{font-family:Calibri,Carlito,\"Liberation Sans\",Arial,sans-serif;font-size:11pt;"
           "margin:1em 2em}\n"
           "p{margin:0 0 8pt 0;line-height:1.15;white-space:pre-wrap;tab-size:4}\n"
           "img{max-width:100%;height:auto;vertical-align:bottom}\n"
           "</style>\n</head>\n<body>\n";
    std::size_t pictureIndex = 0;
    bool inParagraph = false;
    // A browser shows no line for an empty block or for a final <br>; one more <br> keeps
    // empty paragraphs and trailing line breaks visible (the reader drops it).
    bool needsFiller = true;
    doc.forEachPiece([&](const Paragraph& piece, bool ends) {
        if (!inParagraph) {
            out += "<p>";
            inParagraph = true;
            needsFiller = true;
        }
        for (const auto& run : piece.runs) {
            if (run.isPicture()) {
                const Picture& pic = *run.picture;
                out += "<img src=\"" + escapeMarkup(srcFor(pictureIndex++, pic)) + "\"";
                if (pic.widthPx > 0 && pic.heightPx > 0)
                    out += " width=\"" + std::to_string(pic.widthPx) + "\" height=\"" +
                           std::to_string(pic.heightPx) + "\"";
                out += " alt=\"\">";
                needsFiller = false;
                continue;
            }
            appendText(out, run.text);
            if (!run.text.empty())
                needsFiller = run.text.back() == '\v';
        }
        if (ends) {
            if (needsFiller)
                out += "<br>";
            out += "</p>\n";
            inParagraph = false;
        }
        sink << out;
        out.clear();
    });
    out += "</body>\n</html>\n";
    sink << out;
}

void writeHtmlPage(const Document& doc, const std::filesystem::path& page) {
    const std::string stem = page.stem().string();
    const std::string folderName = stem + "_files";
    const std::filesystem::path folder = page.parent_path() / folderName;
    std::size_t i = 0;
    doc.forEachPicture([&](const Picture& pic) {
        if (i == 0 && !files::createFolders(folder))
            throw DocError("cannot create the picture folder " + folder.string());
        const auto file = folder / htmlPictureName(i++, pic);
        if (!files::writeFile(file, {reinterpret_cast<const char*>(pic.bytes.data()), pic.bytes.size()}))
            throw DocError("cannot write the picture " + file.string());
    });
    FileSink sink(page);
    writeHtmlMarkup(sink, doc, stem, [&](std::size_t n, const Picture& pic) {
        return urlEscape(folderName + "/" + htmlPictureName(n, pic));
    });
    sink.commit();
}

} // namespace qm::docserver
