#include "ui/completion_dialog.h"

#include "app/session_state.h"
#include "stages/exit_paths.h"
#include "stages/repair_start.h"
#include "ui/label_text.h"
#include "ui/message_boxes.h"

#include <wx/button.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

#include <algorithm>

namespace qm::ui {

namespace {
constexpr const char* kSavingEscape = " Saving Process is in running, Do you want to exit ? ";
}

CViewLog::CViewLog(wxWindow* parent, const stages::SavingReport* report) {
    const std::string headline = report ? report->headline() : stages::savingtext::kCompleted;
    const std::string gaveNothing = report ? report->gaveNothingText() : std::string();
    // Each line of the list of files that gave nothing adds to the height.
    const int lines = gaveNothing.empty() ? 0 : 1 + static_cast<int>(std::count(gaveNothing.begin(), gaveNothing.end(), '\n'));
    const int extra = lines * 10;
    CreateSkinned(parent, id::kCompletionDialog, wxString::FromUTF8(session().appTitle), 186, 90 + extra,
                  wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX, {kPanelSkin, true});
    new wxStaticBox(this, wxID_ANY, "", DluAt(7, 7), Dlu(172, 52 + extra));
    new wxStaticText(this, wxID_ANY, wxString::FromUTF8(headline), DluAt(40, 22));
    if (!gaveNothing.empty()) {
        auto* list = new wxStaticText(this, id::kGaveNothingText, "", DluAt(40, 34), Dlu(134, lines * 10),
                                      wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_END);
        std::string shown; // file names are bytes: each line made fit for a label
        for (std::size_t at = 0, next; at <= gaveNothing.size(); at = next + 1) {
            next = std::min(gaveNothing.find('\n', at), gaveNothing.size());
            shown += (at ? "\n" : "") + DisplayText(std::string_view(gaveNothing).substr(at, next - at));
        }
        list->SetLabelText(wxString::FromUTF8(shown));
    }
    viewLog_ = new wxCheckBox(this, id::kViewLogBox, "", DluAt(40, 40 + extra));
    new wxStaticText(this, wxID_ANY, "View Log File", DluAt(54, 40 + extra));
    auto* ok = new wxButton(this, id::kCompletionOk, "OK", DluAt(68, 68 + extra), Dlu(50, 14));
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

void RunCompletionDialog(wxWindow* parent, const stages::SavingReport* report) {
    CViewLog dialog(parent, report);
    dialog.ShowModal();
    // Only an exit ends the dialog; should the toolkit end it otherwise, the run is over too.
    stages::endProcess(stages::ExitPath::CompletionClose);
}

} // namespace qm::ui
