#include "engine/engine_helpers.h"

#include "app/session_state.h"
#include "platform/files.h"
#include "platform/process.h"

namespace qm {

void RunStopvane() {
    const auto tool = session().installFolder / "stopvane";
    if (!files::isFile(tool))
        return;
    process::runAndWait(tool, {""});
}

} // namespace qm
