// Plain text writer: UTF-8, one line per paragraph (paragraphs separated by "\n"). Line
// breaks inside a paragraph become line ends too; pictures have no plain-text form.
#include "docserver/format_io.h"

namespace qm::docserver {

std::string writeTxt(const Document& doc) {
    std::string out;
    bool first = true;
    for (const auto& para : doc.paragraphs()) {
        if (!first)
            out += '\n';
        first = false;
        std::string text = repairUtf8(para.text());
        for (char& c : text)
            if (c == '\v' || c == '\r')
                c = '\n';
        out += text;
    }
    return out;
}

} // namespace qm::docserver
