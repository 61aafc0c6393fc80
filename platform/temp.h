// The temporary folder and unique temporary names.
//
// Names look like the ones the program has always made (temporary folder + a decimal number
// + extension) but are never reused: the file or folder is created atomically (O_EXCL, mkdir)
// before the name is handed out, so two names made within the same second differ.
#pragma once

#include <filesystem>
#include <string>

namespace qm::temp {

// std::filesystem::temp_directory_path() (honours TMPDIR) as a string with a trailing "/".
std::string folder();

// Creates an empty file named <dir>/<number><ext> that did not exist before and returns its path.
// dir defaults to folder(); mode is the new file's permission (less the umask). Returns an
// empty path when nothing could be created.
std::filesystem::path makeFile(const std::string& ext, const std::filesystem::path& dir = {}, unsigned mode = 0600);
// A name <dir>/<number><ext> that is free now, for a writer that makes the file itself (libzip
// writes a file of its own beside the name and renames it there). The name is not reserved:
// only the caller's own later names could take it first, and they are made the same way.
// Empty when the folder cannot be looked into.
std::filesystem::path freeName(const std::string& ext, const std::filesystem::path& dir = {});
// Creates a new folder named <dir>/<prefix><number> and returns its path (empty on failure).
std::filesystem::path makeFolder(const std::string& prefix = {}, const std::filesystem::path& dir = {});

} // namespace qm::temp
