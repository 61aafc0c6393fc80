// Helpers shared by every salvage and save routine.
#pragma once

#include "engine/word_automation.h"

#include <filesystem>
#include <string>

namespace qm {

// A new Word instance, made invisible, asked for its version, with one new document added.
struct NewDocument {
    word::Application app;
    std::string version;
    word::Documents docs;
    word::Document document;
};
NewDocument StartNewDocument();

// Runs the companion tool installFolder/stopvane with one empty argument and waits for it:
// it ends every document server of this user (and instance). A missing tool is ignored.
void RunStopvane();

} // namespace qm
