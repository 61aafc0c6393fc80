// Step 1 without its window: the list, Skip Preview, the repair mode, and the questions and
// notices of Clear selected, Clear All, Clear Log, Exit, Escape and Repair. The main window
// draws the list and passes each command here.
#pragma once

#include "stages/source_list.h"
#include "stages/stage_ui.h"

#include <functional>

namespace qm::stages {

namespace step1text {
inline constexpr const char* kAlreadyRunning = "Tessary for Word is already running";
inline constexpr const char* kSelectToRemove = "Please select any file to remove";
inline constexpr const char* kClearSelected = "Do you want to clear the selected file?";
inline constexpr const char* kClearAll = "Do you want to clear all files ?";
inline constexpr const char* kClearLog = "Do you want to clear Log File?";
inline constexpr const char* kExit = "Do you want to exit?";
inline constexpr const char* kEscape = "Do you want to exit ? ";
inline constexpr const char* kOpenTitle = " Open Word files";
} // namespace step1text

// Step 2 as Step 1 sees it: runs the preview stage and returns when the user goes Back.
class PreviewHandOver {
public:
    virtual ~PreviewHandOver() = default;
    virtual void runPreview() = 0;
};

class Step1Flow {
public:
    explicit Step1Flow(StageUi& ui) : ui_(ui) {}

    const SourceList& list() const { return list_; }
    // Browse, files named on the command line or passed on by a second start.
    int addFiles(const std::vector<std::string>& paths) { return list_.add(paths); }
    // Clear selected with the list's selection (-1: none). True when a row went.
    bool clearSelected(int selection);
    // Clear All: asks only when the list has rows. True when rows went.
    bool clearAll();

    // The check box was clicked.
    void setSkipPreview(bool checked);
    // The menu item: flips the option and returns the state the check box must show.
    bool toggleSkipPreview();

    // The two hidden commands of the repair mode; the combo index to select.
    int forceQuickRepair();
    int forceAdvanceRepair();
    int modeIndex() const { return modeIndex_; }

    // Repair: the Word check, the source list and Step 2 heading in the log; then the window
    // is hidden (showWindow(false)), the preview stage runs, and the window comes back.
    // False when Repair stopped before the preview stage.
    bool repair(PreviewHandOver& preview, const std::function<void(bool)>& showWindow);

    // Clear Log after its question. True when the log was cleared.
    bool clearLog();
    // "Do you want to exit?" (Exit and the window's close button).
    bool confirmExit() { return ui_.askYesNo(step1text::kExit); }
    // "Do you want to exit ? " (Escape).
    bool confirmEscape() { return ui_.askYesNo(step1text::kEscape); }

private:
    StageUi& ui_;
    SourceList list_;
    int modeIndex_ = 0;
};

} // namespace qm::stages
