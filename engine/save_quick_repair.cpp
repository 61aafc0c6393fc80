// Quick Repair on the save side: a copy of the source with its container header rewritten (and,
// when that is not enough, its container rebuilt).
#include "app/session_state.h"
#include "engine/cfb_rebuild.h"
#include "engine/save_detail.h"
#include "engine/save_engine.h"
#include "platform/files.h"

namespace qm {

int QuickRepairCopy(const std::filesystem::path& target) {
    try {
        auto& s = session();
        if (!files::isFile(s.saveSourcePath))
            return 0;
        // A destination that is the source's own folder names the source itself: copying it onto
        // itself would lose it.
        if (save::isSource(target))
            return 0;
        if (!files::copyFile(s.saveSourcePath, target) || !files::isFile(target)) {
            files::deleteFile(target); // whatever a failed copy left
            return 0;
        }
        files::makeWritable(target); // the copy is ours, whatever the source's permissions
        const auto repair = doc::repairContainerCopy(target);
        if (!repair) {
            files::deleteFile(target); // a repair written in part is no repair
            return 0;
        }
        if (*repair == doc::ContainerRepair::None)
            return 0; // the copy stays an exact copy of the source
        return 1;
    } catch (...) {
        files::deleteFile(target);
        return 0;
    }
}

} // namespace qm
