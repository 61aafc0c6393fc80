#include "ui/overwrite_dialog.h"

#include "app/session_state.h"
#include "stages/saving_flow.h"

#include <wx/artprov.h>
#include <wx/button.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

namespace qm::ui {

CSaveMsg::CSaveMsg(wxWindow* parent) {
    CreateSkinned(parent, id::kOverwriteDialog, wxString::FromUTF8(session().appTitle), 262, 90,
                  wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxSTAY_ON_TOP, {kPanelSkin, true});
    new wxStaticBitmap(this, id::kOverwriteIcon, wxArtProvider::GetBitmap(wxART_QUESTION, wxART_MESSAGE_BOX, wxSize(32, 32)),
                       DluAt(14, 18), wxSize(32, 32));
    new wxStaticText(this, wxID_ANY, stages::savingtext::kOverwriteFiles, DluAt(48, 24));
    const struct {
        int id;
        const char* label;
        stages::OverwriteAnswer answer;
        int x;
    } buttons[] = {{id::kOverwriteYes, "Yes", stages::kYes, 14},
                   {id::kOverwriteNo, "No", stages::kNo, 75},
                   {id::kOverwriteYesToAll, "Yes To All", stages::kYesToAll, 136},
                   {id::kOverwriteNoToAll, "No To All", stages::kNoToAll, 197}};
    for (const auto& b : buttons) {
        auto* button = new wxButton(this, b.id, b.label, DluAt(b.x, 62), Dlu(52, 14));
        SkinThroughButton(button);
        Bind(wxEVT_BUTTON, [this, answer = b.answer](wxCommandEvent&) {
            answer_ = answer;
            EndModal(wxID_CANCEL);
        }, b.id);
    }
    // No default button: Enter, like Escape and the close box, ends the dialog with no answer.
    SetEscapeId(wxID_NONE);
    SetAffirmativeId(wxID_NONE);
    Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& event) {
        const int key = event.GetKeyCode();
        if (key == WXK_ESCAPE || key == WXK_RETURN || key == WXK_NUMPAD_ENTER)
            EndModal(wxID_CANCEL);
        else
            event.Skip();
    });
    Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { EndModal(wxID_CANCEL); });
    CentreOnScreen();
}

stages::OverwriteAnswer AskOverwrite(wxWindow* parent) {
    CSaveMsg dialog(parent);
    dialog.ShowModal();
    return dialog.answer();
}

} // namespace qm::ui
