#include "engine/engine_helpers.h"

#include "app/run_environment.h"
#include "app/session_state.h"
#include "engine/word_binding.h"
#include "platform/files.h"
#include "platform/process.h"

namespace qm {

NewDocument StartNewDocument() {
    NewDocument d;
    d.app = word::Application::create();
    d.app.Visible(false);
    d.version = d.app.Version();
    d.docs = d.app.Documents();
    d.document = d.docs.Add();
    return d;
}

void RunStopvane() {
    // In a private scope only the servers this process started carry its instance value: when
    // all of them have ended there is nothing for the tool to end, and starting it is skipped.
    if (inPrivateServerScope() && word::liveServers() == 0)
        return;
    const auto tool = session().installFolder / "stopvane";
    if (!files::isFile(tool))
        return;
    process::runAndWait(tool, {""});
}

} // namespace qm
