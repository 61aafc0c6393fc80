// Helpers shared by the analysis-side .doc salvage methods: preview names, files a method
// keeps only when it succeeds, the common plain-web preview and the clean-up of work files.
#include "engine/doc_salvage_detail.h"

#include "app/session_state.h"
#include "engine/engine_helpers.h"
#include "engine/word_automation.h"
#include "platform/files.h"
#include "platform/temp.h"

#include <functional>

namespace qm::doc {

std::filesystem::path newPreviewName(const std::string& version) {
    return temp::makeFile(word::webExtensionFor(version));
}

PendingFile::~PendingFile() {
    if (!kept_ && !path_.empty())
        files::deleteFile(path_);
}

int makePlainWebPreview(int slot, bool addToRecentFiles, const std::function<void(word::Range&)>& fill) {
    auto& s = session();
    auto [app, version, docs, document] = StartNewDocument();
    auto range = document.Content();
    fill(range);
    range.Flush();

    PendingFile preview(newPreviewName(version));
    s.previewDocPath[slot] = preview.path();
    document.SaveAs(
        word::plainWebProfile(version, preview.path().string(), word::webFormatFor(version), addToRecentFiles));
    preview.keep();
    document.Save();
    document.Saved(true);
    document.Close();
    app.Quit();
    range.release();
    document.release();
    docs.release();
    app.release();
    RunStopvane();
    return 1;
}

void removePictureFolder() {
    auto& s = session();
    // Only the documents this analysis made, in the folder it made; a folder that is not a real
    // folder (a link put in its place) is left alone.
    if (!s.pictureFolder.empty() && files::isRealFolder(s.pictureFolder)) {
        for (int i = 1; i <= s.pictureDocCount; ++i)
            files::deleteFile(s.pictureFolder / ("Picture" + std::to_string(i) + ".Doc"));
        files::removeEmptyFolder(s.pictureFolder);
    }
    s.pictureFolder.clear();
    s.pictureFolderUsed = false;
}

void discardWorkFiles() {
    auto& s = session();
    removePictureFolder();
    if (!s.salvagedTextDocPath.empty())
        files::deleteFile(s.salvagedTextDocPath);
    s.salvagedTextDocPath.clear();
}

} // namespace qm::doc
