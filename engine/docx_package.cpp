#include "engine/docx_package.h"

#include "app/session_state.h"
#include "engine/engine_helpers.h"
#include "platform/files.h"
#include "platform/work_control.h"
#include "zip/zip_archive.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>

namespace qm::docx {

namespace fs = std::filesystem;

fs::path CopyPackage(const fs::path& source, const fs::path& work) {
    const fs::path copy = work / "1.docx";
    const fs::path archive = work / "1.zip";
    if (!files::copyFile(source, copy))
        return {}; // errno tells why
    files::renameFile(copy, archive);
    if (!files::isFile(archive))
        return {};
    files::makeWritable(archive);
    return archive;
}

std::optional<std::uint64_t> FindLocalHeader(const fs::path& archive) {
    std::ifstream in(archive, std::ios::binary);
    if (!in)
        return std::nullopt;
    // Read in large windows; the last three bytes of a window start the next one so that a
    // signature across the border is seen.
    constexpr std::size_t kWindow = 1 << 20;
    std::vector<std::uint8_t> buf(kWindow + 3);
    std::size_t kept = 0;
    std::uint64_t windowStart = 0; // file offset of buf[0]
    for (;;) {
        passWorkGate();
        in.read(reinterpret_cast<char*>(buf.data() + kept), static_cast<std::streamsize>(kWindow));
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        const std::size_t have = kept + got;
        const std::span<const std::uint8_t> bytes(buf.data(), have);
        if (const std::size_t i = CFileHeader::FindSignature(bytes); i != CFileHeader::npos)
            return windowStart + i;
        if (got == 0 || !in)
            return std::nullopt;
        kept = have < 3 ? have : 3;
        std::memmove(buf.data(), buf.data() + have - kept, kept);
        windowStart += have - kept;
    }
}

bool DeletedUnread(const fs::path& relative, const CleanupPlan& plan) {
    std::vector<std::string> parts;
    for (const auto& part : relative)
        parts.push_back(part.string());
    switch (parts.size()) {
    case 1:
        return true;
    case 2:
        return parts[0] == "_rels" || parts[0] == "docProps" || (parts[0] == "word" && parts[1] != "document.xml");
    case 3:
        return parts[0] == "word" && parts[1] != "media" &&
               std::find(plan.wordFolders.begin(), plan.wordFolders.end(), parts[1]) != plan.wordFolders.end();
    default:
        return false;
    }
}

std::size_t ExtractPackage(const fs::path& archive, const fs::path& work, std::vector<std::string>* notes,
                           const CleanupPlan* plan) {
    CZipArchive zip;
    if (plan)
        zip.SetDiscarded([plan](const fs::path& relative) { return DeletedUnread(relative, *plan); });
    std::size_t count = 0;
    try {
        count = zip.Open(archive, CZipArchive::zipOpen, 1, 0);
    } catch (const std::exception&) {
        // The scan stopped at a header it could not read; the entries before it still count.
        count = zip.GetCount();
    }
    session().zipEntryCount = static_cast<int>(std::min<std::size_t>(count, INT_MAX));
    for (std::size_t i = 0; i < count; ++i) {
        try {
            passWorkGate();
            zip.ExtractEntry(i, work, CZipArchive::kDefaultOutputBuffer);
        } catch (const StopRequested&) {
            break; // the caller meets the stop at its next gate, after its clean-up is due
        } catch (const std::exception&) {
            // This entry is lost; the next one may still be whole.
        }
    }
    if (notes)
        for (const auto& note : zip.GetNotes())
            if (std::find(notes->begin(), notes->end(), note) == notes->end())
                notes->push_back(note);
    return count;
}

std::vector<std::string> analysisWordFolders() { return {"_rels", "theme", "charts", "diagrams", "embeddings"}; }

void EmptyAndRemoveFolder(const fs::path& folder) {
    if (!files::isFolder(folder))
        return;
    files::deleteFolderFiles(folder);
    files::removeEmptyFolder(folder);
}

std::string CleanWorkFolder(const fs::path& work, const CleanupPlan& plan) {
    std::string w = work.string();
    if (w.empty() || w.back() != '/')
        w += '/';
    if (!files::isFolder(work))
        return w;
    files::deleteFolderFiles(w);
    EmptyAndRemoveFolder(w + "_rels");
    EmptyAndRemoveFolder(w + "docProps");
    const std::string word = w + "word";
    if (files::isFolder(word)) {
        files::deleteFolderFiles(word);
        const std::string media = w + "/word/media/";
        if (files::isFolder(media) && plan.media)
            plan.media(media);
        for (const auto& name : plan.wordFolders)
            EmptyAndRemoveFolder(word + "/" + name);
        files::removeEmptyFolder(word);
    }
    files::removeEmptyFolder(work);
    return w;
}

} // namespace qm::docx
