// What every front end sets up around a run and takes down after it: the installation folder,
// a private temporary folder, a private scope for the run's document servers, and the
// end-of-run clean-up.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace qm {

// The installation folder: the registered one ("FilePath") when it holds the companion tool,
// else the folder of this program (a build tree) or its ../lib/quillmend.
std::filesystem::path locateInstallFolder(const std::filesystem::path& registered);

// A folder made for this run that is TMPDIR while the object lives. The destructor restores
// TMPDIR and removes the folder with everything in it, so a run leaves nothing behind even
// when a salvage step keeps a folder it does not know about.
class PrivateTempFolder {
public:
    explicit PrivateTempFolder(const std::string& prefix = "quillmend-");
    ~PrivateTempFolder();
    PrivateTempFolder(const PrivateTempFolder&) = delete;
    PrivateTempFolder& operator=(const PrivateTempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; } // empty when none could be made

private:
    std::filesystem::path path_;
    std::optional<std::string> savedTmpDir_;
};

// Gives the document servers this process starts from now on an instance value of their own
// ($QUILLMEND_INSTANCE + "." + a unique suffix), so the companion tool, run from this process,
// checks and ends only them: runs at the same time never end each other's servers. The value
// before the call is restored by leaveServerScope(). Returns the new value.
std::string enterPrivateServerScope();
void leaveServerScope();
// True while the servers this process starts get the instance value of its own scope.
bool inPrivateServerScope();

// The end-of-run clean-up: the preview files, the unpacked package of the last .docx file.
void cleanUpRunFiles();

} // namespace qm
