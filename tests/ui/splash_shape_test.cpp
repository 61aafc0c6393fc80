#include "ui/splash_shape.h"

#include <gtest/gtest.h>

namespace qm::ui {
namespace {

using Rgb = art::Rgb;

std::vector<std::uint8_t> picture(int w, int h, Rgb fill) {
    std::vector<std::uint8_t> rgb;
    for (int i = 0; i < w * h; ++i)
        rgb.insert(rgb.end(), {fill.r, fill.g, fill.b});
    return rgb;
}

void set(std::vector<std::uint8_t>& rgb, int w, int x, int y, Rgb c) {
    auto* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
    p[0] = c.r, p[1] = c.g, p[2] = c.b;
}

TEST(SplashShape, KeyColouredBorderLeavesOnlyTheInnerShape) {
    // 6 x 4, a one-pixel key border around a 4 x 2 inside; one inner pixel is almost the key.
    auto rgb = picture(6, 4, art::kSplashKey);
    for (int y = 1; y < 3; ++y)
        for (int x = 1; x < 5; ++x)
            set(rgb, 6, x, y, {10, 20, 30});
    set(rgb, 6, 2, 1, {254, 0, 240});
    EXPECT_EQ(ShapeRuns(6, 4, rgb), (std::vector<ShapeRun>{{1, 1, 4}, {1, 2, 4}}));
}

TEST(SplashShape, RunsSplitAtKeyPixelsInsideARow) {
    auto rgb = picture(5, 1, {1, 2, 3});
    set(rgb, 5, 2, 0, art::kSplashKey);
    set(rgb, 5, 4, 0, art::kSplashKey);
    EXPECT_EQ(ShapeRuns(5, 1, rgb), (std::vector<ShapeRun>{{0, 0, 2}, {3, 0, 1}}));
}

TEST(SplashShape, PictureWithoutKeyPixelsIsTheFullRectangle) {
    const auto rgb = picture(3, 2, {255, 0, 241});
    EXPECT_EQ(ShapeRuns(3, 2, rgb), (std::vector<ShapeRun>{{0, 0, 3}, {0, 1, 3}}));
}

TEST(SplashShape, AllKeyOrTooShortBufferGivesNoShape) {
    EXPECT_TRUE(ShapeRuns(4, 4, picture(4, 4, art::kSplashKey)).empty());
    EXPECT_TRUE(ShapeRuns(4, 4, picture(4, 3, {0, 0, 0})).empty());
    EXPECT_TRUE(ShapeRuns(0, 4, {}).empty());
}

TEST(SplashTimeline, FadesInShowsAndFadesOutOrShowsPlainly) {
    const SplashTimeline blend(true), plain(false);
    const struct {
        const SplashTimeline& line;
        long ms;
        int opacity;
        bool finished;
    } cases[] = {
        {blend, 0, 0, false},     {blend, 250, 127, false},  {blend, 500, 255, false},
        {blend, 2999, 255, false}, {blend, 3100, 128, false}, {blend, 3200, 0, true},
        {plain, 0, 255, false},   {plain, 2499, 255, false}, {plain, 2500, 0, true},
    };
    for (const auto& c : cases) {
        const auto frame = c.line.at(c.ms);
        EXPECT_EQ(frame.opacity, c.opacity) << c.ms;
        EXPECT_EQ(frame.finished, c.finished) << c.ms;
    }
    EXPECT_EQ(blend.totalMs(), 3200);
    EXPECT_EQ(plain.totalMs(), 2500);
}

} // namespace
} // namespace qm::ui
