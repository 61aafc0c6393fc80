// The program's message boxes: caption appTitle; questions with the question icon and
// Yes/No, notices with the information icon and OK; both stay on top of the program.
#pragma once

#include "stages/stage_ui.h"

#include <wx/modalhook.h>
#include <wx/window.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::ui {

// True for Yes. parent may be null (a box without owner).
bool AskQuestion(wxWindow* parent, const std::string& text);
void ShowNotice(wxWindow* parent, const std::string& text);

// Answers message boxes without showing them: each is recorded as "caption|message" and
// answered from a script (Yes or OK when the script is empty). Used by the window tests, and
// by the program itself when $QUILLMEND_TEST_DIALOGUE names a file to append the record to
// (for tests of the installed program). Other dialogs are shown as usual.
class DialogueScript : public wxModalDialogHook {
public:
    explicit DialogueScript(std::filesystem::path transcript = {});
    ~DialogueScript() override;
    std::deque<bool> answers;          // for questions; true = Yes
    std::vector<std::string> messages; // "caption|message", in order
    std::vector<std::string> texts() const; // the messages alone

protected:
    int Enter(wxDialog* dialog) override;
    void Exit(wxDialog*) override {}

private:
    std::filesystem::path transcript_;
};

// Questions and notices of the stage flows go to message boxes over `parent`.
class DialogueUi : public stages::StageUi {
public:
    explicit DialogueUi(wxWindow* parent) : parent_(parent) {}
    void showText(stages::Field, const std::string&) override {}
    void setOverallProgress(int) override {}
    void setBusy(bool) override {}
    bool askYesNo(const std::string& question) override { return AskQuestion(parent_, question); }
    stages::OverwriteAnswer askOverwrite(const std::filesystem::path&) override { return stages::kNoAnswer; }
    void notice(const std::string& text) override { ShowNotice(parent_, text); }

private:
    wxWindow* parent_;
};

} // namespace qm::ui
