#include "tests/ui/windows/window_test_support.h"

#include "app/session_state.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"

#include <wx/app.h>
#include <wx/init.h>
#include <wx/timer.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

namespace qm::test {
namespace {
bool gDisplay = false;
} // namespace

bool windowDisplay() { return gDisplay; }

bool noWindowDisplay() {
    if (gDisplay)
        return false;
    if (const char* required = std::getenv("QM_REQUIRE_DISPLAY"); required && *required == '1')
        ADD_FAILURE() << "no display";
    return true;
}

void pump(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        wxTheApp->Yield(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void screenshot(const std::string& name, int settleMs) {
    if (!haveTool("import"))
        return;
    pump(settleMs);
    fs::create_directories(QM_TEST_ARTIFACTS_DIR);
    int status = 0;
    runCommand("import -window root '" + std::string(QM_TEST_ARTIFACTS_DIR) + "/" + name + ".png' 2>&1", status);
    EXPECT_EQ(status, 0) << name;
}

void send(wxWindow* target, wxEventType type, int id) {
    wxCommandEvent e(type, id);
    e.SetEventObject(target);
    target->GetEventHandler()->ProcessEvent(e);
}

std::unique_ptr<wxTimer> after(int ms, std::function<void()> action, bool repeat) {
    auto timer = std::make_unique<wxTimer>();
    timer->Bind(wxEVT_TIMER, [action](wxTimerEvent&) { action(); });
    timer->Start(ms, !repeat);
    return timer;
}

void onUiThread(wxEvtHandler* handler, const std::function<void()>& action) {
    std::promise<void> done;
    handler->CallAfter([&] {
        action();
        done.set_value();
    });
    done.get_future().wait();
}

void press(wxWindow* target, int key) {
    wxKeyEvent e(wxEVT_CHAR_HOOK);
    e.m_keyCode = key;
    e.SetEventObject(target);
    target->GetEventHandler()->ProcessEvent(e);
}

void useTestLogAndSkin(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir / "logs");
    registry::writeValue("TYDOC", "LogPath", (dir / "logs").string());
    session().skinFolder = std::filesystem::path(QM_TEST_BIN_DIR).parent_path() / "share" / "Tessary for Word";
}

} // namespace qm::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const char* display = std::getenv("DISPLAY");
    if (display && *display) {
        // No accessibility bus: its bridge keeps memory the leak checker would report.
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("GDK_BACKEND", "x11", 1);
        // The virtual X server has no GL: the web view draws without compositing.
        setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 0);
        wxApp::SetInstance(new wxApp);
        int wxArgc = 1;
        char* wxArgv[] = {argv[0], nullptr};
        qm::test::gDisplay = wxEntryStart(wxArgc, wxArgv);
    }
    const int rc = RUN_ALL_TESTS();
    if (qm::test::gDisplay)
        wxEntryCleanup();
    return rc;
}
