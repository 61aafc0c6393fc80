#include "ui/preview_window.h"

#include "app/activity_log.h"
#include "app/help.h"
#include "app/session_state.h"
#include "stages/exit_paths.h"
#include "ui/analysis_dialog.h"
#include "ui/main_menu.h"
#include "ui/message_boxes.h"

#include <wx/dirdlg.h>
#include <wx/msgdlg.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

namespace qm::ui {

namespace fs = std::filesystem;
namespace text = stages::previewtext;

std::optional<fs::path> ChooseDestinationFolder(wxWindow* parent) {
    // The user may type a folder name: one that does not exist is reported afterwards.
    wxDirDialog chooser(parent, text::kFolderTitle, "", wxDD_DEFAULT_STYLE);
    if (chooser.ShowModal() != wxID_OK)
        return std::nullopt;
    return fs::path(chooser.GetPath().utf8_string());
}

CPreview::CPreview(stages::AnalysisEngine& engine, stages::SaveHandOver& save) : engine_(engine), save_(save) {
    CreateSkinned(nullptr, id::kPreviewWindow, wxString::FromUTF8(session().appTitle), 484, 292,
                  wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX, {kBannerSkin, false});
    Build();
    pickFolder = [this] { return ChooseDestinationFolder(this); };
    model_.init();
    Apply();
    Centre();
}

void CPreview::Build() {
    SetMenuBar(CreateMainMenu(this));
    // The file selection and options of Step 1 have no place here.
    for (int item : {id::kMenuSelectFile, id::kMenuSkipPreview})
        GetMenuBar()->Enable(item, false);

    new wxStaticBox(this, id::kPreviewFrame, "", DluAt(8, 36), Dlu(468, 30));
    new wxStaticText(this, wxID_ANY, "Source File Path    :", DluAt(14, 44));
    path_ = new CTransparentStatic(this, id::kSourcePath, "", DluAt(86, 44), Dlu(384, 9));
    new wxStaticText(this, wxID_ANY, " File Number :", DluAt(14, 54));
    number_ = new CTransparentStatic(this, id::kPreviewFileNumber, "", DluAt(66, 54), Dlu(20, 9));
    new wxStaticText(this, id::kSlash, "/", DluAt(88, 54));
    count_ = new CTransparentStatic(this, id::kFileCount, "", DluAt(94, 54), Dlu(30, 9));
    new CTransparentStatic(this, id::kPreviewNumberTotal, "", DluAt(130, 54), Dlu(20, 9));

    browser_ = std::make_unique<CExplorer1>(this, id::kBrowser, DluAt(8, 70), Dlu(398, 188));

    auto button = [this](int id, const wxString& label, int x, int y, int w) {
        auto* b = new wxButton(this, id, label, DluAt(x, y), Dlu(w, 14));
        SkinThroughButton(b);
        return b;
    };
    for (int k = 1; k <= 4; ++k)
        preview_[k] = button(id::kPreview1 + k - 1, wxString::Format("Preview%d", k), 414, 70 + 20 * (k - 1), 62);
    backDocument_ = button(id::kBackDocument, "Back Document", 414, 160, 62);
    nextDocument_ = button(id::kNextDocument, "Next Document", 414, 180, 62);
    back_ = button(id::kBack, "Back", 8, 268, 62);
    saveCurrent_ = button(id::kSaveCurrent, "Save Current Preview", 266, 268, 80);
    saveAll_ = button(id::kSaveAll, "Save All", 352, 268, 54);

    for (int k = 1; k <= 4; ++k) {
        Bind(wxEVT_BUTTON, [this, k](wxCommandEvent&) { ShowPreview(k); }, id::kPreview1 + k - 1);
        Bind(wxEVT_MENU, [this, k](wxCommandEvent&) { ShowPreview(k); }, id::kMenuPreview1 + k - 1);
    }
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { ChangeFile(-1); }, id::kBackDocument);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { ChangeFile(+1); }, id::kNextDocument);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Back(); }, id::kBack);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { SaveCurrent(); }, id::kSaveCurrent);
    Bind(wxEVT_MENU, [this](wxCommandEvent&) { SaveCurrent(); }, id::kMenuSaveCurrent);
    Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { SaveAll(); }, id::kSaveAll);
    Bind(wxEVT_MENU, [this](wxCommandEvent&) { SaveAll(); }, id::kMenuSaveAll);
    for (int exitId : {id::kMenuExit, id::kCmdExit})
        Bind(wxEVT_MENU, [this](wxCommandEvent&) {
            if (AskQuestion(this, text::kExit))
                stages::endProcess(stages::ExitPath::PreviewExit);
        }, exitId);
    Bind(wxEVT_MENU, [](wxCommandEvent&) { viewLog(); }, id::kMenuViewLog);
    Bind(wxEVT_MENU, [this](wxCommandEvent&) {
        if (AskQuestion(this, text::kClearLog))
            clearLog();
    }, id::kMenuClearLog);
    Bind(wxEVT_MENU, [](wxCommandEvent&) { openHelp(); }, id::kMenuContents);
    Bind(wxEVT_CLOSE_WINDOW, &CPreview::OnClose, this);
    Bind(wxEVT_CHAR_HOOK, &CPreview::OnCharHook, this);
    // What the first paint starts: the analysis of file 1, or the notice of Skip Preview mode.
    Bind(wxEVT_SHOW, [this](wxShowEvent& e) {
        e.Skip();
        if (!e.IsShown())
            return;
        CallAfter([this] {
            if (model_.takeAnalysisRequest())
                Analyse();
            else if (model_.takeCompletedNotice())
                ShowNotice(this, text::kSkipNotice);
        });
    });
}

// Draws the model: labels, enabled controls and menu items, and the page it shows.
void CPreview::Apply() {
    const auto& c = model_.controls();
    path_->SetText(model_.currentPath());
    number_->SetText(model_.fileNumberText());
    count_->SetText(std::to_string(model_.fileCount()));
    for (int k = 1; k <= 4; ++k) {
        preview_[k]->Enable(c.preview[k]);
        GetMenuBar()->Enable(id::kMenuPreview1 + k - 1, c.menuPreview[k]);
    }
    GetMenuBar()->Enable(id::kMenuSaveCurrent, c.menuSaveCurrent);
    backDocument_->Enable(c.backDocument);
    nextDocument_->Enable(c.nextDocument);
    back_->Enable(c.back);
    saveAll_->Enable(c.saveAll);
    saveCurrent_->Enable(c.saveCurrent);
    browser_->view()->Enable(c.browser);
    browser_->SetAllowed(model_.allowedPages());
    if (!model_.page().empty() && model_.page() != browser_->page())
        browser_->Navigate(model_.page());
}

void CPreview::Analyse() {
    if (analysing_)
        return;
    analysing_ = true;
    ++analyses_;
    RunAnalysisDialog(this, engine_, model_.fileNumber());
    model_.analysisDone();
    analysing_ = false;
    Apply();
}

void CPreview::ShowPreview(int k) {
    if (analysing_)
        return;
    const fs::path page = model_.showPreview(k);
    browser_->SetAllowed(model_.allowedPages());
    browser_->Navigate(page);
}

void CPreview::ChangeFile(int delta) {
    if (analysing_ || !model_.changeFile(delta))
        return;
    Apply();
    Analyse();
}

void CPreview::Back() {
    if (!AskQuestion(this, text::kBack))
        return;
    model_.back();
    Hide();
    if (loop_)
        loop_->Exit();
}

void CPreview::SaveCurrent() {
    switch (model_.checkSaveCurrent()) {
    case stages::SaveCurrentCheck::Nothing:
        return;
    case stages::SaveCurrentCheck::NotFound:
        ShowNotice(this, text::kNotFound);
        return;
    case stages::SaveCurrentCheck::PickFolder:
        break;
    }
    if (PickSaveFolder(&stages::PreviewModel::setSaveCurrentFolder))
        save_.saveCurrent();
}

void CPreview::SaveAll() {
    if (!PickSaveFolder(&stages::PreviewModel::setSaveAllFolder))
        return;
    Hide();
    save_.saveAll();
    Show(); // the run did not end in the saving stage
}

bool CPreview::PickSaveFolder(bool (stages::PreviewModel::*use)(const fs::path&)) {
    const auto folder = pickFolder();
    if (!folder)
        return false;
    if ((model_.*use)(*folder))
        return true;
    // Not system-modal: a plain information box over this window.
    wxMessageBox(text::kNoSavePath, wxString::FromUTF8(session().appTitle), wxOK | wxICON_INFORMATION, this);
    return false;
}

void CPreview::OnClose(wxCloseEvent& event) {
    if (event.CanVeto() && !AskQuestion(this, text::kExit)) {
        event.Veto();
        return;
    }
    stages::endProcess(stages::ExitPath::PreviewExit);
}

void CPreview::OnCharHook(wxKeyEvent& event) {
    switch (event.GetKeyCode()) {
    case WXK_ESCAPE:
        if (AskQuestion(this, text::kEscape))
            stages::endProcess(stages::ExitPath::EscapePreview);
        return;
    case WXK_F1:
        openHelp();
        return;
    default:
        event.Skip(); // Ctrl+A and Ctrl+C reach the web view for copying
    }
}

void CPreview::RunModal() {
    Show();
    Raise();
    wxGUIEventLoop loop;
    loop_ = &loop;
    loop.Run();
    loop_ = nullptr;
}

void PreviewStage::runPreview() {
    auto* window = new CPreview(engine_, save_);
    window->RunModal();
    window->Destroy();
}

} // namespace qm::ui
