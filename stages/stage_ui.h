// What the stage flows need from whoever shows them (the desktop dialogs or the command
// line): texts in the saving dialog's fields, progress, questions, and news of each
// candidate. The flows never touch a widget.
#pragma once

#include <filesystem>
#include <string>

namespace qm::stages {

// Controls of the saving dialog whose texts the saving flow sets.
enum class Field {
    SourcePath = 1018, // source file being saved
    FileNumber = 1019, // its number (1-based)
    DestinationPath = 1020,
    FileTotal = 1012,
};

// The overwrite dialog's answers, kept in SessionState::overwriteAnswer.
enum OverwriteAnswer { kNoAnswer = 0, kYes = 1, kNo = 2, kYesToAll = 3, kNoToAll = 4 };

class StageUi {
public:
    virtual ~StageUi() = default;

    virtual void showText(Field field, const std::string& text) = 0;
    virtual void setOverallProgress(int percent) = 0;
    // The Current Progress animation: started (with its period) and stopped around questions.
    virtual void setProgressTimer(bool running, int periodMs) = 0;

    // A Yes/No question (caption appTitle); true for Yes.
    virtual bool askYesNo(const std::string& question) = 0;
    // The four-answer overwrite dialog: returns the answer given, or kNoAnswer when it was
    // closed without one.
    virtual OverwriteAnswer askOverwrite(const std::filesystem::path& existing) = 0;
    // Whether Quick Repair may replace the existing output existing. The desktop program always
    // replaces it; the command line follows its overwrite option.
    virtual bool mayReplaceQuickRepairCopy(const std::filesystem::path& existing) {
        (void)existing;
        return true;
    }
    // An information notice (caption appTitle).
    virtual void notice(const std::string& text) = 0;

    // A candidate was attempted: written tells whether its output file is there now.
    virtual void candidateDone(int fileNumber, int candidate, const std::filesystem::path& output, bool written) {
        (void)fileNumber, (void)candidate, (void)output, (void)written;
    }
    // A candidate was not written because its output exists and overwriting was refused.
    virtual void candidateKept(int fileNumber, int candidate, const std::filesystem::path& output) {
        (void)fileNumber, (void)candidate, (void)output;
    }
    // A candidate or a whole file failed with an error that ended it early.
    virtual void failed(int fileNumber, const std::string& source, const std::string& what) {
        (void)fileNumber, (void)source, (void)what;
    }
};

} // namespace qm::stages
