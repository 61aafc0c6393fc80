// Window tests: a wxWidgets application around the test run, event processing for a while,
// screenshots of the screen and pixel counts on them.
#pragma once

#include "tests/support/test_support.h"

#include <wx/image.h>
#include <wx/log.h>
#include <wx/window.h>

#include <ostream>
#include <string>
#include <vector>

namespace qm::test {

// The test's own skin folder (QUILLMEND_WINDIR), a private registry store, a log target that
// records every message, and the windows it made destroyed afterwards.
class DisplayTest : public IsolatedTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes a skin file filled with one colour into the test's skin folder.
    void WriteSolidSkin(const char* name, int width, int height, wxColour colour);
    // Points the skin folder at the artwork the build made.
    void UseBuiltSkins();

    fs::path skinFolder() const;
    std::vector<std::string> loggedMessages() const;

private:
    class Recorder;
    Recorder* recorder_ = nullptr;
    wxLog* previousLog_ = nullptr;
};

// Processes events (paints, timers, deletions) for ms milliseconds.
void RunFor(int ms);
// The whole screen, also kept as <artifact dir>/<test name>-<tag>.png.
wxImage Screenshot(const std::string& tag);
// The share of pixels in rect (screen coordinates) within `tolerance` of colour in each channel.
double ShareOf(const wxImage& screen, const wxRect& rect, const wxColour& colour, int tolerance = 0);
wxColour PixelAt(const wxImage& screen, const wxPoint& at);
// True when both rectangles (same size) hold the same pixels.
bool SamePixels(const wxImage& screen, const wxRect& a, const wxRect& b);

} // namespace qm::test

// Readable colours in failure messages.
inline void PrintTo(const wxColour& c, std::ostream* os) {
    *os << "RGB(" << int(c.Red()) << ", " << int(c.Green()) << ", " << int(c.Blue()) << ")";
}
