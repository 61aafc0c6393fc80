// Writes the program's artwork: the skin bitmaps and the splash picture into SKIN_FOLDER, the
// application icon (PNG sizes and SVG) into the hicolor layout under ICON_FOLDER. Run at build
// time.
#include "res/artwork.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

template <class Bytes>
void writeFile(const fs::path& file, const Bytes& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quillmend-make-artwork SKIN_FOLDER ICON_FOLDER\n");
        return 2;
    }
    try {
        using namespace qm::art;
        const fs::path skins = argv[1];
        const fs::path icons = argv[2];
        writeFile(skins / "Tessary-Word.bmp", encodeBmp(drawBannerSkin()));
        writeFile(skins / "Skin2.bmp", encodeBmp(drawPanelSkin()));
        writeFile(skins / "Flash.bmp", encodeBmp(drawSplash()));
        for (int size : {16, 24, 32, 48, 64, 128, 256}) {
            const std::string dir = std::to_string(size) + "x" + std::to_string(size);
            writeFile(icons / dir / "apps" / "quillmend.png", encodePng(drawIcon(size)));
        }
        writeFile(icons / "scalable" / "apps" / "quillmend.svg", iconSvg());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmend-make-artwork: %s\n", e.what());
        return 1;
    }
    return 0;
}
