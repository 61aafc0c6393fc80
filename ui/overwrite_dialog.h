// The overwrite dialog of Step 3: an output of Save All exists already. Yes, No, Yes To All and
// No To All give the answer; closing it, Escape and Enter give none, so the previous answer
// stays.
#pragma once

#include "stages/stage_ui.h"
#include "ui/skinned_window.h"

namespace qm::ui::id {
inline constexpr int kOverwriteDialog = 139;
inline constexpr int kOverwriteYes = 1026;
inline constexpr int kOverwriteNo = 1027;
inline constexpr int kOverwriteYesToAll = 1028;
inline constexpr int kOverwriteNoToAll = 1029;
inline constexpr int kOverwriteIcon = 140;
} // namespace qm::ui::id

namespace qm::ui {

class CSaveMsg : public SkinnedDialog {
public:
    explicit CSaveMsg(wxWindow* parent);
    // The button pressed, or kNoAnswer.
    stages::OverwriteAnswer answer() const { return answer_; }

private:
    stages::OverwriteAnswer answer_ = stages::kNoAnswer;
};

// Runs the dialog modally and returns its answer.
stages::OverwriteAnswer AskOverwrite(wxWindow* parent);

} // namespace qm::ui
