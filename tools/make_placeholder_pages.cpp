// Writes the placeholder pages shown in the preview browser, as web archives made by the
// document server's own writer: "Blank.mht" (while a file is analysed) and "Preview.mht" (a
// candidate that is not available, also as "preview.mht"). Run at build time.
#include "docserver/formats.h"
#include "res/artwork.h"

#include <cstdio>
#include <exception>
#include <filesystem>

namespace fs = std::filesystem;
using namespace qm::docserver;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillmend-make-pages FOLDER\n");
        return 2;
    }
    try {
        const fs::path folder = argv[1];
        fs::create_directories(folder);
        writeDocument(Document(), folder / "Blank.mht", Format::Mht);

        Document preview;
        preview.insertPicture(Picture::fromBytes(qm::art::encodePng(qm::art::drawIcon(64))));
        preview.insertParagraphAfter();
        preview.insertAfter("This preview is not available.");
        preview.insertParagraphAfter();
        preview.insertAfter("The damaged file did not give this candidate, or its analysis was stopped. "
                            "Try another preview, or save the candidates that are available.");
        writeDocument(preview, folder / "Preview.mht", Format::Mht);
        // The preview stage names this page "preview.mht" in one place; file names are
        // case-sensitive here, so that name exists too.
        writeDocument(preview, folder / "preview.mht", Format::Mht);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmend-make-pages: %s\n", e.what());
        return 1;
    }
    return 0;
}
