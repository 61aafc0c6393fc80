// Method 4: every 512-byte block of the source that starts like text.
#include "app/session_state.h"
#include "engine/doc_salvage.h"
#include "engine/doc_salvage_detail.h"
#include "engine/doc_text_loop.h"
#include "engine/engine_helpers.h"
#include "engine/word_automation.h"
#include "platform/files.h"

namespace qm {

int SalvageRawBlocks() {
    auto& s = session();
    if (!files::isFile(s.currentSourcePath))
        return 0;
    auto view = doc::SourceView::open(s.currentSourcePath);
    if (!view)
        return 0;

    return doc::makePlainWebPreview(4, /*addToRecentFiles=*/true, [&](word::Range& range) {
        doc::insertRawBlocks(view->bytes(), range);
        view.reset(); // close the source
    });
}

} // namespace qm
