// The display-free parts of the splash screen: the window shape cut from a picture by its key
// colour, and the timeline of fading in, showing and fading out.
#pragma once

#include "res/artwork.h"

#include <cstdint>
#include <span>
#include <vector>

namespace qm::ui {

// One pixel high rectangle of the shape.
struct ShapeRun {
    int x = 0, y = 0, width = 0;
    friend bool operator==(const ShapeRun&, const ShapeRun&) = default;
};

// Every maximal horizontal run of pixels, row by row, whose colour differs from `key` (exact
// comparison). rgb holds width * height pixels of 3 bytes, rows top to bottom; a buffer too
// short for the size gives no runs.
std::vector<ShapeRun> ShapeRuns(int width, int height, std::span<const std::uint8_t> rgb,
                                art::Rgb key = art::kSplashKey);

// Where the splash is at a moment of its life. With blending it fades in over 500 ms, stays
// 2500 ms and fades out over 200 ms; without, it shows for 2500 ms and hides at once.
class SplashTimeline {
public:
    static constexpr int kFadeInMs = 500;
    static constexpr int kShowMs = 2500;
    static constexpr int kFadeOutMs = 200;

    explicit SplashTimeline(bool canBlend) : canBlend_(canBlend) {}

    struct Frame {
        int opacity = 255; // 0 (invisible) .. 255 (opaque)
        bool finished = false;
    };
    Frame at(long elapsedMs) const;
    int totalMs() const { return canBlend_ ? kFadeInMs + kShowMs + kFadeOutMs : kShowMs; }

private:
    bool canBlend_;
};

} // namespace qm::ui
