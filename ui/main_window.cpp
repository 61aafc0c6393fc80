#include "ui/main_window.h"

#include "app/activity_log.h"
#include "app/help.h"
#include "app/session_state.h"
#include "stages/exit_paths.h"
#include "stages/repair_start.h"
#include "ui/main_menu.h"

#include <wx/filedlg.h>
#include <wx/radiobut.h>
#include <wx/stattext.h>

#include <ctime>

namespace qm::ui {

std::vector<std::string> ChooseWordFiles(wxWindow* parent) {
    wxFileDialog chooser(parent, stages::step1text::kOpenTitle, "", "",
                         "Microsoft Word Document|*.doc;*.docx;*.DOC;*.DOCX;*.Doc;*.Docx",
                         wxFD_OPEN | wxFD_MULTIPLE | wxFD_FILE_MUST_EXIST);
    std::vector<std::string> out;
    if (chooser.ShowModal() != wxID_OK)
        return out;
    wxArrayString paths;
    chooser.GetPaths(paths);
    for (const auto& p : paths)
        out.push_back(p.utf8_string());
    return out;
}

CQuillmendDlg::CQuillmendDlg(stages::PreviewHandOver& preview) : ui_(this), flow_(ui_), preview_(preview) {
    CreateSkinned(nullptr, id::kMainWindow, wxString::FromUTF8(session().appTitle), 484, 292,
                  wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX, {kBannerSkin, false});
    Build();
    pickFiles = [this] { return ChooseWordFiles(this); };

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    stages::LogRunStart(local);
    Centre();
}

void CQuillmendDlg::Build() {
    SetMenuBar(CreateMainMenu(this));
    for (int item : {id::kMenuSaveCurrent, id::kMenuSaveAll, id::kMenuPreview1, id::kMenuPreview1 + 1,
                     id::kMenuPreview1 + 2, id::kMenuPreview1 + 3})
        GetMenuBar()->Enable(item, false);

    new wxStaticText(this, wxID_ANY, "Select File(s)      :", DluAt(14, 62));
    list_ = new wxListCtrl(this, id::kSourceList, DluAt(14, 74), Dlu(390, 130),
                           wxLC_REPORT | wxLC_SINGLE_SEL | wxLC_HRULES | wxLC_VRULES);
    list_->AppendColumn(" File No.", wxLIST_FORMAT_LEFT, 60);
    list_->AppendColumn(" File Name", wxLIST_FORMAT_LEFT, 500);

    auto button = [this](int id, const char* label, int y) {
        auto* b = new wxButton(this, id, label, DluAt(414, y), Dlu(56, 14));
        SkinThroughButton(b);
        return b;
    };
    button(id::kBrowse, "Browse", 74);
    clearSelected_ = button(id::kClearSelected, "Clear selected", 94);
    clearAll_ = button(id::kClearAll, "Clear All", 114);
    clearSelected_->Disable();
    clearAll_->Disable();

    new wxStaticText(this, wxID_ANY, "Skip Preview      :", DluAt(14, 214));
    skipPreview_ = new wxCheckBox(this, id::kSkipPreviewBox, "", DluAt(86, 214));
    new wxStaticText(this, wxID_ANY, "Recommended For BATCH Files Repairing", DluAt(100, 214));

    mode_ = new wxChoice(this, id::kRepairMode, DluAt(300, 212), Dlu(90, 12));
    mode_->Append("ADVANCE MODE ");
    mode_->Append("QUICK MODE");
    mode_->SetSelection(0);
    mode_->Hide();
    mode_->Disable();

    new wxStaticText(this, wxID_ANY, "Saving Format   :", DluAt(14, 234));
    new wxRadioButton(this, id::kSaveAsDoc, "Doc (Office 2000, XP, 2003)", DluAt(86, 234), wxDefaultSize,
                      wxRB_GROUP);
    new wxRadioButton(this, id::kSaveAsDocx, "Docx ( Office 2007)", DluAt(210, 234));

    repair_ = button(id::kRepair, "Repair", 262);

    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Browse(); }, id::kBrowse);
    Bind(wxEVT_MENU, [this](wxCommandEvent&) { Browse(); }, id::kMenuSelectFile);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (flow_.clearSelected(static_cast<int>(list_->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED))))
            RefreshList();
    }, id::kClearSelected);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        if (flow_.clearAll())
            RefreshList();
    }, id::kClearAll);
    Bind(wxEVT_CHECKBOX, [this](wxCommandEvent& e) { SetSkipPreview(e.IsChecked()); }, id::kSkipPreviewBox);
    Bind(wxEVT_MENU, [this](wxCommandEvent&) { SetSkipPreview(flow_.toggleSkipPreview()); }, id::kMenuSkipPreview);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
        flow_.repair(preview_, [this](bool on) { Show(on); });
    }, id::kRepair);
    Bind(wxEVT_MENU, [](wxCommandEvent&) { viewLog(); }, id::kMenuViewLog);
    Bind(wxEVT_MENU, [this](wxCommandEvent&) { flow_.clearLog(); }, id::kMenuClearLog);
    for (int exitId : {id::kMenuExit, id::kCmdExit})
        Bind(wxEVT_MENU, [this](wxCommandEvent&) {
            if (flow_.confirmExit())
                CloseAsOkOrCancel();
        }, exitId);
    Bind(wxEVT_MENU, [](wxCommandEvent&) { openHelp(); }, id::kMenuContents);
    Bind(wxEVT_MENU, [this](wxCommandEvent&) { mode_->SetSelection(flow_.forceQuickRepair()); }, id::kCmdForceQuick);
    Bind(wxEVT_MENU, [this](wxCommandEvent&) { mode_->SetSelection(flow_.forceAdvanceRepair()); },
         id::kCmdForceAdvance);
    Bind(wxEVT_CLOSE_WINDOW, &CQuillmendDlg::OnClose, this);
    Bind(wxEVT_CHAR_HOOK, &CQuillmendDlg::OnCharHook, this);
}

void CQuillmendDlg::RefreshList() {
    list_->Freeze();
    list_->DeleteAllItems();
    for (const auto& row : flow_.list().rows()) {
        const long i = list_->InsertItem(list_->GetItemCount(), std::to_string(row.number));
        list_->SetItem(i, 1, wxString::FromUTF8(row.path));
    }
    list_->Thaw();
    const bool any = !flow_.list().empty();
    clearSelected_->Enable(any);
    clearAll_->Enable(any);
}

void CQuillmendDlg::AddFiles(const std::vector<std::string>& paths) {
    if (flow_.addFiles(paths) > 0)
        RefreshList();
}

void CQuillmendDlg::Browse() { AddFiles(pickFiles()); }

void CQuillmendDlg::SetSkipPreview(bool on) {
    flow_.setSkipPreview(on);
    skipPreview_->SetValue(on);
    GetMenuBar()->Check(id::kMenuSkipPreview, on);
}

void CQuillmendDlg::CloseAsOkOrCancel() {
    if (automationClients_ > 0) {
        hiddenForAutomation_ = true;
        Hide();
        return;
    }
    Destroy();
}

void CQuillmendDlg::OnClose(wxCloseEvent& event) {
    if (!event.CanVeto()) {
        Destroy();
        return;
    }
    repair_->Disable();
    const bool yes = flow_.confirmExit();
    repair_->Enable();
    if (yes)
        CloseAsOkOrCancel();
    else
        event.Veto();
}

void CQuillmendDlg::OnCharHook(wxKeyEvent& event) {
    if (event.GetKeyCode() == WXK_ESCAPE) {
        if (flow_.confirmEscape())
            stages::endProcess(stages::ExitPath::EscapeMain);
        return;
    }
    if (event.GetKeyCode() == WXK_F1) {
        openHelp();
        return;
    }
    event.Skip();
}

} // namespace qm::ui
