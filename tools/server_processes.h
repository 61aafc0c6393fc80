// Finding and ending the document servers of this user through /proc.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qm::tools {

inline constexpr const char* kServerProcessName = "quillmend-word";

// Live (not zombie) processes named kServerProcessName, owned by this user, whose
// QUILLMEND_INSTANCE equals this process's value (both unset counts as equal).
std::vector<pid_t> findServers();

// Sends SIGTERM, waits up to graceMs for them to go, then SIGKILL, and waits until all are gone.
void endServers(const std::vector<pid_t>& pids, int graceMs = 2000);

} // namespace qm::tools
