// Methods 2 and 3: text whose length is found next to the author or the list anchor.
#include "app/session_state.h"
#include "engine/doc_salvage.h"
#include "engine/doc_salvage_detail.h"
#include "engine/doc_text_loop.h"
#include "engine/engine_helpers.h"
#include "engine/word_automation.h"
#include "platform/files.h"

namespace qm {

namespace doc {

namespace {
constexpr std::size_t kAuthorCountBack = 20; // the count lies 20 bytes before the author anchor
constexpr std::size_t kListCountBack = 12;   // and 12 bytes before the run end after the list anchor
} // namespace

std::optional<std::uint32_t> findAnchoredCount(Bytes source, Anchor anchor) {
    const Pattern& p = anchor == Anchor::Author ? pattern::kAuthorAnchor : pattern::kListAnchor;
    const auto at = findFirst(source, 0, p);
    // Offset 0 stands for "not found", and an anchor must leave room for its count before it.
    if (!at || *at == 0)
        return std::nullopt;
    if (anchor == Anchor::Author) {
        if (*at <= kAuthorCountBack)
            return std::nullopt;
        return bin::u24(source, *at - kAuthorCountBack);
    }
    const auto runEnd = findFirst(source, *at, pattern::kRunEnd);
    if (!runEnd || *runEnd <= kListCountBack)
        return std::nullopt;
    return bin::u24(source, *runEnd - kListCountBack);
}

} // namespace doc

int SalvageAnchoredText(doc::Anchor anchor) {
    auto& s = session();
    const int slot = anchor == doc::Anchor::Author ? 2 : 3;
    if (!files::isFile(s.currentSourcePath))
        return 0;
    auto view = doc::SourceView::open(s.currentSourcePath);
    if (!view)
        return 0;
    const auto count = doc::findAnchoredCount(view->bytes(), anchor);
    if (!count)
        return 0;

    return doc::makePlainWebPreview(slot, /*addToRecentFiles=*/false, [&](word::Range& range) {
        doc::runTextLoop(view->bytes(), doc::kAnchoredTextStart, *count, doc::ChunkKeep::Whole, range);
        view.reset(); // close the source
    });
}

} // namespace qm
