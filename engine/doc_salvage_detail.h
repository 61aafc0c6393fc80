// Helpers shared by the analysis-side .doc salvage methods.
#pragma once

#include <filesystem>
#include <string>

namespace qm::doc {

// A new, unique preview name in the temporary folder: ".html" for Word version "9.0", else
// ".mht". The file is created empty; empty path when nothing could be created.
std::filesystem::path newPreviewName(const std::string& version);

// A file the method made that is deleted again unless the method keeps it.
class PendingFile {
public:
    explicit PendingFile(std::filesystem::path path) : path_(std::move(path)) {}
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    const std::filesystem::path& path() const { return path_; }
    void keep() { kept_ = true; }

private:
    std::filesystem::path path_;
    bool kept_ = false;
};

// Removes the picture documents and their folder (when pictureFolderUsed) and method 1's text
// document, and clears both from the session state.
void discardWorkFiles();

} // namespace qm::doc
