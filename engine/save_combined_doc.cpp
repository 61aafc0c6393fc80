// Candidate 1 of a .doc source: method 1's text document and every picture document inserted
// into a new document, saved under the candidate's name; then the picture documents go.
#include "app/session_state.h"
#include "engine/save_detail.h"
#include "engine/save_engine.h"
#include "platform/files.h"

namespace qm {

int SaveCombinedDoc(SaveVariant variant, int fibTextResult) {
    auto& s = session();
    const bool allFiles = variant == SaveVariant::AllFiles;
    if (save::takeFibTextFailure()) {
        // Method 1 failed on an error: candidate 1 is over; only its pictures are left to remove.
        save::removePictureDocs();
        s.saveTextDocPath.clear();
        return 0;
    }

    int made = 0;
    std::filesystem::path target; // set once the save step may write there
    try {
        auto app = word::Application::create();
        app.Visible(false);
        auto docs = app.Documents();
        auto document = docs.Add();
        const std::string version = app.Version();
        auto selection = app.Selection();

        // Save All writes no candidate 1 without method 1's text; Save Current Preview then
        // saves an empty document. Version "9.0" saves too, with the 11-argument form.
        if (!(allFiles && fibTextResult == 0)) {
            if (fibTextResult != 0) {
                if (files::isFile(s.saveTextDocPath))
                    selection.InsertFile(s.saveTextDocPath.string());
                if (s.savePictureFolderUsed)
                    for (const auto& picture : s.savePictureDocs)
                        save::tryCall([&] { selection.InsertFile(picture.string()); }); // a failed insert is skipped
            }

            auto folder = s.saveTargetPath.parent_path();
            if (folder.empty())
                folder = s.saveTextDocPath.parent_path();
            if (!folder.empty()) {
                files::createFolders(folder);
                s.saveTargetPath = save::candidateOutput(folder, s.saveFileName);
            }

            if (!folder.empty() && !save::isSource(s.saveTargetPath)) {
                // The text document has the candidate's own name (and is in the new document now).
                if (!save::isSource(s.saveTextDocPath))
                    files::deleteFile(s.saveTextDocPath);
                target = s.saveTargetPath;
                bool savedAs = false;
                bool whole = false; // the last write of target (SaveAs, then Save) completed
                try {
                    document.SaveAs(save::candidateProfile(version, target));
                    savedAs = true;
                    document.Save();
                    whole = true;
                    document.Saved(true);
                    app.Quit();
                    save::endServer();
                } catch (...) {
                    save::noteWriteFailure();
                    if (!allFiles) {
                        if (save::tryCall([&] { document.Save(); }) && savedAs)
                            whole = true;
                        save::tryCall([&] { document.Saved(true); });
                    }
                    save::tryCall([&] { app.Quit(); });
                    save::endServer();
                }
                if (whole)
                    made = 1;
                else
                    files::deleteFile(target); // no half-written candidate
            }
        }
    } catch (...) {
        // A failure outside the save step ends candidate 1: no text document stays in its place.
        if (!save::isSource(s.saveTextDocPath))
            files::deleteFile(s.saveTextDocPath);
        if (!target.empty() && made == 0)
            files::deleteFile(target);
        save::endServer();
        made = 0;
    }
    save::removePictureDocs();
    if (allFiles)
        save::endServer();
    s.saveTextDocPath.clear();
    return made;
}

} // namespace qm
