// The activity log, "Activity Log.txt": one plain UTF-8 text file built up fragment by
// fragment by every stage of a run. Callers pass ready-made fragments with their own "\r\n".
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

namespace qm {

inline constexpr std::uintmax_t kLogSizeLimit = 5242880; // a larger log is restarted before an append
inline constexpr const char* kLogFileName = "Activity Log.txt";

// The log file as resolved now: the folder of "LogPath" when it names an existing folder,
// else the folder of "FilePath"; when neither is recorded, defaultLogFolder() (empty when that is).
std::filesystem::path logFilePath();

// Appends one fragment whole, in one write at the end of the file: fragments of other
// threads and of other processes (parallel runs, workers) are never lost, overwritten or cut
// into, and each thread's fragments keep their order. A read-only log is made writable; a log
// larger than kLogSizeLimit is started again first.
// Returns false when the file could not be opened or written.
bool appendLog(std::string_view text);
// Appends the fragments together as one, so that another run's cannot come between them.
bool appendLog(std::initializer_list<std::string_view> fragments);

// The per-user log folder an installation registers: ${XDG_STATE_HOME:-$HOME/.local/state}/quillmend
// (empty when neither variable is set).
std::filesystem::path defaultLogFolder();
// For a system-wide installation, whose installation folder users cannot write: when no
// "LogPath" names an existing folder and the "FilePath" folder is not writable, creates
// defaultLogFolder() and records it as "LogPath" in the user's registry store, so the log is
// not lost. True when the log now has a writable folder.
bool ensureWritableLogFolder();

// View Log: opens the log being written in the desktop's text viewer (xdg-open); does not wait.
bool viewLog();
// Clear Log (after the user said Yes): deletes the log being written and appends "\r\n".
bool clearLog();

} // namespace qm
