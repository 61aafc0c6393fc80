#include "engine/gallery_page.h"

#include "app/session_state.h"
#include "platform/files.h"
#include "platform/temp.h"

namespace qm {

std::string GalleryUrlPath(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        const bool escape = c < 0x20 || c >= 0x7F || c == '"' || c == '#' || c == '%' || c == '&' || c == '<' ||
                            c == '?' || c == '\\';
        if (escape) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}

bool MakeGalleryPage(const std::string& mediaFolder) {
    auto& s = session();
    s.docxPreviewFolder = temp::makeFolder();
    if (s.docxPreviewFolder.empty())
        return false;
    s.previewDocxPath[2] = s.docxPreviewFolder / "~MO.html";

    std::string folder = mediaFolder;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    if (!files::isFolder(folder))
        return false;
    std::string page;
    for (const auto& name : files::listFolder(folder)) {
        const std::string path = folder + name;
        if (files::isFolder(path))
            continue;
        // The line ends as the page has always been written: LF CR through a text-mode file.
        page += "<img src=\"" + GalleryUrlPath(path) + "\"\\>\r\n\r";
    }
    return files::writeFile(s.previewDocxPath[2], page);
}

} // namespace qm
