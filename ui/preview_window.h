// The preview window (Step 2): the web view with the current file's previews, the four
// preview buttons, Back Document / Next Document, Back, the two save commands and menu 135.
// The window draws the preview model of stages/ and passes every command to it; it runs the
// analysis dialog for each file and hands over to the saving stage.
#pragma once

#include "stages/engine_adapters.h"
#include "stages/preview_model.h"
#include "stages/save_handover.h"
#include "stages/step1_flow.h"
#include "ui/preview_browser.h"
#include "ui/skinned_window.h"
#include "ui/transparent_static.h"

#include <wx/button.h>
#include <wx/evtloop.h>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace qm::ui::id {
inline constexpr int kPreviewWindow = 130;
inline constexpr int kBrowser = 1006;
inline constexpr int kPreview1 = 1007; // .. 1010 for Preview4
inline constexpr int kPreviewNumberTotal = 1011;
inline constexpr int kPreviewFileNumber = 1012;
inline constexpr int kBackDocument = 1013;
inline constexpr int kNextDocument = 1014;
inline constexpr int kBack = 1015;
inline constexpr int kSaveAll = 1016;
inline constexpr int kSaveCurrent = 1017;
inline constexpr int kFileCount = 1033;
inline constexpr int kSlash = 1036;
inline constexpr int kSourcePath = 1037;
inline constexpr int kPreviewFrame = 1038;
} // namespace qm::ui::id

namespace qm::ui {

class CPreview : public SkinnedFrame {
public:
    CPreview(stages::AnalysisEngine& engine, stages::SaveHandOver& save);

    // Shows the window and runs until Back; every other way out ends the process.
    void RunModal();

    const stages::PreviewModel& model() const { return model_; }
    CExplorer1& browser() { return *browser_; }
    // Analyses run so far (the first starts on the first paint).
    int analyses() const { return analyses_; }

    // The folder chooser of the save commands (nullopt: cancelled); tests replace it.
    std::function<std::optional<std::filesystem::path>()> pickFolder;

private:
    void Build();
    void Apply();
    void Analyse();
    void ShowPreview(int k);
    void ChangeFile(int delta);
    void Back();
    void SaveCurrent();
    void SaveAll();
    // The folder chooser, then `use` on the folder picked; false when cancelled or not usable.
    bool PickSaveFolder(bool (stages::PreviewModel::*use)(const std::filesystem::path&));
    void OnClose(wxCloseEvent& event);
    void OnCharHook(wxKeyEvent& event);

    stages::AnalysisEngine& engine_;
    stages::SaveHandOver& save_;
    stages::PreviewModel model_;
    std::unique_ptr<CExplorer1> browser_;
    std::array<wxButton*, 5> preview_{};
    wxButton *backDocument_ = nullptr, *nextDocument_ = nullptr, *back_ = nullptr;
    wxButton *saveAll_ = nullptr, *saveCurrent_ = nullptr;
    CTransparentStatic *path_ = nullptr, *number_ = nullptr, *count_ = nullptr;
    wxGUIEventLoop* loop_ = nullptr;
    int analyses_ = 0;
    bool analysing_ = false;
};

// The folder chooser of the save commands: "Select the Destination Path".
std::optional<std::filesystem::path> ChooseDestinationFolder(wxWindow* parent);

// Step 2 as Repair runs it: the preview window until Back.
class PreviewStage : public stages::PreviewHandOver {
public:
    PreviewStage(stages::AnalysisEngine& engine, stages::SaveHandOver& save) : engine_(engine), save_(save) {}
    void runPreview() override;

private:
    stages::AnalysisEngine& engine_;
    stages::SaveHandOver& save_;
};

} // namespace qm::ui
