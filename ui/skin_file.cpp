#include "ui/skin_file.h"

#include "platform/bytes.h"

#include <cstdlib>

namespace qm::ui {

std::optional<PixelSize> BmpHeaderSize(std::span<const std::byte> header) {
    // "BM", then the info header's width at offset 18 and height at 22.
    if (header.size() < 26 || header[0] != std::byte{'B'} || header[1] != std::byte{'M'})
        return std::nullopt;
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(header.data()), header.size());
    const std::int64_t w = bin::s32(bytes, 18);
    const std::int64_t h = std::llabs(static_cast<std::int64_t>(bin::s32(bytes, 22)));
    if (w <= 0 || h <= 0 || w > kMaxSkinSide || h > kMaxSkinSide)
        return std::nullopt;
    return PixelSize{static_cast<int>(w), static_cast<int>(h)};
}

} // namespace qm::ui
