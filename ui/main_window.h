// The main window (Step 1): the numbered list of source files, Browse, Clear selected, Clear
// All, Skip Preview, Repair and menu 135. The window only draws; every command goes to the
// Step 1 flow of stages/.
#pragma once

#include "stages/step1_flow.h"
#include "ui/message_boxes.h"
#include "ui/skinned_window.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/listctrl.h>

#include <functional>
#include <string>
#include <vector>

namespace qm::ui {

class CQuillmendDlg : public SkinnedFrame {
public:
    // preview runs Step 2 when Repair has started a run. The window starts hidden.
    explicit CQuillmendDlg(stages::PreviewHandOver& preview);

    // Files named on the command line or handed over by another start.
    void AddFiles(const std::vector<std::string>& paths);
    // Number of automation clients attached now: while there are any, closing only hides.
    void SetAutomationClients(int count) { automationClients_ = count; }
    // True after a close that only hid the window for an automation client.
    bool HiddenForAutomation() const { return hiddenForAutomation_; }

    const stages::Step1Flow& flow() const { return flow_; }
    // Browse's file chooser is replaced by this in tests (it returns the picked paths).
    std::function<std::vector<std::string>()> pickFiles;

private:
    void Build();
    void RefreshList();
    void Browse();
    void SetSkipPreview(bool on);
    void CloseAsOkOrCancel();
    void OnClose(wxCloseEvent& event);
    void OnCharHook(wxKeyEvent& event);

    DialogueUi ui_;
    stages::Step1Flow flow_;
    stages::PreviewHandOver& preview_;
    wxListCtrl* list_ = nullptr;
    wxCheckBox* skipPreview_ = nullptr;
    wxChoice* mode_ = nullptr;
    wxButton* clearSelected_ = nullptr;
    wxButton* clearAll_ = nullptr;
    wxButton* repair_ = nullptr;
    int automationClients_ = 0;
    bool hiddenForAutomation_ = false;
};

// The file chooser of Browse: title " Open Word files", several files, both letter cases of
// the extensions (GTK's patterns are case-sensitive).
std::vector<std::string> ChooseWordFiles(wxWindow* parent);

} // namespace qm::ui
