// The saving worker: Step 3 of a run, without its dialog. It walks the files to save, makes
// the candidate folders and names, asks before overwriting, calls the save engine for each
// candidate and writes the Step 3 lines of the log.
#pragma once

#include "platform/work_control.h"
#include "stages/engine_adapters.h"
#include "stages/flow_result.h"
#include "stages/stage_ui.h"

#include <filesystem>
#include <string>
#include <vector>

namespace qm::stages {

class SavingWorker {
public:
    SavingWorker(StageUi& ui, SaveEngine& engine, WorkControl& control) : ui_(ui), engine_(engine), control_(control) {}

    // Runs the current-file flow when session().saveCurrentOnly is set, else the all-files flow,
    // under the WorkControl's gate. A stop request ends it Stopped at the next checkpoint, with
    // the "Repairing aborted" lines appended to the log.
    FlowResult run();

    // Output names by file number (1-based; names[0] is file 1's). A file without an entry
    // saves under its source name. Inputs that share a name get distinct ones this way.
    void setOutputNames(std::vector<std::string> names) { outputNames_ = std::move(names); }

private:
    void currentFileFlow();
    void allFilesFlow();
    // "Make candidate folder N": saveTargetPath = D/Preview N/<name>; returns the folder F.
    std::filesystem::path makeCandidateFolder(const std::filesystem::path& destination, int n,
                                              const std::string& name);
    bool mayWriteCurrentFile();
    bool mayWriteAllFiles();
    void logTarget();
    // Runs one candidate's engine calls; reports the outcome; an error ends this candidate only.
    template <typename Call> void runCandidate(int fileNumber, int candidate, Call call);

    StageUi& ui_;
    SaveEngine& engine_;
    WorkControl& control_;
    int currentCandidate_ = 0; // candidate number the all-files overwrite test is about
    std::vector<std::string> outputNames_;
    std::string outputName(int fileNumber, const std::string& path) const;
};

// Output name of a .docx candidate: the source name, or with saveOption 2 the name with its
// extension replaced by ".doc".
std::string docxOutputName(const std::string& name);

} // namespace qm::stages
