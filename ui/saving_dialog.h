// The saving dialog of Step 3: the source, file count and output path being written, the
// Current and Overall Progress bars, Stop and Pause/Resume. It runs the saving flow's worker and
// draws what the worker tells it on the user-interface thread; the worker's questions (the
// overwrite dialog, the current file's overwrite question) are asked here while it waits.
#pragma once

#include "stages/save_handover.h"
#include "stages/saving_flow.h"
#include "ui/skinned_window.h"
#include "ui/transparent_static.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/timer.h>

#include <functional>
#include <memory>

namespace qm::ui::id {
inline constexpr int kSavingDialog = 132;
inline constexpr int kSavingSource = 1018;
inline constexpr int kSavingFileNumber = 1019;
inline constexpr int kSavingDestination = 1020;
inline constexpr int kSavingFileTotal = 1012;
inline constexpr int kSavingCurrentBar = 1021;
inline constexpr int kSavingOverallBar = 1032;
inline constexpr int kSavingStop = 1022;
inline constexpr int kSavingPause = 1023;
} // namespace qm::ui::id

namespace qm::ui {

class CFileSave : public SkinnedDialog, private stages::StageUi {
public:
    // The worker starts when the dialog is shown.
    CFileSave(wxWindow* parent, stages::SaveEngine& engine);
    ~CFileSave() override;

    stages::SavingFlow& flow() { return flow_; }
    // What the run wrote, once the dialog has ended.
    stages::SavingReport report() const { return flow_.report(); }
    // Replaces the completion dialog after Save All (tests): called with the report, then the
    // dialog ends.
    std::function<void(const stages::SavingReport&)> completion;

private:
    // StageUi on the user-interface thread: texts, bars, timer and questions.
    void showText(stages::Field field, const std::string& text) override;
    void setOverallProgress(int percent) override { overall_->SetValue(percent); }
    // The Current Progress timer: kSaveFirstTickMs when the dialog starts, kSaveTickMs after.
    void setBusy(bool busy) override;
    bool askYesNo(const std::string& question) override;
    stages::OverwriteAnswer askOverwrite(const std::filesystem::path& existing) override;
    void notice(const std::string& text) override;

    // Stop, close and Escape: the question, and the process ends when it is answered Yes.
    void AskToEnd(bool (stages::SavingFlow::*ask)());
    void OnCharHook(wxKeyEvent& event);
    // The worker has ended: back to the preview stage, or the completion dialog after Save All.
    void Finish();

    stages::SavingFlow flow_;
    CTransparentStatic* source_ = nullptr;
    CTransparentStatic* fileNumber_ = nullptr;
    CTransparentStatic* fileTotal_ = nullptr;
    CTransparentStatic* destination_ = nullptr;
    wxGauge* current_ = nullptr;
    wxGauge* overall_ = nullptr;
    wxButton* pause_ = nullptr;
    wxTimer timer_;
    bool started_ = false;
    bool ticked_ = false; // the timer has run once
    int asking_ = 0; // questions open on this thread: the worker's end waits for their answers
    bool ended_ = false;
};

// Runs Step 3 for the destination and mode the session holds. Save All ends in the completion
// dialog, which ends the process; Save Current Preview returns what it wrote, after a notice
// when it wrote nothing the user had not chosen to keep.
stages::SavingReport RunSavingDialog(wxWindow* parent, stages::SaveEngine& engine);

// The saving stage behind the preview window's Save Current Preview and Save All, with the
// real save engine.
class SavingStage : public stages::SaveHandOver {
public:
    // parent: the window the dialogs belong to (the preview window).
    void setParent(wxWindow* parent) { parent_ = parent; }
    void saveCurrent() override;
    void saveAll() override;

private:
    stages::SaveEngine& engine();
    wxWindow* parent_ = nullptr;
    std::unique_ptr<stages::SaveEngine> engine_;
};

} // namespace qm::ui
