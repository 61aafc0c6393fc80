// Shared pieces of the Step 1 and Step 2 window tests: the display the test main opened, event
// processing, screenshots kept under test-artifacts/ui, and synthetic command and key events.
#pragma once

#include <wx/timer.h>
#include <wx/window.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace qm::test {

// True when the test main started the toolkit on an X display.
bool windowDisplay();
// True (and the test should skip) when there is no display; with QM_REQUIRE_DISPLAY=1 it also
// records a failure, so a CI run without a display cannot pass by skipping.
bool noWindowDisplay();
// Processes events for ms milliseconds.
void pump(int ms = 300);
// The whole screen, kept as <artifact dir>/<name>.png; the virtual X server has no window
// manager, so this is the windows alone. Events are processed for settleMs first.
void screenshot(const std::string& name, int settleMs = 400);
void send(wxWindow* target, wxEventType type, int id);
// Runs action on the user-interface thread after ms, also inside a modal loop; with repeat, every
// ms. The timer lives as long as the pointer returned.
[[nodiscard]] std::unique_ptr<wxTimer> after(int ms, std::function<void()> action, bool repeat = false);
// From a worker thread: runs action on the user-interface thread and waits until it has run.
void onUiThread(wxEvtHandler* handler, const std::function<void()>& action);
void press(wxWindow* target, int key);
// What every window test starts from: the activity log in <dir>/logs and the skin of the build.
void useTestLogAndSkin(const std::filesystem::path& dir);

} // namespace qm::test
