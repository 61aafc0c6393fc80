// Where an entry is written. Entry names come from a damaged or hostile file, so the place
// is always inside the target folder.
#pragma once

#include <filesystem>
#include <string_view>

namespace qm {

// The target folder joined with the entry name made relative: the name ends at a zero byte,
// a drive prefix ("C:") is dropped, "/" and "\" both separate folders, and empty, "." and ".."
// components are dropped (a ".." is never followed). Empty when no component is left.
std::filesystem::path ConfinedEntryPath(const std::filesystem::path& folder, std::string_view name);

} // namespace qm
