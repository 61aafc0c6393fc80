// Checks on a skin file before it is decoded: the skin folder may hold anything, and a bitmap
// header can claim dimensions that would take gigabytes to decode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace qm::ui {

struct PixelSize {
    int width = 0;
    int height = 0;
};

inline constexpr int kMaxSkinSide = 8192;

// The width and height a BMP file header declares (a negative height means top-down rows);
// nothing when the bytes are not a BMP header or a side is 0 or above kMaxSkinSide.
std::optional<PixelSize> BmpHeaderSize(std::span<const std::byte> header);

} // namespace qm::ui
