// The program's own artwork, drawn in code: the skin bitmaps, the splash picture with its
// key-coloured outside, and the application icon. The build writes them as files
// (tools/make_artwork); the desktop program draws the icon from the same code at run time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::art {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// Pixels of the splash picture in this exact colour are cut out of the splash window.
inline constexpr Rgb kSplashKey{255, 0, 240};

// An RGBA picture, rows top to bottom, 4 bytes a pixel.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;

    Image() = default;
    Image(int w, int h) : width(w), height(h), rgba(static_cast<std::size_t>(w) * h * 4, 0) {}
    std::uint8_t* at(int x, int y) { return &rgba[(static_cast<std::size_t>(y) * width + x) * 4]; }
    const std::uint8_t* at(int x, int y) const { return &rgba[(static_cast<std::size_t>(y) * width + x) * 4]; }
    Rgb rgb(int x, int y) const { const auto* p = at(x, y); return {p[0], p[1], p[2]}; }
};

// Skin sizes: each is larger than the largest window it serves at common font sizes,
// because the skin is drawn unscaled from the top-left corner.
inline constexpr int kBannerSkinWidth = 1600, kBannerSkinHeight = 1000;  // "Tessary-Word.bmp"
inline constexpr int kPanelSkinWidth = 1200, kPanelSkinHeight = 800;     // "Skin2.bmp"
inline constexpr int kSplashWidth = 480, kSplashHeight = 300;            // "Flash.bmp"

Image drawBannerSkin(); // main and preview windows: a banner band over a light panel
Image drawPanelSkin();  // the smaller dialogs
Image drawSplash();     // a rounded card on the key colour
Image drawIcon(int size);
std::string iconSvg();

// File encodings: a 24-bit uncompressed BMP (alpha dropped) and an 8-bit RGBA PNG.
std::vector<std::uint8_t> encodeBmp(const Image& image);
std::vector<std::uint8_t> encodePng(const Image& image);

} // namespace qm::art
