// Candidate 4: every 512-byte block of the source that starts like text.
#include "app/session_state.h"
#include "engine/doc_text_loop.h"
#include "engine/save_detail.h"
#include "engine/save_engine.h"
#include "platform/files.h"

namespace qm {

int SaveRawBlocks(const std::string& fileName, const std::filesystem::path& candidateFolder) {
    const auto& s = session();
    if (!files::isFile(s.saveSourcePath))
        return 0;
    try {
        auto view = doc::SourceView::open(s.saveSourcePath);
        if (!view)
            return 0;
        return save::saveNewDocument(save::candidateOutput(candidateFolder, fileName), [&](word::Range& range) {
            doc::insertRawBlocks(view->bytes(), range);
            view.reset(); // close the source
        });
    } catch (...) {
        return 0; // nothing was written yet
    }
}

} // namespace qm
