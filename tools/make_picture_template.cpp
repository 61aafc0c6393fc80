// Writes the picture template "TempPicture.Doc" (a .doc with one inline picture whose picture
// record starts at offset 5120) to the path given. Run at build time.
#include "docserver/doc_binary.h"

#include <cstdio>
#include <exception>
#include <fstream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillmend-make-template OUTPUT\n");
        return 2;
    }
    try {
        const auto bytes = qm::docserver::makePictureTemplate();
        std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::fprintf(stderr, "quillmend-make-template: cannot write %s\n", argv[1]);
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmend-make-template: %s\n", e.what());
        return 1;
    }
    return 0;
}
