// Candidates 2 and 3: text whose length is found next to the author or the list anchor.
#include "app/session_state.h"
#include "engine/doc_text_loop.h"
#include "engine/save_detail.h"
#include "engine/save_engine.h"
#include "platform/files.h"

#include <optional>

namespace qm {

int SaveAnchoredText(doc::Anchor anchor, const std::filesystem::path& candidateFolder, const std::string& fileName) {
    const auto& s = session();
    if (!files::isFile(s.saveSourcePath))
        return 0;
    if (anchor == doc::Anchor::Author && !files::isFolder(candidateFolder))
        return 0;
    try {
        auto view = doc::SourceView::open(s.saveSourcePath);
        if (!view)
            return 0;
        const auto count = doc::findAnchoredCount(view->bytes(), anchor);
        if (!count)
            return 0;
        // The save side keeps k characters per chunk for the author anchor and k - 1 for the
        // list anchor (the previews keep k for both).
        const auto keep = anchor == doc::Anchor::Author ? doc::ChunkKeep::Whole : doc::ChunkKeep::AllButLast;
        return save::saveNewDocument(save::candidateOutput(candidateFolder, fileName), [&](word::Range& range) {
            doc::runTextLoop(view->bytes(), doc::kAnchoredTextStart, *count, keep, range);
            view.reset(); // close the source
        });
    } catch (...) {
        return 0; // nothing was written yet
    }
}

} // namespace qm
