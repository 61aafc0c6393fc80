// The splash on screen: cut to its picture's inner shape, over whatever lies behind it, and
// gone when its time is up.
#include "tests/ui/display/display_support.h"

#include "res/artwork.h"
#include "ui/skin.h"
#include "ui/splash_screen.h"

#include <wx/display.h>
#include <wx/frame.h>
#include <wx/stopwatch.h>

namespace qm::ui {
namespace {

using test::RunFor;

using SplashTest = test::DisplayTest;

const wxColour kDesktop(250, 230, 0);
const wxColour kInside(10, 120, 200);
const wxColour kAlmostKey(254, 0, 240);

// 200 x 120: a 20-pixel key-coloured border around the picture, and in it a 10 x 10 block
// that is almost, but not, the key colour.
void WriteFlash(const fs::path& file) {
    art::Image image(200, 120);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 200; ++x) {
            const bool border = x < 20 || x >= 180 || y < 20 || y >= 100;
            const bool almost = x >= 50 && x < 60 && y >= 50 && y < 60;
            const wxColour c = border ? wxColour(255, 0, 240) : almost ? kAlmostKey : kInside;
            auto* p = image.at(x, y);
            p[0] = c.Red(), p[1] = c.Green(), p[2] = c.Blue(), p[3] = 255;
        }
    test::writeBytes(file, art::encodeBmp(image));
}

TEST_F(SplashTest, ShowsTheInnerShapeOverTheDesktopAndIsGoneAfterItsTime) {
    WriteFlash(skinFolder() / kSplashPicture);
    // A plain "desktop" behind the splash.
    auto* desktop = new wxFrame(nullptr, wxID_ANY, "desktop", wxPoint(0, 0), wxGetDisplaySize(), wxBORDER_NONE);
    desktop->SetBackgroundColour(kDesktop);
    desktop->Show();
    RunFor(300);

    wxStopWatch clock;
    long finishedAt = -1;
    CSplashScreenEx* splash = CSplashScreenEx::Run(nullptr, [&] { finishedAt = clock.Time(); });
    ASSERT_NE(splash, nullptr);
    const bool blends = splash->CanBlend(); // the splash deletes itself at the end
    RunFor(1000);
    const wxRect at = splash->GetScreenRect();
    const wxImage shown = test::Screenshot("shown");

    EXPECT_EQ(at.GetSize(), wxSize(200, 120));
    const wxRect area = wxDisplay(0u).GetClientArea();
    EXPECT_EQ(at.GetPosition(), wxPoint(area.x + (area.width - 200) / 2, area.y + (area.height - 120) / 2));
    EXPECT_EQ(test::ShareOf(shown, wxRect(at.x, at.y, 200, 20), kDesktop), 1.0) << "key-coloured border";
    EXPECT_EQ(test::ShareOf(shown, wxRect(at.x, at.y + 20, 20, 80), kDesktop), 1.0);
    EXPECT_EQ(test::ShareOf(shown, wxRect(at.x + 20, at.y + 20, 30, 80), kInside), 1.0);
    EXPECT_EQ(test::ShareOf(shown, wxRect(at.x + 50, at.y + 50, 10, 10), kAlmostKey), 1.0);

    RunFor(static_cast<int>(3200 - clock.Time()) + 200);
    const wxImage gone = test::Screenshot("gone");
    EXPECT_GE(finishedAt, blends ? 3200 : 2500);
    EXPECT_LE(finishedAt, 3300);
    EXPECT_EQ(test::ShareOf(gone, at, kDesktop), 1.0);
    EXPECT_EQ(wxTopLevelWindows.GetCount(), 1u) << "only the desktop is left";
}

TEST_F(SplashTest, BuiltPictureShowsAsARoundedCard) {
    UseBuiltSkins();
    auto* desktop = new wxFrame(nullptr, wxID_ANY, "desktop", wxPoint(0, 0), wxGetDisplaySize(), wxBORDER_NONE);
    desktop->SetBackgroundColour(kDesktop);
    desktop->Show();
    RunFor(300);
    CSplashScreenEx* splash = CSplashScreenEx::Run(nullptr);
    ASSERT_NE(splash, nullptr);
    RunFor(800);
    const wxRect at = splash->GetScreenRect();
    const wxImage shown = test::Screenshot("built");
    EXPECT_EQ(at.GetSize(), wxSize(art::kSplashWidth, art::kSplashHeight));
    EXPECT_EQ(test::PixelAt(shown, at.GetPosition() + wxPoint(8, 8)), kDesktop) << "rounded corner";
    EXPECT_EQ(test::ShareOf(shown, at, wxColour(255, 0, 240)), 0.0) << "no key colour on screen";
    EXPECT_NE(test::PixelAt(shown, at.GetPosition() + wxPoint(at.width / 2, 20)), kDesktop);
    splash->HideSplash();
}

TEST_F(SplashTest, WithoutAPictureNothingShowsButTheWaitHappens) {
    wxStopWatch clock;
    long finishedAt = -1;
    ASSERT_NE(CSplashScreenEx::Run(nullptr, [&] { finishedAt = clock.Time(); }), nullptr);
    RunFor(300);
    for (wxWindow* win : wxTopLevelWindows)
        EXPECT_FALSE(win->IsShown());
    RunFor(2500);
    EXPECT_GE(finishedAt, 2500);
    EXPECT_TRUE(loggedMessages().empty());
}

} // namespace
} // namespace qm::ui
