#include "app/session_state.h"

#include "platform/files.h"
#include "platform/registry.h"

#include <cstdlib>

#ifndef QM_DATA_ROOT
#define QM_DATA_ROOT "/usr/local/share"
#endif

namespace qm {

SessionState& session() {
    static SessionState state;
    return state;
}

void SessionState::loadIdentity() {
    installFolder = registry::readValue(registryKey, "FilePath");
    const char* windir = std::getenv("QUILLMEND_WINDIR");
    const Path dataRoot = windir && *windir ? Path(windir) : Path(QM_DATA_ROOT);
    skinFolder = dataRoot / "Tessary for Word";
}

namespace {
void deleteIfPresent(const Path& p) {
    if (!p.empty() && files::exists(p))
        files::deleteFile(p);
}
} // namespace

void SessionState::clearPreviewFiles() {
    deleteIfPresent(previewDocPath[2]);
    deleteIfPresent(previewDocPath[3]);
    deleteIfPresent(previewDocPath[4]);
    deleteIfPresent(previewDocPath[1]);
    deleteIfPresent(previewDocxPath[1]);
    deleteIfPresent(previewDocxPath[2]);
    files::removeEmptyFolder(docxPreviewFolder);
    if (docxWorkFolder.empty())
        return;
    const Path media = docxWorkFolder / "word" / "media";
    if (files::isFolder(media)) {
        for (const auto& name : files::listFolder(media))
            files::deleteFile(media / name);
        files::removeEmptyFolder(media);
    }
}

std::string SessionState::sourceFileAt(int n) const {
    if (n < 0)
        return {};
    auto it = sourceFiles.begin();
    for (int i = 0; i < n && it != sourceFiles.end(); ++i)
        ++it;
    return it == sourceFiles.end() ? std::string{} : *it;
}

} // namespace qm
