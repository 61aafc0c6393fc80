// The batch front end's run: Repair's steps, optional previews, the all-files save flow and
// the report, as quillmend-cli performs them.
#pragma once

#include "cli/cli_options.h"

#include <iosfwd>

namespace qm::cli {

struct Console {
    std::ostream& out; // the report (--json) and the summary
    std::ostream& err; // progress and errors
    std::istream& in;  // answers to the overwrite question
    bool interactive;  // standard input and error are a terminal
};

// Runs a parsed command line; returns the exit status (0, 1 or 2).
int runBatch(const Options& options, Console& console);

// The whole program: parses, prints help/version/usage errors, runs.
int cliMain(const std::vector<std::string>& args, Console& console);

} // namespace qm::cli
