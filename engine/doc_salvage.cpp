// The .doc engine's entry point and the Preview 1 combination.
#include "engine/doc_salvage.h"

#include "app/session_state.h"
#include "engine/doc_salvage_detail.h"
#include "engine/engine_helpers.h"
#include "engine/word_automation.h"
#include "platform/files.h"

#include <exception>
#include <functional>

namespace qm {

namespace doc {
namespace {

// Runs one method. A failure it does not handle itself ends that method only: the document
// server it used is ended and the method counts as having made nothing.
int runMethod(const std::function<int()>& method) {
    try {
        return method();
    } catch (...) {
        try {
            RunStopvane();
        } catch (...) {
        }
        return 0;
    }
}

} // namespace
} // namespace doc

int MakeCombinedPreview() {
    auto& s = session();
    int made = 0;
    try {
        auto app = word::Application::create();
        app.Visible(false);
        auto docs = app.Documents();
        auto document = docs.Add();
        const std::string version = app.Version();
        auto selection = app.Selection();

        if (files::isFile(s.salvagedTextDocPath))
            selection.InsertFile(s.salvagedTextDocPath.string());
        if (s.pictureFolderUsed) {
            for (int i = 1; i <= s.pictureDocCount; ++i) {
                try {
                    selection.InsertFile((s.pictureFolder / ("Picture" + std::to_string(i) + ".Doc")).string());
                } catch (const std::exception&) {
                    // a picture document that cannot be read is left out
                }
            }
        }

        doc::PendingFile preview(doc::newPreviewName(version));
        s.previewDocPath[1] = preview.path();
        try {
            document.SaveAs(word::fullWebProfile(version, preview.path().string(), word::webFormatFor(version)));
            preview.keep();
            made = 1;
            document.Save();
            document.Saved(true);
            app.Quit();
        } catch (const std::exception&) {
            RunStopvane();
        }
    } catch (...) {
        // A failure outside the guarded steps ends this step; the clean-up still runs.
        made = 0;
    }
    doc::discardWorkFiles();
    RunStopvane();
    return made;
}

int SalvageDocFile() {
    try {
        auto& s = session();
        if (!s.advanceRepair) {
            doc::runMethod(QuickRepairDoc);
            return 1;
        }
        doc::runMethod(ExtractPictures);
        const int fibText = doc::runMethod(SalvageFibText);
        doc::runMethod([] { return SalvageAnchoredText(doc::Anchor::Author); });
        doc::runMethod([] { return SalvageAnchoredText(doc::Anchor::List); });
        doc::runMethod(SalvageRawBlocks);
        if (fibText == 1)
            doc::runMethod(MakeCombinedPreview);
        else
            doc::discardWorkFiles(); // nothing will use method 1's text or the pictures
    } catch (...) {
    }
    return 1;
}

} // namespace qm
