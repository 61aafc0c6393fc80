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

// The servers this process started that have not ended yet.
int liveServers();

// The server program: $QUILLMEND_WORD_SERVER when set, else installFolder/quillmend-word,
// else quillmend-word beside the running executable.
std::filesystem::path serverProgram();

} // namespace qm::word
