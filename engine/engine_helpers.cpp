#include "engine/engine_helpers.h"

#include "app/session_state.h"
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
    const auto tool = session().installFolder / "stopvane";
    if (!files::isFile(tool))
        return;
    process::runAndWait(tool, {""});
}

} // namespace qm
