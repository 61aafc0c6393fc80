// Helpers shared by every salvage and save routine.
#pragma once

#include <filesystem>

namespace qm {

// Runs the companion tool installFolder/stopvane with one empty argument and waits for it:
// it ends every document server of this user (and instance). A missing tool is ignored.
void RunStopvane();

} // namespace qm
