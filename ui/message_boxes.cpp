#include "ui/message_boxes.h"

#include "app/session_state.h"

#include <wx/msgdlg.h>

#include <fstream>

namespace qm::ui {

bool AskQuestion(wxWindow* parent, const std::string& text) {
    wxMessageDialog box(parent, wxString::FromUTF8(text), wxString::FromUTF8(session().appTitle),
                        wxYES_NO | wxICON_QUESTION | wxSTAY_ON_TOP);
    return box.ShowModal() == wxID_YES;
}

void ShowNotice(wxWindow* parent, const std::string& text) {
    wxMessageDialog box(parent, wxString::FromUTF8(text), wxString::FromUTF8(session().appTitle),
                        wxOK | wxICON_INFORMATION | wxSTAY_ON_TOP);
    box.ShowModal();
}

DialogueScript::DialogueScript(std::filesystem::path transcript) : transcript_(std::move(transcript)) { Register(); }

DialogueScript::~DialogueScript() { Unregister(); }

std::vector<std::string> DialogueScript::texts() const {
    std::vector<std::string> out;
    for (const auto& m : messages)
        out.push_back(m.substr(m.find('|') + 1));
    return out;
}

int DialogueScript::Enter(wxDialog* dialog) {
    auto* box = dynamic_cast<wxMessageDialogBase*>(dialog);
    if (!box)
        return wxID_NONE;
    const std::string line = (dialog->GetTitle() + "|" + box->GetMessage()).utf8_string();
    messages.push_back(line);
    if (!transcript_.empty())
        std::ofstream(transcript_, std::ios::app) << line << "\n";
    if (!(box->GetMessageDialogStyle() & wxYES_NO))
        return wxID_OK;
    bool yes = true;
    if (!answers.empty()) {
        yes = answers.front();
        answers.pop_front();
    }
    return yes ? wxID_YES : wxID_NO;
}

} // namespace qm::ui
