// Running programs: posix_spawn + waitpid.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qm::process {

// Runs a program and waits for it. The program path is passed as argv[0]; args are the
// arguments after it.
// Returns its exit status, 128 + signal number when a signal ended it, or -1 when it could
// not be started.
int runAndWait(const std::filesystem::path& program, const std::vector<std::string>& args);

// Starts a program without waiting (its exit is reaped in the background). Returns false when
// it could not be started.
bool launch(const std::filesystem::path& program, const std::vector<std::string>& args);

// The full path of a program found on $PATH, or empty.
std::filesystem::path findOnPath(const std::string& name);

} // namespace qm::process
