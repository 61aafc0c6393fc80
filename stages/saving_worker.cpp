#include "stages/saving_worker.h"

#include "app/activity_log.h"
#include "app/session_state.h"
#include "platform/files.h"
#include "stages/log_text.h"
#include "stages/repair_start.h"

#include <sys/stat.h>

#include <exception>

namespace qm::stages {

using namespace logtext;
namespace fs = std::filesystem;

namespace {

// Identity of an output file before a candidate runs, to tell whether the candidate wrote it.
struct FileStamp {
    bool exists = false;
    struct timespec mtime {};
    off_t size = 0;
    static FileStamp of(const fs::path& p) {
        FileStamp s;
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) {
            s.exists = true;
            s.mtime = st.st_mtim;
            s.size = st.st_size;
        }
        return s;
    }
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               size == o.size;
    }
};

} // namespace

std::string docxOutputName(const std::string& name) {
    if (session().saveOption != 2)
        return name;
    const auto dot = name.rfind('.');
    return (dot == std::string::npos ? name : name.substr(0, dot)) + ".doc";
}

FlowResult SavingWorker::run() {
    auto& s = session();
    s.filesSavedCount = 0;
    appendLog({kCrLf, kCrLf, kStep3Banner, kCrLf, kCrLf, kDestination, kCrLf, kDestinationRule, kCrLf, kCrLf});
    const FlowResult result = runFlow(&control_, [&] {
        if (s.saveCurrentOnly)
            currentFileFlow();
        else
            allFilesFlow();
    });
    // Whoever stopped the run (Stop, Close, Escape, a signal), the log tells it.
    if (result.outcome == FlowOutcome::Stopped)
        appendLog({kCrLf, kCrLf, kAborted});
    return result;
}

fs::path SavingWorker::makeCandidateFolder(const fs::path& destination, int n, const std::string& name) {
    auto& s = session();
    const fs::path folder = destination / ("Preview " + std::to_string(n));
    files::createFolders(folder); // a folder that cannot be made shows up as the engine's write failure
    s.saveTargetPath = folder / name;
    return folder;
}

void SavingWorker::logTarget() {
    appendLog({kCrLf, session().saveTargetPath.string()});
}

bool SavingWorker::mayWriteCurrentFile() {
    if (!files::exists(session().saveTargetPath))
        return true;
    ui_.setBusy(false);
    const bool yes = ui_.askYesNo("The file already exit's, Do you want to overwrite file");
    if (!yes)
        ui_.candidateKept(session().previewFileNumber, session().selectedPreview, session().saveTargetPath);
    return yes;
}

bool SavingWorker::mayWriteAllFiles() {
    auto& s = session();
    const bool exists = files::exists(s.saveTargetPath);
    if (s.overwriteAnswer == kNoAnswer || s.overwriteAnswer == kYes || s.overwriteAnswer == kNo) {
        ui_.setBusy(false);
        if (exists) {
            const OverwriteAnswer answer = ui_.askOverwrite(s.saveTargetPath);
            if (answer != kNoAnswer) // closed without an answer: the previous answer stays
                s.overwriteAnswer = answer;
        }
    }
    const bool allowed = !exists || s.overwriteAnswer == kYes || s.overwriteAnswer == kYesToAll;
    if (!allowed)
        ui_.candidateKept(s.filesSavedCount + 1, currentCandidate_, s.saveTargetPath);
    return allowed;
}

template <typename Call> void SavingWorker::runCandidate(int fileNumber, int candidate, Call call) {
    control_.checkpoint();
    auto& s = session();
    const fs::path expected = s.saveTargetPath;
    const FileStamp before = FileStamp::of(expected);
    engine_.TakeWriteFailure(); // a failure of an earlier candidate is not this one's
    s.saveMediaCopies.clear();
    std::exception_ptr error;
    try {
        call();
    } catch (...) {
        error = std::current_exception();
    }
    const bool returned = !error;
    // The .docx candidate may have renamed its output (saveTargetPath is read again).
    const fs::path output = s.saveTargetPath;
    const FileStamp after = FileStamp::of(output);
    bool written = after.exists && (output != expected || !(after == before));
    const FlowResult end = endOf(&control_, error);
    const bool reported = end.outcome == FlowOutcome::Failed;
    if (reported)
        ui_.failed(fileNumber, s.saveSourcePath.string(), end.error);
    if (end.outcome == FlowOutcome::Stopped) {
        // An output the engine finished is kept; one it was writing when the stop came is not.
        if (written && !returned)
            files::deleteFile(output);
        files::removeDeadWritersLeftovers(output.parent_path());
        if (written && returned)
            ui_.candidateDone(fileNumber, candidate, output, true);
        throw StopRequested();
    }
    const std::string kind = lowerCase(extensionOf(s.saveSourcePath.string()));
    // A .doc candidate that recovered neither text nor picture is no recovery.
    if (written && kind == "doc" && !engine_.HoldsContent(output)) {
        files::deleteFile(output);
        written = false;
    }
    // Why an output could not be written. A package's pictures are copied after its document
    // was saved, so a picture that could not be written is reported even when the document stays.
    if (!written || kind == "docx") {
        const std::string failure = engine_.TakeWriteFailure();
        if (!failure.empty() && !reported)
            ui_.failed(fileNumber, s.saveSourcePath.string(), failure);
    }
    if (!written) {
        files::removeDeadWritersLeftovers(output.parent_path());
        if (!s.saveMediaCopies.empty()) {
            // The document was lost but its pictures were saved: those are what this candidate wrote.
            for (const auto& copy : s.saveMediaCopies)
                ui_.candidateDone(fileNumber, candidate, copy, true);
            return;
        }
    }
    ui_.candidateDone(fileNumber, candidate, output, written);
}

std::string SavingWorker::outputName(int fileNumber, const std::string& path) const {
    if (fileNumber >= 1 && fileNumber <= static_cast<int>(outputNames_.size()) && !outputNames_[fileNumber - 1].empty())
        return outputNames_[fileNumber - 1];
    return fileNameOf(path);
}

void SavingWorker::currentFileFlow() {
    auto& s = session();
    const int k = s.previewFileNumber;
    const std::string path = s.sourceFileAt(k - 1);
    ui_.showText(Field::FileNumber, "1");
    ui_.showText(Field::FileTotal, "1");
    ui_.setOverallProgress(s.fileCount > 0 ? s.fileCount * 100 / s.fileCount : 100);
    s.saveSourcePath = path;
    ui_.showText(Field::SourcePath, path);
    const fs::path destination = s.currentSaveFolder;
    const std::string name = outputName(k, path);
    s.saveFileName = name;
    const std::string ext = lowerCase(extensionOf(path));

    if (ext == "doc") {
        const int n = s.selectedPreview;
        if (n == 1) {
            const fs::path folder = makeCandidateFolder(destination, 1, name);
            if (mayWriteCurrentFile()) {
                ui_.setBusy(true);
                ui_.showText(Field::DestinationPath, s.saveTargetPath.string());
                logTarget();
                runCandidate(k, 1, [&] {
                    engine_.ExtractPicturesTo(folder);
                    const int r = engine_.SaveFibText(name, folder);
                    engine_.SaveCombinedDoc(SaveVariant::CurrentFile, r);
                });
            }
        } else if (n >= 2 && n <= 4) {
            const fs::path folder = makeCandidateFolder(destination, n, name);
            ui_.showText(Field::DestinationPath, s.saveTargetPath.string());
            if (mayWriteCurrentFile()) {
                logTarget();
                ui_.setBusy(true);
                runCandidate(k, n, [&] {
                    if (n == 4)
                        engine_.SaveRawBlocks(name, folder);
                    else
                        engine_.SaveAnchoredText(n, folder, name);
                });
            }
        }
    }
    if (ext == "docx" && s.selectedPreview == 1) {
        const fs::path folder = makeCandidateFolder(destination, 1, docxOutputName(name));
        ui_.showText(Field::DestinationPath, s.saveTargetPath.string());
        if (mayWriteCurrentFile()) {
            ui_.setBusy(true);
            logTarget();
            runCandidate(k, 1, [&] { engine_.SaveDocxCandidate(folder); });
        }
    }
}

void SavingWorker::allFilesFlow() {
    auto& s = session();
    ui_.showText(Field::FileTotal, std::to_string(s.fileCount));
    const fs::path destination = s.saveAllFolder;
    const std::list<std::string> files = s.sourceFiles; // the list does not change while saving
    for (const std::string& path : files) {
        control_.checkpoint();
        const int j = s.filesSavedCount + 1;
        ui_.setOverallProgress(s.fileCount > 0 ? static_cast<int>(static_cast<long long>(j) * 100 / s.fileCount) : 100);
        s.saveSourcePath = path;
        const std::string name = outputName(j, path);
        s.saveFileName = name;
        ui_.showText(Field::SourcePath, path);
        ui_.showText(Field::FileNumber, std::to_string(j));
        ui_.showText(Field::DestinationPath, destination.string());
        const std::string ext = lowerCase(extensionOf(path));

        if (ext == "doc") {
            if (!s.advanceRepair) {
                const fs::path target = destination / name;
                s.saveTargetPath = target;
                appendLog(target.string()); // no line break before it: consecutive paths run together
                ui_.showText(Field::DestinationPath, target.string());
                if (files::exists(target) && !ui_.mayReplaceQuickRepairCopy(target))
                    ui_.candidateKept(j, 0, target);
                else
                    runCandidate(j, 0, [&] { engine_.QuickRepairCopy(target); });
            } else {
                for (int n = 1; n <= 4; ++n) {
                    const fs::path folder = makeCandidateFolder(destination, n, name);
                    ui_.showText(Field::DestinationPath, s.saveTargetPath.string());
                    currentCandidate_ = n;
                    const bool allowed = mayWriteAllFiles();
                    if (allowed) {
                        logTarget();
                        runCandidate(j, n, [&] {
                            if (n == 1) {
                                engine_.ExtractPicturesTo(folder);
                                const int r = engine_.SaveFibText(name, folder);
                                engine_.SaveCombinedDoc(SaveVariant::AllFiles, r);
                            } else if (n == 4) {
                                engine_.SaveRawBlocks(name, folder);
                            } else {
                                engine_.SaveAnchoredText(n, folder, name);
                            }
                        });
                    }
                    ui_.setBusy(true);
                }
            }
        }
        if (ext == "docx") {
            const fs::path folder = makeCandidateFolder(destination, 1, docxOutputName(name));
            ui_.showText(Field::DestinationPath, s.saveTargetPath.string());
            currentCandidate_ = 1;
            if (mayWriteAllFiles()) {
                ui_.setBusy(true);
                logTarget();
                runCandidate(j, 1, [&] { engine_.SaveDocxCandidate(folder); });
            }
        }
        s.filesSavedCount += 1;
    }
}

} // namespace qm::stages
