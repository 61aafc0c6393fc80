// Candidate 1 of a .docx source: the text of the unpacked package saved as a Word document, and
// copies of its media files beside it.
#include "app/session_state.h"
#include "engine/docx_package.h"
#include "engine/docx_salvage.h"
#include "engine/save_detail.h"
#include "engine/save_engine.h"
#include "platform/files.h"
#include "platform/temp.h"
#include "platform/work_control.h"

#include <cerrno>
#include <cstring>

namespace qm {

namespace fs = std::filesystem;

int CopyMediaFiles(const std::string& prefix, const fs::path& mediaFolder) {
    int copied = 0;
    try {
        for (const auto& name : files::listFolder(mediaFolder)) {
            passWorkGate();
            const fs::path from = mediaFolder / name;
            if (!files::isFile(from))
                continue; // folders are not media files
            const fs::path to = prefix + "_" + name;
            if (save::isSource(to))
                continue;
            if (files::copyFile(from, to)) {
                ++copied;
                session().saveMediaCopies.push_back(to);
            } else {
                save::noteWriteFailure("cannot write " + to.string() + ": " + std::strerror(errno));
            }
        }
    } catch (...) {
    }
    return copied;
}

int SaveDocxText(const fs::path& documentXmlPath) {
    if (!files::isFile(documentXmlPath))
        return 0;
    files::makeWritable(documentXmlPath); // an extracted part, ours: its entry may have said read-only
    auto& s = session();
    fs::path output;
    bool writing = false; // SaveAs was asked to write output
    try {
        {
            auto app = word::Application::create();
            app.Visible(false);
            auto docs = app.Documents();
            auto document = docs.Add();
            auto range = document.Content();
            const std::string version = app.Version();

            docx::InsertPartText(documentXmlPath, range);

            // Only the version that writes packages keeps the name; the others write ".doc".
            if (version != "12.0")
                s.saveTargetPath = save::withExtension(s.saveTargetPath, ".doc");
            output = s.saveTargetPath;
            if (save::isSource(output)) {
                save::endServer();
                return 0;
            }
            writing = true;
            document.SaveAs(save::fullProfileWithoutFormat(output));
            save::tryCall([&] { document.Save(); });
            save::tryCall([&] { document.Saved(true); });
            document.Close();
        } // released without Quit: the companion tool ends the server
        save::endServer();
        return 1;
    } catch (...) {
        if (writing)
            save::noteWriteFailure();
        save::abandonCandidate(writing ? output : fs::path{});
        return 0;
    }
}

int SaveDocxCandidate(const fs::path& candidateFolder) {
    auto& s = session();
    s.saveMediaCopies.clear();
    const fs::path work = temp::makeFolder();
    if (work.empty()) {
        save::noteWriteFailure("cannot create a folder in " + temp::folder() + ": " + std::strerror(errno));
        return 0;
    }
    int made = 0;
    try {
        std::string base = s.saveFileName;
        if (const auto dot = base.rfind('.'); dot != std::string::npos)
            base.resize(dot);
        docx::CleanupPlan plan;
        plan.media = [&](const std::string& media) {
            CopyMediaFiles((candidateFolder / base).string(), media);
            docx::EmptyAndRemoveFolder(media);
        };
        plan.wordFolders = {"_rels", "theme"};

        const fs::path archive = docx::CopyPackage(s.saveSourcePath, work);
        if (archive.empty())
            save::noteWriteFailure("cannot copy the package into " + work.string() + ": " + std::strerror(errno));
        if (!archive.empty() && docx::FindLocalHeader(archive)) {
            docx::ExtractPackage(archive, work, &s.zipNotes[s.saveSourcePath.string()], &plan);
            made = SaveDocxText(work / "word" / "document.xml");
        }
        docx::CleanWorkFolder(work, plan);
    } catch (...) {
        // A file or reader error ends the candidate; its document, if any, is complete.
    }
    // Folders the clean-up does not name (customXml and the like) would keep the working folder
    // alive: nothing of it is needed any more.
    files::removeTree(work);
    // Media copies are salvage too: a candidate whose document part was lost still wrote them.
    return made != 0 || !s.saveMediaCopies.empty() ? 1 : 0;
}

} // namespace qm
