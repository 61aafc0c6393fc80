// Step 1 of a run without its dialog: the log's start banner, and Repair's steps from the
// Word check to the Step 2 heading.
#pragma once

#include "stages/stage_ui.h"

#include <ctime>
#include <string>
#include <vector>

namespace qm::stages {

// The start of a run in the log: banners, version, date and time (local clock, decimal
// numbers without leading zeros, date as day\month\year).
void LogRunStart(const std::tm& localTime);

enum class RepairOutcome {
    Started,          // sourceFiles, fileCount and advanceRepair are set; the preview stage may run
    WordLeftRunning,  // a document server runs and the user chose not to close it
    NoFiles,          // nothing usable to repair ("No files selected, Kindly select a file")
};

// Repair: the Word check (stopvane -check; question; stopvane), fileCount, sourceFiles,
// the repair mode from the mode index (0 advance, 1 quick; quickRepairForced wins), and the
// log lines of the source list, the Skip Preview status and the Step 2 heading.
RepairOutcome StartRepair(StageUi& ui, const std::vector<std::string>& rows, int modeIndex);

// The completion lines that end a successful Save All.
void LogCompletion();

// Runs installFolder/stopvane -check: true when a document server of this user runs.
bool WordIsRunning();

// Path helpers with the flows' exact rules.
std::string extensionOf(const std::string& path); // text after the last "." (whole path without one)
std::string fileNameOf(const std::string& path);  // text after the last "/"
// ASCII letters in lower case: extensions are compared without regard to case ("A.DOC" is a
// .doc file).
std::string lowerCase(std::string text);

} // namespace qm::stages
