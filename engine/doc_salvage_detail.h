// Helpers shared by the analysis-side .doc salvage methods.
#pragma once

#include "engine/word_automation.h"

#include <filesystem>
#include <functional>
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

// Methods 2 to 4 make their preview the same way: a new server instance and document, the
// method fills its range, then the document is saved into previewDocPath[slot] with the plain
// web profile, and the instance is quit and ended. Returns 1; server errors are raised.
int makePlainWebPreview(int slot, bool addToRecentFiles, const std::function<void(word::Range&)>& fill);

// Removes the picture documents and their folder (when pictureFolderUsed) and method 1's text
// document, and clears both from the session state.
void discardWorkFiles();
// Deletes the picture documents this analysis made and their folder; clears pictureFolder.
void removePictureFolder();

} // namespace qm::doc
