#include "ui/splash_shape.h"

#include <algorithm>

namespace qm::ui {

std::vector<ShapeRun> ShapeRuns(int width, int height, std::span<const std::uint8_t> rgb, art::Rgb key) {
    std::vector<ShapeRun> runs;
    if (width <= 0 || height <= 0 || rgb.size() / 3 / static_cast<std::size_t>(width) < static_cast<std::size_t>(height))
        return runs;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = rgb.data() + static_cast<std::size_t>(y) * width * 3;
        int x = 0;
        while (x < width) {
            auto isKey = [&](int i) {
                return row[i * 3] == key.r && row[i * 3 + 1] == key.g && row[i * 3 + 2] == key.b;
            };
            while (x < width && isKey(x))
                ++x;
            const int start = x;
            while (x < width && !isKey(x))
                ++x;
            if (x > start)
                runs.push_back({start, y, x - start});
        }
    }
    return runs;
}

SplashTimeline::Frame SplashTimeline::at(long ms) const {
    if (ms >= totalMs())
        return {0, true};
    if (!canBlend_)
        return {255, false};
    if (ms < kFadeInMs)
        return {static_cast<int>(std::max(0L, ms) * 255 / kFadeInMs), false};
    const long fadeOutStart = kFadeInMs + kShowMs;
    if (ms < fadeOutStart)
        return {255, false};
    return {static_cast<int>(255 - (ms - fadeOutStart) * 255 / kFadeOutMs), false};
}

} // namespace qm::ui
