// The window tests' main: a wxWidgets application is set up around the test run. Listing the
// tests (done at build time) needs no display.
#include <wx/app.h>
#include <wx/debug.h>
#include <wx/image.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {
class TestApp : public wxApp {
public:
    bool OnInit() override { return true; }
};
} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const char* display = std::getenv("DISPLAY");
    if (GTEST_FLAG_GET(list_tests) || !display || !*display) {
        if (!GTEST_FLAG_GET(list_tests) && std::getenv("QM_REQUIRE_DISPLAY")) {
            std::fprintf(stderr, "ui_display_tests: no X display\n");
            return 1;
        }
        return RUN_ALL_TESTS(); // the tests skip themselves
    }
    // No accessibility bus and no other backend: a virtual X server has neither.
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GDK_BACKEND", "x11", 1);
    wxApp::SetInstance(new TestApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "ui_display_tests: cannot start the toolkit\n");
        return 1;
    }
    wxInitAllImageHandlers();
    // A failed wxWidgets assertion would open a message box and wait: make it a test failure.
    wxSetAssertHandler([](const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg) {
        ADD_FAILURE_AT(file.utf8_str(), line) << "wxWidgets assertion " << cond << " in " << func << ": " << msg;
    });
    const int result = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
