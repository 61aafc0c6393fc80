#include "stages/preview_model.h"

#include "app/activity_log.h"
#include "app/session_state.h"
#include "platform/files.h"

namespace qm::stages {

namespace fs = std::filesystem;

void PreviewModel::init() {
    auto& s = session();
    skip_ = s.skipPreview;
    controls_ = PreviewControls{};
    page_.clear();
    analysisRequest_ = completedNotice_ = false;
    if (skip_) {
        controls_.browser = false;
        controls_.back = controls_.saveAll = true;
        controls_.menuSaveCurrent = false;
        completedNotice_ = true;
        fileNumber_ = 0;
    } else {
        controls_.menuPreview = {false, true, true, true, true};
        fileNumber_ = 1;
        resetControls();
        analysisRequest_ = true;
    }
    s.previewFileNumber = fileNumber_;
    s.previewReady = true;
}

int PreviewModel::fileCount() const { return session().fileCount; }

std::string PreviewModel::fileNumberText() const { return std::to_string(skip_ ? fileCount() : fileNumber_); }

std::string PreviewModel::currentPath() const { return skip_ ? std::string{} : session().sourceFileAt(fileNumber_ - 1); }

bool PreviewModel::takeAnalysisRequest() {
    const bool r = analysisRequest_;
    analysisRequest_ = false;
    if (r)
        session().previewReady = false;
    return r;
}

bool PreviewModel::takeCompletedNotice() {
    const bool r = completedNotice_;
    completedNotice_ = false;
    session().showCompletedNotice = false;
    return r;
}

void PreviewModel::resetControls() {
    controls_.preview = {};
    controls_.backDocument = controls_.nextDocument = false;
    controls_.back = controls_.saveAll = controls_.saveCurrent = false;
    page_ = placeholder(previewtext::kBlankPage);
    const int count = fileCount();
    if (count != 1) {
        controls_.backDocument = fileNumber_ != 1;
        controls_.nextDocument = fileNumber_ != count;
    }
}

fs::path PreviewModel::placeholder(const char* name) const { return session().installFolder / name; }

// The candidate of the current file's kind for preview k, or the placeholder. A candidate
// file of the other kind (left by an earlier file) is never shown.
fs::path PreviewModel::candidatePage(int k) const {
    const auto& s = session();
    if (s.inputIsDocx) {
        if (k <= 2 && files::isFile(s.previewDocxPath[k]))
            return s.previewDocxPath[k];
    } else if (files::isFile(s.previewDocPath[k])) {
        const auto size = files::fileSize(s.previewDocPath[k]);
        if (k != 4 || (size && *size <= kPreview4SizeLimit))
            return s.previewDocPath[k];
    }
    return placeholder(previewtext::kPlaceholder);
}

std::string PreviewModel::previewRow(int k) const {
    return std::to_string(fileNumber_) + std::string(21, ' ') + std::to_string(k) + std::string(12, ' ') +
           session().currentSourcePath.string() + "\r\n";
}

void PreviewModel::analysisDone() {
    auto& s = session();
    controls_.preview = {false, true, true, !s.inputIsDocx, !s.inputIsDocx};
    controls_.menuPreview = {false, true, true, !s.inputIsDocx, !s.inputIsDocx};
    controls_.saveAll = controls_.saveCurrent = controls_.back = true;
    if (skip_ || !s.advanceRepair)
        return;
    s.selectedPreview = 1;
    const fs::path page = candidatePage(1);
    if (page == placeholder(previewtext::kPlaceholder)) {
        page_ = placeholder(previewtext::kAutoPlaceholder);
        return;
    }
    page_ = page;
    appendLog("\r\n" + previewRow(1));
}

fs::path PreviewModel::showPreview(int k) {
    auto& s = session();
    if (k < 1 || k > 4 || !controls_.preview[k])
        return page_;
    if (s.analysisStopped) {
        page_ = placeholder(previewtext::kPlaceholder);
        return page_;
    }
    if (k != 1)
        appendLog("\r\n\r\n" + previewRow(k));
    s.selectedPreview = k;
    page_ = candidatePage(k);
    return page_;
}

bool PreviewModel::changeFile(int delta) {
    if (skip_ || (delta < 0 && !controls_.backDocument) || (delta > 0 && !controls_.nextDocument) || delta == 0)
        return false;
    fileNumber_ += delta < 0 ? -1 : 1;
    session().previewFileNumber = fileNumber_;
    resetControls();
    session().analysisStopped = false;
    return true;
}

void PreviewModel::back() {
    auto& s = session();
    s.clearPreviewFiles();
    s.analysisStopped = false;
    s.saveOption = 0;
    s.sourceFiles.clear();
    s.analysisFinished = false;
}

SaveCurrentCheck PreviewModel::checkSaveCurrent() const {
    const auto& s = session();
    const int k = s.selectedPreview;
    if (skip_ || k < 1 || k > 4)
        return SaveCurrentCheck::Nothing;
    bool found;
    if (k == 1)
        found = files::isFile(s.previewDocPath[1]) || files::isFile(s.previewDocxPath[1]);
    else if (k == 2 && s.inputIsDocx)
        found = files::isFile(s.previewDocxPath[2]); // the picture page of a .docx source
    else
        found = files::isFile(s.previewDocPath[k]);
    return found ? SaveCurrentCheck::PickFolder : SaveCurrentCheck::NotFound;
}

bool PreviewModel::saveFolderUsable(const fs::path& folder) { return !folder.empty() && files::isFolder(folder); }

bool PreviewModel::setSaveCurrentFolder(const fs::path& folder) {
    auto& s = session();
    s.currentSaveFolder = folder;
    if (!saveFolderUsable(folder))
        return false;
    s.saveCurrentOnly = true;
    return true;
}

bool PreviewModel::setSaveAllFolder(const fs::path& folder) {
    auto& s = session();
    s.saveAllFolder = folder;
    if (!saveFolderUsable(folder))
        return false;
    s.clearPreviewFiles();
    s.saveCurrentOnly = false;
    return true;
}

std::vector<fs::path> PreviewModel::allowedPages() const {
    const auto& s = session();
    std::vector<fs::path> pages{placeholder(previewtext::kBlankPage), placeholder(previewtext::kPlaceholder),
                                placeholder(previewtext::kAutoPlaceholder)};
    for (int k = 1; k <= 4; ++k)
        if (!s.previewDocPath[k].empty())
            pages.push_back(s.previewDocPath[k]);
    for (int k = 1; k <= 2; ++k)
        if (!s.previewDocxPath[k].empty())
            pages.push_back(s.previewDocxPath[k]);
    return pages;
}

} // namespace qm::stages
