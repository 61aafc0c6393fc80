// Quick Repair on the save side: a copy of the source with its container header rewritten.
#include "app/session_state.h"
#include "engine/save_detail.h"
#include "engine/save_engine.h"
#include "platform/files.h"

namespace qm {

int QuickRepairCopy(const std::filesystem::path& target) {
    std::filesystem::path work; // the copy, beside the target until it is complete
    try {
        auto& s = session();
        if (!files::isFile(s.saveSourcePath))
            return 0;
        // A destination that is the source's own folder names the source itself: copying it onto
        // itself would lose it.
        if (save::isSource(target) || files::isFolder(target))
            return 0;
        // Copied and repaired under a name of its own, then renamed over the target: a copy that
        // fails leaves an existing output as it was.
        work = files::makeSiblingFile(target);
        if (work.empty() || !files::copyFile(s.saveSourcePath, work) || !files::isFile(work)) {
            files::deleteFile(work);
            return 0;
        }
        files::makeWritable(work); // the copy is ours, whatever the source's permissions
        bool repair = false;
        {
            const auto copy = doc::SourceView::open(work);
            if (!copy || copy->size() == 0) {
                files::deleteFile(work);
                return 0;
            }
            repair = doc::findRepairPoint(copy->bytes()).has_value();
        }
        // Without a repair point the copy stays an exact copy of the source (and counts as 0);
        // a header written in part is no repair.
        if (repair && !doc::writeContainerHeader(work)) {
            files::deleteFile(work);
            return 0;
        }
        if (!files::renameFile(work, target)) {
            files::deleteFile(work);
            return 0;
        }
        return repair ? 1 : 0;
    } catch (...) {
        files::deleteFile(work);
        return 0;
    }
}

} // namespace qm
