// Quick Repair on the save side: a copy of the source with its container header rewritten (and,
// when that is not enough, its container rebuilt).
#include "app/session_state.h"
#include "engine/cfb_rebuild.h"
#include "engine/save_detail.h"
#include "engine/save_engine.h"
#include "platform/files.h"
#include "platform/work_control.h"

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
        const auto size = files::fileSize(work);
        const auto repair = size && *size > 0 ? doc::repairContainerCopy(work) : std::nullopt;
        // A repair written in part is no repair. Without anything to repair the copy stays an
        // exact copy of the source (and counts as 0).
        if (!repair || !files::renameFile(work, target)) {
            files::deleteFile(work);
            return 0;
        }
        return *repair == doc::ContainerRepair::None ? 0 : 1;
    } catch (const StopRequested&) {
        files::deleteFile(work);
        throw;
    } catch (...) {
        files::deleteFile(work);
        return 0;
    }
}

} // namespace qm
