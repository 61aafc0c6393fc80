// The completion dialog that ends a successful Save All: "Saving Completed Successfully",
// the "View Log File" option and OK. Each of its exits ends the process after its clean-up.
#pragma once

#include "stages/saving_flow.h"
#include "ui/skinned_window.h"

#include <wx/checkbox.h>

namespace qm::ui::id {
inline constexpr int kCompletionDialog = 134;
inline constexpr int kViewLogBox = 1025;
inline constexpr int kCompletionOk = 1026;
inline constexpr int kGaveNothingText = 1030;
} // namespace qm::ui::id

namespace qm::ui {

class CViewLog : public SkinnedDialog {
public:
    // Writes the completion lines into the log. With the report of the run, the dialog says
    // "Saving Completed Successfully" only when something was written, and names the files
    // that gave nothing.
    explicit CViewLog(wxWindow* parent, const stages::SavingReport* report = nullptr);

private:
    void OnCharHook(wxKeyEvent& event);
    wxCheckBox* viewLog_ = nullptr;
};

// Runs the completion dialog; it never returns (each exit ends the process).
[[noreturn]] void RunCompletionDialog(wxWindow* parent, const stages::SavingReport* report = nullptr);

} // namespace qm::ui
