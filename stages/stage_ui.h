// What the stage flows need from whoever shows them (the desktop dialogs or the command
// line): texts of the saving progress, progress, a busy/idle state, questions, and news of
// each candidate. The flows never touch a widget.
//
// Threading: the flows call a StageUi from the UI thread (Step 1, the analysis dialog's
// buttons) and from their worker threads (the saving flow, the analysis worker).
//  - The questions (askYesNo, askOverwrite, mayReplaceQuickRepairCopy) and notice block the
//    caller until they are answered or closed. From a worker, an implementation shows them on
//    the UI thread and makes the worker wait for the answer.
//  - Every other call may come from a worker thread and must not wait for the UI: an
//    implementation posts what it shows to the UI thread and returns at once.
#pragma once

#include <filesystem>
#include <string>

namespace qm::stages {

// The texts the saving flow shows; each front end maps them to its own controls.
enum class Field {
    SourcePath,      // source file being saved
    FileNumber,      // its number (1-based)
    DestinationPath, // folder or file it is saved to
    FileTotal,       // number of files being saved
};

// The overwrite dialog's answers, kept in SessionState::overwriteAnswer.
enum OverwriteAnswer { kNoAnswer = 0, kYes = 1, kNo = 2, kYesToAll = 3, kNoToAll = 4 };

class StageUi {
public:
    virtual ~StageUi() = default;

    virtual void showText(Field field, const std::string& text) = 0;
    virtual void setOverallProgress(int percent) = 0;
    // Busy while the work runs; idle while it is held (paused, or a question is open). A
    // front end animates its current-progress display only while busy.
    virtual void setBusy(bool busy) = 0;

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
