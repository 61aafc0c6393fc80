// The artwork and placeholder pages the build writes: they load with the loaders the program
// uses, each skin is larger than the windows it serves, and the splash picture's outside is
// cut away by its key colour.
#include "docserver/formats.h"
#include "res/artwork.h"
#include "tests/support/test_support.h"
#include "ui/skin.h"
#include "ui/skin_file.h"
#include "ui/splash_shape.h"

#include <wx/image.h>

#include <gtest/gtest.h>

namespace qm::ui {
namespace {

const fs::path kBuild = QM_TEST_BUILD_DIR;
const fs::path kSkins = kBuild / "share" / "Tessary for Word";

class Artwork : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!wxImage::FindHandler(wxBITMAP_TYPE_BMP))
            wxImage::AddHandler(new wxBMPHandler);
        if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG))
            wxImage::AddHandler(new wxPNGHandler);
    }
};

TEST_F(Artwork, SkinsLoadAtTheirOwnSize) {
    // Widest and tallest windows each skin serves, in dialog units, at 2.5 pixels a unit (a
    // large desktop font) still fit.
    const struct {
        const char* file;
        int width, height, maxDluW, maxDluH;
    } skins[] = {{kBannerSkin, art::kBannerSkinWidth, art::kBannerSkinHeight, 484, 292},
                 {kPanelSkin, art::kPanelSkinWidth, art::kPanelSkinHeight, 349, 170},
                 {kSplashPicture, art::kSplashWidth, art::kSplashHeight, 0, 0}};
    for (const auto& s : skins) {
        const wxImage image = LoadSkinImage(kSkins / s.file);
        ASSERT_TRUE(image.IsOk()) << s.file;
        EXPECT_EQ(image.GetWidth(), s.width) << s.file;
        EXPECT_EQ(image.GetHeight(), s.height) << s.file;
        EXPECT_GE(s.width, s.maxDluW * 5 / 2) << s.file;
        EXPECT_GE(s.height, s.maxDluH * 5 / 2 + 60) << s.file; // and a title bar
    }
}

TEST_F(Artwork, SplashOutsideIsKeyColouredAndCutAway) {
    const wxImage image = LoadSkinImage(kSkins / kSplashPicture);
    ASSERT_TRUE(image.IsOk());
    const int w = image.GetWidth(), h = image.GetHeight();
    const auto runs = ShapeRuns(w, h, {image.GetData(), static_cast<std::size_t>(w) * h * 3});
    ASSERT_FALSE(runs.empty());
    EXPECT_GT(runs.front().y, 0) << "the top edge is cut away";
    EXPECT_LT(runs.back().y, h - 1) << "the bottom edge is cut away";
    for (const ShapeRun& run : runs) {
        EXPECT_GT(run.x, 0);
        EXPECT_LT(run.x + run.width, w);
    }
    // The corners are rounded: the first row of the shape is shorter than a middle one.
    EXPECT_LT(runs.front().width, runs[runs.size() / 2].width);
}

TEST_F(Artwork, IconsLoadInEverySize) {
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const std::string dir = std::to_string(size) + "x" + std::to_string(size);
        wxImage icon;
        ASSERT_TRUE(icon.LoadFile((kBuild / "share/icons/hicolor" / dir / "apps/quillmend.png").string(), wxBITMAP_TYPE_PNG))
            << size;
        EXPECT_EQ(icon.GetWidth(), size);
        EXPECT_TRUE(icon.HasAlpha());
        EXPECT_EQ(icon.GetAlpha(0, 0), 0) << "the rounded corner is see-through";
        EXPECT_EQ(icon.GetAlpha(size / 2, size / 2), 255);
    }
    const std::string svg = test::readText(kBuild / "share/icons/hicolor/scalable/apps/quillmend.svg");
    EXPECT_NE(svg.find("<svg"), std::string::npos);
}

TEST_F(Artwork, PlaceholderPagesAreWebArchivesTheServerReads) {
    const auto blank = docserver::readDocument(kBuild / "bin" / "Blank.mht");
    EXPECT_EQ(blank.plainText(), "");
    EXPECT_TRUE(blank.pictures().empty());
    for (const char* name : {"Preview.mht", "preview.mht"}) {
        const auto preview = docserver::readDocument(kBuild / "bin" / name);
        EXPECT_NE(preview.plainText().find("This preview is not available."), std::string::npos) << name;
        EXPECT_EQ(preview.pictures().size(), 1u) << name;
        EXPECT_NE(test::readText(kBuild / "bin" / name).find("MIME-Version"), std::string::npos) << name;
    }
}

TEST(SkinFile, HeaderSizeIsCheckedBeforeDecoding) {
    auto header = [](std::string magic, std::int32_t w, std::int32_t h) {
        std::vector<std::byte> b(26);
        b[0] = std::byte(magic[0]), b[1] = std::byte(magic[1]);
        for (int i = 0; i < 4; ++i) {
            b[18 + i] = std::byte(static_cast<std::uint32_t>(w) >> (8 * i) & 0xFF);
            b[22 + i] = std::byte(static_cast<std::uint32_t>(h) >> (8 * i) & 0xFF);
        }
        return b;
    };
    const struct {
        std::vector<std::byte> bytes;
        bool ok;
        int w, h;
    } cases[] = {
        {header("BM", 480, 300), true, 480, 300},
        {header("BM", 480, -300), true, 480, 300}, // top-down rows
        {header("BM", 8192, 8192), true, 8192, 8192},
        {header("BM", 8193, 10), false, 0, 0},
        {header("BM", 10, -8193), false, 0, 0},
        {header("BM", 0, 10), false, 0, 0},
        {header("BM", -5, 10), false, 0, 0},
        {header("PK", 10, 10), false, 0, 0},
        {std::vector<std::byte>(25, std::byte{'B'}), false, 0, 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto size = BmpHeaderSize(cases[i].bytes);
        ASSERT_EQ(size.has_value(), cases[i].ok) << i;
        if (size) {
            EXPECT_EQ(size->width, cases[i].w) << i;
            EXPECT_EQ(size->height, cases[i].h) << i;
        }
    }
}

} // namespace
} // namespace qm::ui
