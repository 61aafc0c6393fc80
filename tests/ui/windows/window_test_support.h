// Shared pieces of the Step 1 and Step 2 window tests: the display the test main opened, event
// processing, screenshots kept under test-artifacts/ui, and synthetic command and key events.
#pragma once

#include <wx/window.h>

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
void press(wxWindow* target, int key);

} // namespace qm::test
