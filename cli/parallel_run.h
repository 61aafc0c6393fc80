// -j N: files processed at once in N worker processes (the session record is one per
// process). Each worker takes one input at a time from the parent, which collects each
// report as it comes and prints its progress lines in one piece.
#pragma once

#include "cli/batch_report.h"
#include "platform/work_control.h"

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <vector>

namespace qm::cli {

// Processes one input in a worker; control carries the worker's own stop request.
using FileJob = std::function<FileReport(std::size_t index, WorkControl& control)>;

// Runs job for every index of which, at most jobs at a time, and stores each result in
// reports[index] (keeping its source). Starts no new worker once control has a stop request.
void runInWorkers(int jobs, const std::vector<std::size_t>& which, const FileJob& job,
                  std::vector<FileReport>& reports, std::ostream& progress, WorkControl& control);

// Passes a stop signal on to the running workers (safe to call from the signal watcher).
void forwardSignalToWorkers(int signal);

} // namespace qm::cli
