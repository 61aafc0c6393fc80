#include "tests/ui/display/display_support.h"

#include "app/session_state.h"
#include "res/artwork.h"

#include <wx/evtloop.h>
#include <wx/timer.h>
#include <wx/toplevel.h>

#include <cstdlib>

namespace qm::test {

class DisplayTest::Recorder : public wxLog {
public:
    std::vector<std::string> messages;

protected:
    void DoLogTextAtLevel(wxLogLevel, const wxString& msg) override { messages.push_back(msg.utf8_string()); }
};

void DisplayTest::SetUp() {
    if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY"))
        GTEST_SKIP() << "no X display (run under scripts/run-tests.sh or xvfb-run)";
    env_.set("QUILLMEND_WINDIR", dir_.path().string());
    fs::create_directories(skinFolder());
    session().loadIdentity();
    recorder_ = new Recorder;
    previousLog_ = wxLog::SetActiveTarget(recorder_);
}

void DisplayTest::TearDown() {
    if (!recorder_)
        return; // skipped: no display, no toolkit to tidy up
    for (wxWindow* win : wxTopLevelWindows)
        win->Destroy();
    RunFor(100);
    if (recorder_) {
        wxLog::SetActiveTarget(previousLog_);
        delete recorder_;
        recorder_ = nullptr;
    }
}

fs::path DisplayTest::skinFolder() const {
    return dir_.path() / "Tessary for Word";
}

void DisplayTest::WriteSolidSkin(const char* name, int width, int height, wxColour colour) {
    art::Image image(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            auto* p = image.at(x, y);
            p[0] = colour.Red(), p[1] = colour.Green(), p[2] = colour.Blue(), p[3] = 255;
        }
    writeBytes(skinFolder() / name, art::encodeBmp(image));
}

void DisplayTest::UseBuiltSkins() {
    env_.set("QUILLMEND_WINDIR", (fs::path(QM_TEST_BUILD_DIR) / "share").string());
    session().loadIdentity();
}

std::vector<std::string> DisplayTest::loggedMessages() const {
    return recorder_ ? recorder_->messages : std::vector<std::string>{};
}

void RunFor(int ms) {
    wxGUIEventLoop loop;
    wxTimer stop;
    stop.Bind(wxEVT_TIMER, [&loop](wxTimerEvent&) { loop.Exit(); });
    stop.StartOnce(ms);
    loop.Run();
}

wxImage Screenshot(const std::string& tag) {
    wxYield();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = QM_UI_ARTIFACT_DIR;
    fs::create_directories(dir);
    const fs::path file = dir / (std::string(info->test_suite_name()) + "." + info->name() + "-" + tag + ".png");
    int status = 0;
    runCommand("import -window root '" + file.string() + "' 2>&1", status);
    wxImage image;
    if (status != 0 || !image.LoadFile(file.string(), wxBITMAP_TYPE_PNG))
        ADD_FAILURE() << "screenshot failed: " << file;
    return image;
}

double ShareOf(const wxImage& screen, const wxRect& rect, const wxColour& colour, int tolerance) {
    const wxRect r = rect.Intersect(wxRect(0, 0, screen.GetWidth(), screen.GetHeight()));
    if (r.IsEmpty())
        return 0;
    long hits = 0;
    for (int y = r.y; y < r.GetBottom() + 1; ++y)
        for (int x = r.x; x < r.GetRight() + 1; ++x)
            hits += std::abs(screen.GetRed(x, y) - colour.Red()) <= tolerance &&
                    std::abs(screen.GetGreen(x, y) - colour.Green()) <= tolerance &&
                    std::abs(screen.GetBlue(x, y) - colour.Blue()) <= tolerance;
    return double(hits) / (double(r.width) * r.height);
}

wxColour PixelAt(const wxImage& screen, const wxPoint& at) {
    return {screen.GetRed(at.x, at.y), screen.GetGreen(at.x, at.y), screen.GetBlue(at.x, at.y)};
}

bool SamePixels(const wxImage& screen, const wxRect& a, const wxRect& b) {
    if (a.GetSize() != b.GetSize())
        return false;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            if (PixelAt(screen, {a.x + x, a.y + y}) != PixelAt(screen, {b.x + x, b.y + y}))
                return false;
    return true;
}

} // namespace qm::test
