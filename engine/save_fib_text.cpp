// Method 1 on the save side: the text the document header locates, saved as the candidate 1
// document, and the tail copy.
#include "app/session_state.h"
#include "engine/doc_text_loop.h"
#include "engine/save_detail.h"
#include "engine/save_engine.h"
#include "platform/files.h"

#include <optional>

namespace qm {

int SaveFibText(const std::string& fileName, const std::filesystem::path& candidateFolder) {
    auto& s = session();
    s.saveNextPictureNumber = 1;
    // A text document of an earlier file is never this file's: SaveCombinedDoc deletes the file
    // this names before it saves.
    s.saveTextDocPath.clear();
    save::setFibTextFailure(false);
    if (!files::isFile(s.saveSourcePath))
        return 0;
    const std::filesystem::path output = candidateFolder / fileName;
    if (save::isSource(output)) {
        save::setFibTextFailure(true); // candidate 1 would replace the source: it is not made
        return 0;
    }

    bool writing = false; // SaveAs was asked to write output
    try {
        std::optional<doc::SourceView> view;
        std::optional<doc::FibText> fib;
        {
            auto app = word::Application::create();
            app.Visible(false);
            auto docs = app.Documents();
            auto document = docs.Add();
            auto range = document.Content();
            const std::string version = app.Version();

            view = doc::SourceView::open(s.saveSourcePath);
            if (view)
                fib = doc::findFibText(view->bytes());
            if (!fib) {
                save::endServer(); // Word is not asked to quit
                return 0;
            }
            doc::insertFibText(view->bytes(), *fib, doc::ChunkKeep::Whole, range);
            range.Flush();

            s.saveTextDocPath = output;
            writing = true;
            document.SaveAs(word::documentProfile(version, output.string()));
            document.Save();
            document.Saved(true);
            document.Close();
        } // released without Quit: the companion tool ends the server
        save::endServer();
        return doc::tailCopy(view->bytes(), *fib, output);
    } catch (...) {
        // Candidate 1 ends here: no text document, no combined document.
        if (writing)
            save::noteWriteFailure();
        save::setFibTextFailure(true);
        save::abandonCandidate(writing ? output : std::filesystem::path{});
        s.saveTextDocPath.clear();
        return 0;
    }
}

} // namespace qm
