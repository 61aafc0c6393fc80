// Preview 2 of a package: a bare web page that shows every extracted picture file.
#pragma once

#include <string>

namespace qm {

// Writes the page "~MO.html" into a new preview folder (session().docxPreviewFolder) and names
// it in session().previewDocxPath[2]. The page holds one line per plain file of mediaFolder, in
// the order the file system lists them, and nothing else:
//     <img src="PATH"\>  followed by the bytes 0D 0A 0D
// PATH is mediaFolder exactly as passed (a doubled separator stays) followed by the file name,
// with the bytes that would end the attribute or change the URL's meaning percent-encoded (see
// GalleryUrlPath). An empty folder gives a zero-byte page. Returns true when the folder could be
// listed and the page was written.
bool MakeGalleryPage(const std::string& mediaFolder);

// The form of a file path in the page: '"' '#' '%' '&' '<' '?' and '\' (which a web view reads
// as a separator in file URLs), control bytes and every byte from 0x7F up are written as %XX, so
// the page stays ASCII and each picture is found whatever its name. Everything else, spaces
// included, is written as it is.
std::string GalleryUrlPath(const std::string& path);

} // namespace qm
