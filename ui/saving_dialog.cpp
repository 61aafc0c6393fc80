#include "ui/saving_dialog.h"

#include "app/session_state.h"
#include "stages/exit_paths.h"
#include "ui/completion_dialog.h"
#include "ui/message_boxes.h"
#include "ui/overwrite_dialog.h"

#include <wx/statbox.h>
#include <wx/stattext.h>

namespace qm::ui {

CFileSave::CFileSave(wxWindow* parent, stages::SaveEngine& engine)
    : flow_(*this, engine, [this](std::function<void()> call) { CallAfter(std::move(call)); }), timer_(this, 1) {
    CreateSkinned(parent, id::kSavingDialog, wxString::FromUTF8(session().appTitle), 349, 170,
                  wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX, {kPanelSkin, true});
    new wxStaticBox(this, wxID_ANY, "", DluAt(7, 4), Dlu(335, 72));
    const long pathStyle = wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_MIDDLE;
    new wxStaticText(this, wxID_ANY, "File Name  :", DluAt(16, 18));
    source_ = new CTransparentStatic(this, id::kSavingSource, "", DluAt(72, 18), Dlu(262, 10), pathStyle);
    new wxStaticText(this, wxID_ANY, "File Count :", DluAt(16, 36));
    fileNumber_ = new CTransparentStatic(this, id::kSavingFileNumber, "", DluAt(72, 36), Dlu(24, 10));
    new wxStaticText(this, wxID_ANY, "/", DluAt(98, 36));
    fileTotal_ = new CTransparentStatic(this, id::kSavingFileTotal, "", DluAt(106, 36), Dlu(40, 10));
    new wxStaticText(this, wxID_ANY, "File Path   :", DluAt(16, 54));
    destination_ = new CTransparentStatic(this, id::kSavingDestination, "", DluAt(72, 54), Dlu(262, 10), pathStyle);

    new wxStaticBox(this, wxID_ANY, "Current Progress", DluAt(7, 80), Dlu(335, 30));
    current_ = new wxGauge(this, id::kSavingCurrentBar, 100, DluAt(16, 93), Dlu(317, 10));
    new wxStaticBox(this, wxID_ANY, "Overall Progress", DluAt(7, 114), Dlu(335, 30));
    overall_ = new wxGauge(this, id::kSavingOverallBar, 100, DluAt(16, 127), Dlu(317, 10));
    auto* stop = new wxButton(this, id::kSavingStop, "Stop", DluAt(112, 150), Dlu(50, 14));
    pause_ = new wxButton(this, id::kSavingPause, stages::savingtext::kPause, DluAt(187, 150), Dlu(50, 14));
    SkinThroughButton(stop);
    SkinThroughButton(pause_);
    current_->SetValue(session().saveProgressPos); // the position stays from run to run

    Bind(wxEVT_TIMER, [this](wxTimerEvent&) { current_->SetValue(flow_.tick()); }, 1);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { pause_->SetLabel(flow_.pauseOrResume()); }, id::kSavingPause);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { AskToEnd(&stages::SavingFlow::stop); }, id::kSavingStop);
    Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent& e) {
        e.Veto();
        AskToEnd(&stages::SavingFlow::close);
    });
    Bind(wxEVT_CHAR_HOOK, &CFileSave::OnCharHook, this);
    Bind(wxEVT_SHOW, [this](wxShowEvent& e) {
        e.Skip();
        if (!e.IsShown() || started_)
            return;
        started_ = true;
        flow_.start([this] { Finish(); });
    });
    CentreOnScreen();
}

CFileSave::~CFileSave() {
    timer_.Stop();
    // flow_'s destructor stops and joins a worker that is still running.
}

void CFileSave::showText(stages::Field field, const std::string& text) {
    CTransparentStatic* label = nullptr;
    switch (field) {
    case stages::Field::SourcePath: label = source_; break;
    case stages::Field::FileNumber: label = fileNumber_; break;
    case stages::Field::DestinationPath: label = destination_; break;
    case stages::Field::FileTotal: label = fileTotal_; break;
    }
    if (label)
        label->SetText(text);
}

void CFileSave::setBusy(bool busy) {
    if (!busy) {
        timer_.Stop();
        return;
    }
    timer_.Start(ticked_ ? stages::kSaveTickMs : stages::kSaveFirstTickMs);
    ticked_ = true;
}

bool CFileSave::askYesNo(const std::string& question) {
    ++asking_;
    const bool yes = AskQuestion(this, question);
    --asking_;
    return yes;
}

stages::OverwriteAnswer CFileSave::askOverwrite(const std::filesystem::path&) {
    ++asking_;
    const auto answer = AskOverwrite(this);
    --asking_;
    return answer;
}

void CFileSave::notice(const std::string& text) {
    ++asking_;
    ShowNotice(this, text);
    --asking_;
}

void CFileSave::AskToEnd(bool (stages::SavingFlow::*ask)()) {
    if (ended_)
        return;
    if ((flow_.*ask)())
        stages::endProcess(stages::ExitPath::SavingStopped);
    pause_->SetLabel(flow_.pauseCaption());
    Finish(); // the worker may have ended while the question was up
}

void CFileSave::OnCharHook(wxKeyEvent& event) {
    if (event.GetKeyCode() != WXK_ESCAPE) {
        event.Skip();
        return;
    }
    AskToEnd(&stages::SavingFlow::escape);
}

void CFileSave::Finish() {
    if (ended_ || asking_ > 0 || !IsModal() || !flow_.finished())
        return;
    ended_ = true;
    timer_.Stop();
    flow_.join();
    auto& s = session();
    if (s.saveCurrentOnly) {
        s.saveCurrentOnly = false;
        EndModal(wxID_CANCEL);
        return;
    }
    const stages::SavingReport report = flow_.report();
    if (completion) {
        completion(report);
        EndModal(wxID_OK);
        return;
    }
    Hide(); // on GTK this also ends the modal run; the completion dialog ends the process
    RunCompletionDialog(GetParent(), &report);
}

stages::SavingReport RunSavingDialog(wxWindow* parent, stages::SaveEngine& engine) {
    const bool currentOnly = session().saveCurrentOnly;
    CFileSave dialog(parent, engine);
    dialog.ShowModal();
    const stages::SavingReport report = dialog.report();
    if (currentOnly && report.written == 0 && report.kept == 0)
        ShowNotice(parent, report.gaveNothingText());
    return report;
}

stages::SaveEngine& SavingStage::engine() {
    if (!engine_)
        engine_ = stages::makeSaveEngine();
    return *engine_;
}

void SavingStage::saveCurrent() { RunSavingDialog(parent_, engine()); }

void SavingStage::saveAll() { RunSavingDialog(parent_, engine()); }

} // namespace qm::ui
