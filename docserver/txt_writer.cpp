// Plain text writer: UTF-8, one line per paragraph (paragraphs separated by "\n"). Line
// breaks inside a paragraph become line ends too; pictures have no plain-text form.
#include "docserver/format_io.h"

namespace qm::docserver {

void writeTxt(Sink& sink, const Document& doc) {
    std::size_t ended = 0;
    doc.forEachPiece([&](const Paragraph& piece, bool ends) {
        std::string text = repairUtf8(piece.text());
        for (char& c : text)
            if (c == '\v' || c == '\r')
                c = '\n';
        sink << text;
        if (ends && ++ended < doc.paragraphCount())
            sink << "\n";
    });
}

} // namespace qm::docserver
