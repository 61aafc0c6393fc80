// Quick Repair: a copy of the source with its container header rewritten (and, when that is not
// enough, its container rebuilt), inserted whole.
#include "app/session_state.h"
#include "engine/cfb_rebuild.h"
#include "engine/doc_salvage.h"
#include "engine/doc_salvage_detail.h"
#include "engine/engine_helpers.h"
#include "engine/word_automation.h"
#include "platform/files.h"
#include "platform/temp.h"

#include <exception>

namespace qm {

namespace doc {

std::optional<std::size_t> findRepairPoint(Bytes source) {
    const auto last = findLast(source, 0, pattern::kAllocationRun);
    if (!last || *last == 0)
        return std::nullopt;
    return last;
}

bool writeContainerHeader(const std::filesystem::path& file) {
    return writeAt(file, 0, pattern::kContainerHeader);
}

} // namespace doc

int QuickRepairDoc() {
    auto& s = session();
    if (!files::isFile(s.currentSourcePath))
        return 0;

    // The container is repaired in a temporary copy: the user's file is never written.
    doc::PendingFile copy(temp::makeFile(".doc"));
    if (copy.path().empty() || !files::copyFile(s.currentSourcePath, copy.path()))
        return 0;
    files::makeWritable(copy.path());
    const auto repair = doc::repairContainerCopy(copy.path());
    if (!repair || *repair == doc::ContainerRepair::None)
        return 0;

    auto [app, version, docs, document] = StartNewDocument();
    auto selection = app.Selection();
    try {
        selection.InsertFile(copy.path().string());
    } catch (const std::exception&) {
        return 0; // the handles are released on return
    }

    doc::PendingFile preview(doc::newPreviewName(version));
    s.previewDocPath[1] = preview.path();
    try {
        document.SaveAs(word::plainWebProfile(version, preview.path().string(), word::webFormatFor(version)));
        preview.keep();
        document.Save();
        document.Saved(true);
        app.Quit();
    } catch (const std::exception&) {
        // Leftovers of an earlier Advance Repair go too.
        doc::discardWorkFiles();
    }
    return 1;
}

} // namespace qm
