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
    // The package's working folder goes whole: the media the picture page showed and any folder
    // the package named (customXml, word/glossary, ...). A link in its place is removed, never followed.
    std::string work = docxWorkFolder.string();
    while (work.size() > 1 && work.back() == '/')
        work.pop_back();
    if (!work.empty())
        files::removeTree(work);
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
