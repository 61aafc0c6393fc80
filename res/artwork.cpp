#include "res/artwork.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <stdexcept>

namespace qm::art {
namespace {

constexpr Rgb kDeepBlue{29, 78, 137};
constexpr Rgb kBlue{43, 108, 176};
constexpr Rgb kPaper{252, 252, 248};
constexpr Rgb kFold{214, 224, 236};
constexpr Rgb kRule{170, 190, 214};
constexpr Rgb kThread{240, 168, 48};

using Inside = std::function<bool(double, double)>;

Rgb mix(Rgb a, Rgb b, double t) {
    auto m = [t](int x, int y) { return static_cast<std::uint8_t>(std::lround(x + (y - x) * t)); };
    return {m(a.r, b.r), m(a.g, b.g), m(a.b, b.b)};
}

void put(Image& img, int x, int y, Rgb c, double alpha) {
    auto* p = img.at(x, y);
    p[0] = static_cast<std::uint8_t>(std::lround(p[0] + (c.r - p[0]) * alpha));
    p[1] = static_cast<std::uint8_t>(std::lround(p[1] + (c.g - p[1]) * alpha));
    p[2] = static_cast<std::uint8_t>(std::lround(p[2] + (c.b - p[2]) * alpha));
    p[3] = static_cast<std::uint8_t>(std::max<double>(p[3], std::lround(255 * alpha)));
}

// Paints a shape with 4 x 4 supersampling inside the box [x0, x1) x [y0, y1); colourAt gives
// the colour at a pixel. hard = true paints whole pixels only (no blended edge pixels).
void fill(Image& img, double x0, double y0, double x1, double y1, const Inside& inside,
          const std::function<Rgb(int, int)>& colourAt, double opacity = 1.0, bool hard = false) {
    const int ix0 = std::max(0, static_cast<int>(std::floor(x0)));
    const int iy0 = std::max(0, static_cast<int>(std::floor(y0)));
    const int ix1 = std::min(img.width, static_cast<int>(std::ceil(x1)));
    const int iy1 = std::min(img.height, static_cast<int>(std::ceil(y1)));
    for (int y = iy0; y < iy1; ++y)
        for (int x = ix0; x < ix1; ++x) {
            int hits = 0;
            for (int sy = 0; sy < 4; ++sy)
                for (int sx = 0; sx < 4; ++sx)
                    hits += inside(x + (sx + 0.5) / 4, y + (sy + 0.5) / 4);
            if (hard)
                hits = hits >= 8 ? 16 : 0;
            if (hits)
                put(img, x, y, colourAt(x, y), opacity * hits / 16.0);
        }
}

void fillSolid(Image& img, double x0, double y0, double x1, double y1, const Inside& inside, Rgb c,
               double opacity = 1.0, bool hard = false) {
    fill(img, x0, y0, x1, y1, inside, [c](int, int) { return c; }, opacity, hard);
}

Inside roundedRect(double x0, double y0, double x1, double y1, double r) {
    return [=](double x, double y) {
        if (x < x0 || x >= x1 || y < y0 || y >= y1)
            return false;
        const double cx = std::clamp(x, x0 + r, x1 - r);
        const double cy = std::clamp(y, y0 + r, y1 - r);
        return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
    };
}

// A thick segment with round ends.
Inside stroke(double ax, double ay, double bx, double by, double width) {
    return [=](double x, double y) {
        const double dx = bx - ax, dy = by - ay;
        const double len2 = dx * dx + dy * dy;
        const double t = len2 > 0 ? std::clamp(((x - ax) * dx + (y - ay) * dy) / len2, 0.0, 1.0) : 0.0;
        const double px = ax + t * dx - x, py = ay + t * dy - y;
        return px * px + py * py <= width * width / 4;
    };
}

// The emblem: a sheet of paper with a folded corner and ruled lines, mended by a zigzag
// stitch of thread. Drawn in the square (x, y, size).
void drawEmblem(Image& img, double x, double y, double size) {
    const double s = size / 100.0;
    const double px0 = x + 22 * s, py0 = y + 12 * s, px1 = x + 78 * s, py1 = y + 88 * s;
    const double fold = 16 * s;
    Inside page = [=](double u, double v) {
        if (u < px0 || u >= px1 || v < py0 || v >= py1)
            return false;
        return !(u > px1 - fold && v < py0 + fold && (u - (px1 - fold)) > (v - py0));
    };
    fillSolid(img, px0, py0, px1, py1, page, kPaper);
    fillSolid(img, px1 - fold, py0, px1, py0 + fold,
              [=](double u, double v) { return u >= px1 - fold && v < py0 + fold && (u - (px1 - fold)) <= (v - py0); },
              kFold);
    if (size >= 24)
        for (int i = 0; i < 5; ++i) {
            const double ly = py0 + (28 + i * 11) * s;
            fillSolid(img, px0, ly - s, px1, ly + s, stroke(px0 + 8 * s, ly, px1 - 8 * s - (i == 4 ? 16 * s : 0), ly, std::max(1.0, 2.2 * s)),
                      kRule);
        }
    // The stitch across the page.
    const double w = std::max(1.2, 5.0 * s);
    const std::array<std::pair<double, double>, 6> pts{{{14, 62}, {30, 48}, {46, 66}, {62, 48}, {78, 66}, {90, 50}}};
    for (std::size_t i = 0; i + 1 < pts.size(); ++i) {
        const double ax = x + pts[i].first * s, ay = y + pts[i].second * s;
        const double bx = x + pts[i + 1].first * s, by = y + pts[i + 1].second * s;
        fillSolid(img, std::min(ax, bx) - w, std::min(ay, by) - w, std::max(ax, bx) + w, std::max(ay, by) + w,
                  stroke(ax, ay, bx, by, w), kThread);
    }
}

void gradientBackground(Image& img, Rgb top, Rgb bottom) {
    for (int y = 0; y < img.height; ++y) {
        const Rgb c = mix(top, bottom, img.height > 1 ? double(y) / (img.height - 1) : 0.0);
        for (int x = 0; x < img.width; ++x) {
            auto* p = img.at(x, y);
            p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = 255;
        }
    }
}

void putBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 3; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void putLe(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void pngChunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& data) {
    putBe32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    const auto crc = crc32(0L, out.data() + start, static_cast<uInt>(out.size() - start));
    putBe32(out, static_cast<std::uint32_t>(crc));
}

} // namespace

Image drawBannerSkin() {
    Image img(kBannerSkinWidth, kBannerSkinHeight);
    gradientBackground(img, {240, 244, 249}, {218, 228, 239});
    constexpr int band = 84;
    for (int y = 0; y < band; ++y) {
        const Rgb c = mix(kDeepBlue, kBlue, double(y) / band);
        for (int x = 0; x < img.width; ++x) {
            auto* p = img.at(x, y);
            p[0] = c.r, p[1] = c.g, p[2] = c.b;
        }
    }
    // Faint diagonal bands across the banner, a thread-coloured rule under it.
    for (int k = 0; k < 12; ++k) {
        const double x0 = 380 + k * 110;
        fillSolid(img, x0 - 170, 0, x0, band,
                  [x0](double x, double y) { const double u = x - x0 + y; return u >= -80 && u < -40; },
                  {255, 255, 255}, 0.05);
    }
    fillSolid(img, 0, band, img.width, band + 4, [](double, double) { return true; }, kThread);
    drawEmblem(img, 10, 6, 72);
    return img;
}

Image drawPanelSkin() {
    Image img(kPanelSkinWidth, kPanelSkinHeight);
    gradientBackground(img, {246, 248, 251}, {224, 232, 241});
    fillSolid(img, 0, 0, img.width, 5, [](double, double) { return true; }, kBlue);
    fillSolid(img, 0, 5, img.width, 7, [](double, double) { return true; }, kThread);
    return img;
}

Image drawSplash() {
    Image img(kSplashWidth, kSplashHeight);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            auto* p = img.at(x, y);
            p[0] = kSplashKey.r, p[1] = kSplashKey.g, p[2] = kSplashKey.b, p[3] = 255;
        }
    // The card's outline is hard-edged: a blended edge pixel would not match the key colour
    // and would show as a fringe around the window.
    const double m = 6;
    fill(img, m, m, img.width - m, img.height - m, roundedRect(m, m, img.width - m, img.height - m, 30),
         [&](int, int y) { return mix(kDeepBlue, kBlue, double(y) / img.height); }, 1.0, true);
    fillSolid(img, m, 214, img.width - m, 219, [](double, double y) { return y >= 214 && y < 219; }, kThread);
    drawEmblem(img, 170, 40, 150);
    return img;
}

Image drawIcon(int size) {
    if (size < 8 || size > 1024)
        throw std::invalid_argument("icon size out of range");
    Image img(size, size);
    const double s = size / 100.0;
    fill(img, 0, 0, size, size, roundedRect(4 * s, 4 * s, 96 * s, 96 * s, 18 * s),
         [&](int, int y) { return mix(kBlue, kDeepBlue, double(y) / size); });
    drawEmblem(img, 0, 0, size);
    return img;
}

std::string iconSvg() {
    return R"svg(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100" viewBox="0 0 100 100">
  <defs>
    <linearGradient id="bg" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="#2b6cb0"/>
      <stop offset="1" stop-color="#1d4e89"/>
    </linearGradient>
  </defs>
  <rect x="4" y="4" width="92" height="92" rx="18" fill="url(#bg)"/>
  <path d="M22 12 H62 L78 28 V88 H22 Z" fill="#fcfcf8"/>
  <path d="M62 12 L78 28 H62 Z" fill="#d6e0ec"/>
  <g stroke="#aabed6" stroke-width="2.2" stroke-linecap="round">
    <path d="M30 40 H70 M30 51 H70 M30 62 H70 M30 73 H70 M30 84 H54"/>
  </g>
  <path d="M14 62 L30 48 L46 66 L62 48 L78 66 L90 50" fill="none" stroke="#f0a830"
        stroke-width="5" stroke-linecap="round" stroke-linejoin="round"/>
</svg>
)svg";
}

std::vector<std::uint8_t> encodeBmp(const Image& image) {
    const std::uint32_t rowBytes = (static_cast<std::uint32_t>(image.width) * 3 + 3) & ~3u;
    const std::uint32_t pixelBytes = rowBytes * static_cast<std::uint32_t>(image.height);
    std::vector<std::uint8_t> out;
    out.reserve(54 + pixelBytes);
    out.push_back('B'), out.push_back('M');
    putLe(out, 54 + pixelBytes, 4);
    putLe(out, 0, 4);
    putLe(out, 54, 4);
    putLe(out, 40, 4); // BITMAPINFOHEADER
    putLe(out, static_cast<std::uint32_t>(image.width), 4);
    putLe(out, static_cast<std::uint32_t>(image.height), 4); // positive: rows bottom-up
    putLe(out, 1, 2);
    putLe(out, 24, 2);
    putLe(out, 0, 4); // BI_RGB
    putLe(out, pixelBytes, 4);
    putLe(out, 2835, 4), putLe(out, 2835, 4); // 72 dpi
    putLe(out, 0, 4), putLe(out, 0, 4);
    for (int y = image.height - 1; y >= 0; --y) {
        for (int x = 0; x < image.width; ++x) {
            const auto* p = image.at(x, y);
            out.push_back(p[2]), out.push_back(p[1]), out.push_back(p[0]);
        }
        out.resize(out.size() + (rowBytes - static_cast<std::uint32_t>(image.width) * 3), 0);
    }
    return out;
}

std::vector<std::uint8_t> encodePng(const Image& image) {
    std::vector<std::uint8_t> raw;
    raw.reserve(static_cast<std::size_t>(image.height) * (image.width * 4 + 1));
    for (int y = 0; y < image.height; ++y) {
        raw.push_back(0); // filter: none
        const auto* row = image.at(0, y);
        raw.insert(raw.end(), row, row + static_cast<std::size_t>(image.width) * 4);
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK)
        throw std::runtime_error("PNG compression failed");
    packed.resize(packedSize);

    std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<std::uint8_t> header;
    putBe32(header, static_cast<std::uint32_t>(image.width));
    putBe32(header, static_cast<std::uint32_t>(image.height));
    header.insert(header.end(), {8, 6, 0, 0, 0}); // 8-bit RGBA, deflate, no filter set, no interlace
    pngChunk(out, "IHDR", header);
    pngChunk(out, "IDAT", packed);
    pngChunk(out, "IEND", {});
    return out;
}

} // namespace qm::art
