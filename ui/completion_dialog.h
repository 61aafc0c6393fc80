// The completion dialog that ends a successful Save All: "Saving Completed Successfully",
// the "View Log File" option and OK. Each of its exits ends the process after its clean-up.
#pragma once

#include "ui/skinned_window.h"

#include <wx/checkbox.h>

namespace qm::ui::id {
inline constexpr int kCompletionDialog = 134;
inline constexpr int kViewLogBox = 1025;
inline constexpr int kCompletionOk = 1026;
} // namespace qm::ui::id

namespace qm::ui {

class CViewLog : public SkinnedDialog {
public:
    // Writes the completion lines into the log.
    explicit CViewLog(wxWindow* parent);

private:
    void OnCharHook(wxKeyEvent& event);
    wxCheckBox* viewLog_ = nullptr;
};

// Runs the completion dialog; it never returns (each exit ends the process).
[[noreturn]] void RunCompletionDialog(wxWindow* parent);

} // namespace qm::ui
