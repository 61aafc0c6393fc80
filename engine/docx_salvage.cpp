#include "engine/docx_salvage.h"

#include "app/session_state.h"
#include "engine/docx_package.h"
#include "engine/docx_text_scanner.h"
#include "engine/engine_helpers.h"
#include "engine/gallery_page.h"
#include "platform/files.h"
#include "platform/temp.h"
#include "platform/work_control.h"


namespace qm {

namespace fs = std::filesystem;

namespace {

// Hands the scanner's findings to a document server range.
class RangeWriter : public docx::TextVisitor {
public:
    explicit RangeWriter(word::Range& range) : range_(range) {}
    void run(std::string_view utf8) override {
        range_.InsertAfter(std::string(utf8));
        range_.InsertAfter("");
    }
    void paragraphEnd() override { range_.InsertParagraphAfter(); }

private:
    word::Range& range_;
};

// Preview 1 is always a web archive saved with the 16-argument form, whatever the server's
// version: the profile helper gives that form for any version but "9.0".
const std::string kSixteenArgumentForm = "12.0";
constexpr std::int16_t kWebArchiveFormat = 9;

} // namespace

namespace docx {

bool InsertPartText(const fs::path& part, word::Range& range) {
    const auto file = files::MappedFile::open(part);
    if (!file)
        return false;
    RangeWriter writer(range);
    ScanPartText(file->bytes(), writer);
    range.Flush();
    return true;
}

} // namespace docx

bool SalvageDocxText(const fs::path& documentXmlPath) {
    if (!files::isFile(documentXmlPath))
        return false;
    auto& s = session();
    fs::path preview;
    bool saved = false;
    try {
        auto app = word::Application::create();
        app.Visible(false);
        auto doc = app.Documents().Add();
        auto range = doc.Content();
        app.Version(); // asked as always; Preview 1 does not depend on it
        docx::InsertPartText(documentXmlPath, range);
        preview = temp::makeFile(".mht");
        s.previewDocxPath[1] = preview;
        doc.SaveAs(word::fullWebProfile(kSixteenArgumentForm, preview.string(), kWebArchiveFormat));
        saved = true;
        try {
            doc.Save();
        } catch (const std::exception&) {
        }
        try {
            doc.Saved(true);
        } catch (const std::exception&) {
        }
        doc.Close();
        // The instance is released without Quit; the companion tool ends it below.
    } catch (...) {
        if (!saved && !preview.empty())
            files::deleteFile(preview); // an empty placeholder name, not a preview
        RunStopvane();
        throw;
    }
    RunStopvane();
    return true;
}

int SalvageDocxFile() {
    auto& s = session();
    s.previewDocxPath[1].clear();
    s.previewDocxPath[2].clear();
    const fs::path work = temp::makeFolder();
    s.docxWorkFolder = work;
    const fs::path archive = work.empty() ? fs::path{} : docx::CopyPackage(s.currentSourcePath, work);
    if (archive.empty()) {
        if (!work.empty()) {
            files::deleteFolderFiles(work);
            files::removeEmptyFolder(work);
        }
        return 0;
    }

    docx::CleanupPlan plan;
    plan.media = [](const std::string& media) { MakeGalleryPage(media); };
    plan.wordFolders = docx::analysisWordFolders();
    bool stopped = false;
    try {
        if (docx::FindLocalHeader(archive)) {
            docx::ExtractPackage(archive, work, &s.zipNotes[s.currentSourcePath.string()], &plan);
            SalvageDocxText(work / "word" / "document.xml");
        }
    } catch (const StopRequested&) {
        stopped = true;
    } catch (...) {
        // No Preview 1; the clean-up and Preview 2 still follow.
    }

    s.docxWorkFolder = docx::CleanWorkFolder(work, plan);
    if (stopped)
        throw StopRequested();
    return 1;
}

} // namespace qm
