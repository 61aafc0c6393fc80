// Fixed texts of the activity log written by the stages, exactly as the log has always held them.
#pragma once

namespace qm::stages::logtext {

inline constexpr const char* kCrLf = "\r\n";
inline constexpr const char* kStartBanner =
    "********************************* Start Log File ********************************";
inline constexpr const char* kTitleBanner = "*************************Tessary for Word************************";
inline constexpr const char* kVersion = "Version 1.0";
inline constexpr const char* kStep1Banner =
    "************************* Step 1 :- Source Files Selection ***********************";
inline constexpr const char* kSourceFiles = "Source Files :";
inline constexpr const char* kSourceFilesRule = "______________";
inline constexpr const char* kSkipPreviewStatus = "Skip Preview Status :";
inline constexpr const char* kSkipPreviewRule = "____________________";
inline constexpr const char* kStep2Banner =
    "****************** Step 2 :- Analysis Files and Preview Selection******************";
inline constexpr const char* kTotalFiles = "Total Files Count :";
inline constexpr const char* kTotalFilesRule = "___________________";
inline constexpr const char* kTableHead = "File Number      Preview Number      File Name";
inline constexpr const char* kTableRule = "___________      ______________      _________";
inline constexpr const char* kStep3Banner =
    "******************************  Step 3 :- Files Saving********************************";
inline constexpr const char* kDestination = "Destination Files Path :";
inline constexpr const char* kDestinationRule = "________________________";
inline constexpr const char* kCompleted =
    "******************* Repairing Completed successfully***********************************";
inline constexpr const char* kAborted = "******************* Repairing aborted***********************************";
inline constexpr const char* kGap = "    "; // between a label and its value

} // namespace qm::stages::logtext
