#include "ui/skin_file.h"

#include <cstdlib>

namespace qm::ui {

namespace {
std::int32_t le32(std::span<const std::byte> b, std::size_t at) {
    return static_cast<std::int32_t>(std::to_integer<std::uint32_t>(b[at]) | std::to_integer<std::uint32_t>(b[at + 1]) << 8 |
                                     std::to_integer<std::uint32_t>(b[at + 2]) << 16 |
                                     std::to_integer<std::uint32_t>(b[at + 3]) << 24);
}
} // namespace

std::optional<PixelSize> BmpHeaderSize(std::span<const std::byte> header) {
    // "BM", then the info header's width at offset 18 and height at 22.
    if (header.size() < 26 || header[0] != std::byte{'B'} || header[1] != std::byte{'M'})
        return std::nullopt;
    const std::int64_t w = le32(header, 18);
    const std::int64_t h = std::llabs(static_cast<std::int64_t>(le32(header, 22)));
    if (w <= 0 || h <= 0 || w > kMaxSkinSide || h > kMaxSkinSide)
        return std::nullopt;
    return PixelSize{static_cast<int>(w), static_cast<int>(h)};
}

} // namespace qm::ui
