// The two bindings of the Word automation interface.
#pragma once

#include "engine/word_automation.h"

#include <filesystem>

namespace qm::word {

// A new Word instance served inside this process (fast; for tests).
std::shared_ptr<Connection> connectInProcess();

// A new Word instance served by its own quillmend-word process over pipes (what the program
// uses: a hostile file can cost a candidate, never the program, and stopvane can end it).
// Throws WordError when the server cannot be started.
std::shared_ptr<Connection> connectOutOfProcess();

// The servers this process started that have not ended yet, spares not counted.
int liveServers();

// While one lives, in a private server scope (app/run_environment.h), an instance that quits
// cleanly leaves its server running as a spare, reset to a new instance, and the next
// Application::create() of this process takes it instead of starting a process: a batch starts
// a handful of servers instead of a few per file. Only in a private scope, where no other
// program's Word check or stopvane looks for them. A spare serves only a start with the same
// program and environment, at most 64 instances; stopvane ends spares like any server. When the
// last one ends, the spares end.
class KeepSpareServers {
public:
    KeepSpareServers();
    ~KeepSpareServers();
    KeepSpareServers(const KeepSpareServers&) = delete;
    KeepSpareServers& operator=(const KeepSpareServers&) = delete;
};

// The spare servers kept now.
int spareServers();

// The server program: $QUILLMEND_WORD_SERVER when set, else installFolder/quillmend-word,
// else quillmend-word beside the running executable.
std::filesystem::path serverProgram();

} // namespace qm::word
