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

    auto app = word::Application::create();
    app.Visible(false);
    const std::string version = app.Version();
    auto docs = app.Documents();
    auto document = docs.Add();
    auto range = document.Content();

    doc::insertRawBlocks(view->bytes(), range);
    view.reset(); // close the source

    doc::PendingFile preview(doc::newPreviewName(version));
    s.previewDocPath[4] = preview.path();
    document.SaveAs(word::plainWebProfile(version, preview.path().string(), word::webFormatFor(version),
                                          /*addToRecentFiles=*/true));
    preview.keep();
    document.Save();
    document.Saved(true);
    document.Close();
    app.Quit();
    range.release();
    document.release();
    docs.release();
    app.release();
    RunStopvane();
    return 1;
}

} // namespace qm
