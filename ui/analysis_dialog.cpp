#include "ui/analysis_dialog.h"

#include "app/session_state.h"
#include "stages/exit_paths.h"
#include "ui/message_boxes.h"

#include <wx/stattext.h>
#include <wx/thread.h>

namespace qm::ui {

CProgressBar::CProgressBar(wxWindow* parent, stages::AnalysisEngine& engine, int fileNumber)
    : flow_(*this, engine), fileNumber_(fileNumber), timer_(this, 1) {
    CreateSkinned(parent, id::kAnalysisDialog, wxString::FromUTF8(session().appTitle), 214, 97,
                  wxCAPTION | wxSYSTEM_MENU, {kPanelSkin, true});
    new wxStaticText(this, wxID_ANY, stages::analysistext::kLabel, DluAt(30, 18));
    bar_ = new wxGauge(this, id::kAnalysisBar, 100, DluAt(14, 40), Dlu(186, 12));
    auto* stop = new wxButton(this, id::kAnalysisStop, "Stop", DluAt(46, 68), Dlu(50, 14));
    pause_ = new wxButton(this, id::kAnalysisPause, stages::analysistext::kPause, DluAt(118, 68), Dlu(50, 14));
    SkinThroughButton(stop);
    SkinThroughButton(pause_);
    session().progressPos = 0;

    Bind(wxEVT_TIMER, [this](wxTimerEvent&) { bar_->SetValue(flow_.tick()); }, 1);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { pause_->SetLabel(flow_.pauseOrResume()); }, id::kAnalysisPause);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        const bool stopped = flow_.stop();
        pause_->SetLabel(flow_.pauseCaption());
        Finish(stopped ? wxID_OK : wxID_CANCEL, !stopped);
    }, id::kAnalysisStop);
    Bind(wxEVT_CHAR_HOOK, &CProgressBar::OnCharHook, this);
    // The worker has no window: its end arrives as a queued call on this thread.
    Bind(wxEVT_SHOW, [this](wxShowEvent& e) {
        e.Skip();
        if (!e.IsShown() || started_)
            return;
        started_ = true;
        flow_.start(fileNumber_, [this] {
            CallAfter([this] {
                if (!asking_)
                    Finish(wxID_CANCEL, true);
            });
        });
    });
    Bind(wxEVT_CLOSE_WINDOW, [](wxCloseEvent& e) { e.Veto(); }); // only the worker's end, Stop or Escape close it
    CentreOnParent();
}

CProgressBar::~CProgressBar() {
    timer_.Stop();
    // flow_'s destructor stops and joins a worker that is still running.
}

void CProgressBar::setBusy(bool busy) {
    if (!wxIsMainThread()) { // the timer belongs to the UI thread
        CallAfter([this, busy] { setBusy(busy); });
        return;
    }
    if (busy)
        timer_.Start(flow_.progressPeriodMs());
    else
        timer_.Stop();
}

bool CProgressBar::askYesNo(const std::string& question) {
    asking_ = true;
    const bool yes = AskQuestion(this, question);
    asking_ = false;
    return yes;
}

void CProgressBar::Finish(int code, bool onlyIfFinished) {
    if (ended_ || !IsModal() || (onlyIfFinished && !flow_.finished()))
        return;
    ended_ = true;
    timer_.Stop();
    flow_.join();
    auto& s = session();
    s.analysisFinished = false;
    s.analysisThreadEnded = false;
    EndModal(code);
}

void CProgressBar::OnCharHook(wxKeyEvent& event) {
    if (event.GetKeyCode() != WXK_ESCAPE) {
        event.Skip();
        return;
    }
    if (flow_.escape())
        stages::endProcess(stages::ExitPath::EscapeAnalysis);
    pause_->SetLabel(flow_.pauseCaption());
    Finish(wxID_CANCEL, true); // the worker may have ended while the question was open
}

int RunAnalysisDialog(wxWindow* parent, stages::AnalysisEngine& engine, int fileNumber) {
    CProgressBar dialog(parent, engine, fileNumber);
    return dialog.ShowModal();
}

} // namespace qm::ui
