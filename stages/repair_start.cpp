#include "stages/repair_start.h"

#include "app/activity_log.h"
#include "app/session_state.h"
#include "engine/engine_helpers.h"
#include "platform/files.h"
#include "platform/process.h"
#include "stages/log_text.h"

namespace qm::stages {

using namespace logtext;

namespace {
// One record: its fragments go to the log together.
void log(std::initializer_list<std::string_view> fragments) { appendLog(fragments); }
} // namespace

std::string extensionOf(const std::string& path) {
    const auto dot = path.rfind('.');
    return dot == std::string::npos ? path : path.substr(dot + 1);
}

std::string fileNameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

void LogRunStart(const std::tm& t) {
    const std::string date = std::to_string(t.tm_mday) + "\\" + std::to_string(t.tm_mon + 1) + "\\" +
                             std::to_string(t.tm_year + 1900);
    const std::string time =
        std::to_string(t.tm_hour) + ":" + std::to_string(t.tm_min) + ":" + std::to_string(t.tm_sec);
    log({kCrLf, kCrLf, kCrLf, kCrLf, kStartBanner, kCrLf, kCrLf, kTitleBanner, kCrLf, kCrLf, kVersion, kCrLf, "Date",
         kGap, date, kCrLf, "Time", kGap, time, kCrLf, kCrLf, kStep1Banner, kCrLf, kCrLf});
}

bool WordIsRunning() {
    const auto tool = session().installFolder / "stopvane";
    // A missing tool gives a code other than 1, and Repair goes on.
    return process::runAndWait(tool, {"-check"}) == 1;
}

RepairOutcome StartRepair(StageUi& ui, const std::vector<std::string>& rows, int modeIndex) {
    auto& s = session();
    if (WordIsRunning()) {
        if (!ui.askYesNo(" Microsoft word file is Running, Do you want to close the application ?"))
            return RepairOutcome::WordLeftRunning;
        RunStopvane();
    }
    s.fileCount = static_cast<int>(rows.size());
    log({kSourceFiles, kCrLf, kSourceFilesRule, kCrLf, kCrLf});
    s.sourceFiles.clear();
    for (size_t i = 0; i < rows.size(); ++i) {
        s.sourceFiles.push_back(rows[i]);
        log({std::to_string(i + 1), "-", "   ", rows[i], kCrLf});
    }
    if (s.quickRepairForced || modeIndex == 1)
        s.advanceRepair = false;
    else if (modeIndex == 0)
        s.advanceRepair = true;
    log({kCrLf, kSkipPreviewStatus, kGap, s.skipPreview ? "TRUE" : "FALSE", kCrLf, kSkipPreviewRule});
    if (rows.empty() || !files::exists(rows.back()) || s.sourceFiles.empty()) {
        ui.notice("No files selected, Kindly select a file");
        return RepairOutcome::NoFiles;
    }
    log({kCrLf, kCrLf, kStep2Banner, kCrLf, kCrLf, kTotalFiles, kGap, std::to_string(s.fileCount), kCrLf,
         kTotalFilesRule, kCrLf, kCrLf, kTableHead, kCrLf, kTableRule, kCrLf, kCrLf});
    return RepairOutcome::Started;
}

void LogCompletion() { log({kCrLf, kCrLf, kCompleted}); }

} // namespace qm::stages
