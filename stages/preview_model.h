// The preview window (Step 2) without its window: the current file, which controls and menu
// items are enabled, which page each preview button shows, the preview rows of the log, file
// changes, Back and the checks of the two save commands. The window only draws what this says
// and runs the analysis dialog when it is told to.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::stages {

namespace previewtext {
inline constexpr const char* kBack = "Do you want to go to previous step ?";
inline constexpr const char* kExit = "Do you want to exit?";
inline constexpr const char* kEscape = "Do you want to exit ? ";
inline constexpr const char* kClearLog = "Do you want to clear Log File";
inline constexpr const char* kNotFound = "Preview not found, select another Preview for saving";
inline constexpr const char* kNoSavePath = "Saving path doesn't exist, select another path for saving ";
inline constexpr const char* kSkipNotice = "Analysis completed, click on save all button to continue";
inline constexpr const char* kFolderTitle = "Select the Destination Path";
inline constexpr const char* kBlankPage = "Blank.mht";
inline constexpr const char* kPlaceholder = "Preview.mht";
inline constexpr const char* kAutoPlaceholder = "preview.mht"; // the automatic Preview 1 asks for this spelling
} // namespace previewtext

// A Preview 4 larger than this is not loaded into the web view.
inline constexpr std::uintmax_t kPreview4SizeLimit = 11000000;

// Enabled state of everything the window offers.
struct PreviewControls {
    std::array<bool, 5> preview{};     // buttons Preview1..4 ([0] unused)
    std::array<bool, 5> menuPreview{}; // menu items 32781..32784 ([0] unused)
    bool menuSaveCurrent = true;       // menu item 32775
    bool backDocument = false, nextDocument = false, back = false, saveAll = false, saveCurrent = false;
    bool browser = true;
};

// What Save Current Preview may do now.
enum class SaveCurrentCheck { Nothing, NotFound, PickFolder };

class PreviewModel {
public:
    // Initialisation from the session: the current file is 1 (normal mode) and the window shows
    // Blank.mht; in Skip Preview mode only Back and Save All are on and no analysis runs.
    void init();

    bool skipPreview() const { return skip_; }
    int fileNumber() const { return fileNumber_; }
    int fileCount() const;
    std::string fileNumberText() const; // label 1012
    std::string currentPath() const;    // label 1037
    const PreviewControls& controls() const { return controls_; }
    // The page the web view shows now (empty: none yet).
    const std::filesystem::path& page() const { return page_; }

    // True once: the first paint of a normal-mode window runs the analysis of file 1.
    bool takeAnalysisRequest();
    // True once: the first paint of a Skip Preview window shows kSkipNotice.
    bool takeCompletedNotice();

    // After each analysis: the buttons the file has, and the automatic Preview 1 in Advance
    // Repair mode (selectedPreview = 1, with its log row when a candidate is shown).
    void analysisDone();

    // Preview k (1..4) pressed: the page to show (also page()). Writes the log row of k = 2..4
    // and sets selectedPreview, except after a stopped analysis, which shows the placeholder.
    std::filesystem::path showPreview(int k);

    // Back Document (-1) or Next Document (+1): false when there is no such file. The window
    // then runs the analysis (which deletes the previous file's previews) and analysisDone().
    bool changeFile(int delta);

    // Back after its question: previews deleted, source list emptied.
    void back();

    SaveCurrentCheck checkSaveCurrent() const;
    // A picked destination is usable: it names an existing folder.
    static bool saveFolderUsable(const std::filesystem::path& folder);
    // The folder picked for Save Current Preview, kept in currentSaveFolder. False when it is
    // not usable (the window says kNoSavePath); true: saveCurrentOnly is set for the hand-over.
    bool setSaveCurrentFolder(const std::filesystem::path& folder);
    // The folder picked for Save All, kept in saveAllFolder. True when usable: the previews are
    // deleted and saveCurrentOnly cleared for the hand-over.
    bool setSaveAllFolder(const std::filesystem::path& folder);

    // Every file the web view may load now: the placeholders and the current candidates (a
    // candidate's own folder for its pictures).
    std::vector<std::filesystem::path> allowedPages() const;

    // The log row of preview k for the current file, without the line breaks before it.
    std::string previewRow(int k) const;

private:
    void resetControls();
    std::filesystem::path placeholder(const char* name) const;
    std::filesystem::path candidatePage(int k) const;

    bool skip_ = false;
    int fileNumber_ = 0;
    bool analysisRequest_ = false;
    bool completedNotice_ = false;
    PreviewControls controls_;
    std::filesystem::path page_;
};

} // namespace qm::stages
