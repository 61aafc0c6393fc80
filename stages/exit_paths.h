// Every way the desktop program ends the process at once, each with its own clean-up.
// One helper runs the named clean-up, then removes what the run left in the temporary folder,
// then ends the process with exit code 0. Nothing relies on destructors or exit handlers.
#pragma once

#include <filesystem>

namespace qm::stages {

enum class ExitPath {
    MainWindowClosed,     // the main window closed normally: the application ends after this
    EscapeMain,           // Escape in the main window, answered Yes: no clean-up of its own
    EscapeAnalysis,       // Escape in the analysis dialog, answered Yes: stopvane
    EscapePreview,        // Escape in the preview window, answered Yes: no clean-up of its own
    SavingStopped,        // Stop, close or Escape of the saving dialog, answered Yes: stopvane
    PreviewExit,          // Exit or close of the preview window: the preview files
    CompletionOk,         // completion OK, "View Log File" unchecked: .doc previews, Word check
    CompletionOkViewLog,  // completion OK, "View Log File" checked: Word check, the log opened
    CompletionClose,      // completion dialog closed: the .doc previews
    CompletionEscape,     // Escape in the completion dialog, answered Yes: stopvane
    SecondInstance,       // another start is running: nothing of this run to clean
};

// The folder that holds everything temporary of this run (set by start-up; removed whole on
// every exit). Empty: only the files the session names are removed.
void setRunTempFolder(const std::filesystem::path& folder);
const std::filesystem::path& runTempFolder();

// The clean-up of one exit path followed by the removal of the run's temporary files.
void runExitCleanup(ExitPath path);

// runExitCleanup, then ends the process with exit code 0.
[[noreturn]] void endProcess(ExitPath path);

// Completion's Word check: stopvane -check, and stopvane when a document server runs
// (no question asked).
void completionWordCheck();

} // namespace qm::stages
