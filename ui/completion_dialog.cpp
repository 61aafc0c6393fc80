#include "ui/completion_dialog.h"

#include "app/session_state.h"
#include "stages/exit_paths.h"
#include "stages/repair_start.h"
#include "ui/message_boxes.h"

#include <wx/button.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

namespace qm::ui {

namespace {
constexpr const char* kSavingEscape = " Saving Process is in running, Do you want to exit ? ";
}

CViewLog::CViewLog(wxWindow* parent) {
    CreateSkinned(parent, id::kCompletionDialog, wxString::FromUTF8(session().appTitle), 186, 90,
                  wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX, {kPanelSkin, true});
    new wxStaticBox(this, wxID_ANY, "", DluAt(7, 7), Dlu(172, 52));
    new wxStaticText(this, wxID_ANY, "Saving Completed Successfully", DluAt(40, 22));
    viewLog_ = new wxCheckBox(this, id::kViewLogBox, "", DluAt(40, 40));
    new wxStaticText(this, wxID_ANY, "View Log File", DluAt(54, 40));
    auto* ok = new wxButton(this, id::kCompletionOk, "OK", DluAt(68, 68), Dlu(50, 14));
    SkinThroughButton(ok);
    ok->SetDefault();
    ok->SetFocus();

    stages::LogCompletion();

    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        stages::endProcess(viewLog_->IsChecked() ? stages::ExitPath::CompletionOkViewLog
                                                 : stages::ExitPath::CompletionOk);
    }, id::kCompletionOk);
    Bind(wxEVT_CLOSE_WINDOW, [](wxCloseEvent&) { stages::endProcess(stages::ExitPath::CompletionClose); });
    Bind(wxEVT_CHAR_HOOK, &CViewLog::OnCharHook, this);
    CentreOnScreen();
}

void CViewLog::OnCharHook(wxKeyEvent& event) {
    if (event.GetKeyCode() != WXK_ESCAPE) {
        event.Skip();
        return;
    }
    if (AskQuestion(this, kSavingEscape))
        stages::endProcess(stages::ExitPath::CompletionEscape);
}

void RunCompletionDialog(wxWindow* parent) {
    CViewLog dialog(parent);
    dialog.ShowModal();
    // Only an exit ends the dialog; should the toolkit end it otherwise, the run is over too.
    stages::endProcess(stages::ExitPath::CompletionClose);
}

} // namespace qm::ui
