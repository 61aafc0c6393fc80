#include "stages/step1_flow.h"

#include "app/activity_log.h"
#include "app/session_state.h"
#include "stages/repair_start.h"

namespace qm::stages {

bool Step1Flow::clearSelected(int selection) {
    if (selection < 0 || selection >= list_.size()) {
        ui_.notice(step1text::kSelectToRemove);
        return false;
    }
    if (!ui_.askYesNo(step1text::kClearSelected))
        return false;
    return list_.removeAt(selection);
}

bool Step1Flow::clearAll() {
    if (list_.empty() || !ui_.askYesNo(step1text::kClearAll))
        return false;
    list_.clear();
    return true;
}

void Step1Flow::setSkipPreview(bool checked) { session().skipPreview = checked; }

bool Step1Flow::toggleSkipPreview() {
    session().skipPreview = !session().skipPreview;
    return session().skipPreview;
}

int Step1Flow::forceQuickRepair() {
    session().quickRepairForced = true;
    session().advanceRepair = false;
    return modeIndex_ = 1;
}

int Step1Flow::forceAdvanceRepair() {
    session().advanceRepair = true;
    return modeIndex_ = 0;
}

bool Step1Flow::repair(PreviewHandOver& preview, const std::function<void(bool)>& showWindow) {
    if (StartRepair(ui_, list_.paths(), modeIndex_) != RepairOutcome::Started)
        return false;
    showWindow(false);
    preview.runPreview();
    showWindow(true);
    return true;
}

bool Step1Flow::clearLog() {
    if (!ui_.askYesNo(step1text::kClearLog))
        return false;
    return qm::clearLog();
}

} // namespace qm::stages
