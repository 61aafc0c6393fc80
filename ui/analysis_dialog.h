// The analysis dialog of Step 2: "Analysis is in Progress", the animated bar, Pause/Resume
// and Stop. It runs one file's analysis on a worker (AnalysisFlow) and closes itself when the
// worker has ended.
#pragma once

#include "stages/analysis_flow.h"
#include "ui/skinned_window.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/timer.h>

namespace qm::ui::id {
inline constexpr int kAnalysisDialog = 1010;
inline constexpr int kAnalysisBar = 1024;
inline constexpr int kAnalysisStop = 1026;
inline constexpr int kAnalysisPause = 1027;
} // namespace qm::ui::id

namespace qm::ui {

class CProgressBar : public SkinnedDialog, private stages::StageUi {
public:
    // The worker starts when the dialog is shown.
    CProgressBar(wxWindow* parent, stages::AnalysisEngine& engine, int fileNumber);
    ~CProgressBar() override;

    stages::AnalysisFlow& flow() { return flow_; }

private:
    // StageUi: the questions, and the bar's timer running while the flow is busy.
    void showText(stages::Field, const std::string&) override {}
    void setOverallProgress(int) override {}
    void setBusy(bool busy) override;
    bool askYesNo(const std::string& question) override;
    stages::OverwriteAnswer askOverwrite(const std::filesystem::path&) override { return stages::kNoAnswer; }
    void notice(const std::string&) override {}

    void OnCharHook(wxKeyEvent& event);
    // Ends the dialog once (with onlyIfFinished: only when the worker has ended).
    void Finish(int code, bool onlyIfFinished = false);

    stages::AnalysisFlow flow_;
    int fileNumber_;
    wxGauge* bar_ = nullptr;
    wxButton* pause_ = nullptr;
    wxTimer timer_;
    bool started_ = false;
    bool asking_ = false; // a question is open: the worker's end waits for its answer
    bool ended_ = false;
};

// Runs the analysis of file fileNumber in the dialog: wxID_CANCEL when it finished, wxID_OK
// when the user stopped it. Escape answered Yes ends the process.
int RunAnalysisDialog(wxWindow* parent, stages::AnalysisEngine& engine, int fileNumber);

} // namespace qm::ui
