// The save engine's candidates of one source as Save All runs them, and independent readers for
// them: LibreOffice (one batch conversion to text) and antiword. The callers skip when a tool is
// not installed.
#pragma once

#include "app/session_state.h"
#include "engine/save_engine.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace qm::savetest {

// What Save All wrote for one source: the path of candidate N (empty when it was not written)
// and the result of method 1.
struct SavedCandidates {
    std::array<fs::path, 5> path; // [1..4]
    int fibText = 0;
    std::vector<fs::path> written() const {
        std::vector<fs::path> out;
        for (const auto& p : path)
            if (!p.empty())
                out.push_back(p);
        return out;
    }
};

// Saves every candidate of session().saveSourcePath into destination/"Preview N" in Save All's
// order: for a .doc the picture documents, method 1 and the combined document, then methods 2,
// 3 and 4; for a package its one candidate.
inline SavedCandidates saveAllCandidates(const fs::path& destination, bool package) {
    auto& s = session();
    s.saveFileName = s.saveSourcePath.filename().string();
    SavedCandidates saved;
    for (int n = 1; n <= (package ? 1 : 4); ++n) {
        const fs::path folder = destination / ("Preview " + std::to_string(n));
        fs::create_directories(folder);
        s.saveTargetPath = folder / s.saveFileName;
        if (package) {
            SaveDocxCandidate(folder);
        } else if (n == 1) {
            ExtractPicturesTo(folder);
            saved.fibText = SaveFibText(s.saveFileName, folder);
            SaveCombinedDoc(SaveVariant::AllFiles, saved.fibText);
        } else if (n == 4) {
            SaveRawBlocks(s.saveFileName, folder);
        } else {
            SaveAnchoredText(n == 2 ? doc::Anchor::Author : doc::Anchor::List, folder, s.saveFileName);
        }
        if (fs::is_regular_file(s.saveTargetPath))
            saved.path[n] = s.saveTargetPath;
    }
    return saved;
}

inline bool have(const char* tool) { return test::haveTool(tool); }

// Runs a shell command; its standard output and error, and its status.
inline std::string run(const std::string& cmd, int& status) { return test::runCommand(cmd + " 2>&1", status); }

inline std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// Converts every document to text with one LibreOffice run (private profile under work). The
// documents are staged under distinct names first (outputs of different candidates share their
// name). Returns each document's text file, in order (missing when LibreOffice could not open
// the document), and the run's output in log.
inline std::vector<fs::path> libreOfficeText(const std::vector<fs::path>& documents, const fs::path& work,
                                             std::string& log) {
    const fs::path staging = work / "staging", out = work / "txt";
    fs::create_directories(staging);
    std::vector<fs::path> texts;
    // One soffice run converts no more than a few hundred files and then ends with status 0, so
    // the documents go in batches.
    constexpr std::size_t kBatch = 100;
    for (std::size_t first = 0; first < documents.size(); first += kBatch) {
        std::string inputs;
        for (std::size_t i = first; i < std::min(documents.size(), first + kBatch); ++i) {
            const fs::path staged = staging / ("d" + std::to_string(i) + documents[i].extension().string());
            fs::copy_file(documents[i], staged, fs::copy_options::overwrite_existing);
            inputs += " " + quoted(staged);
            texts.push_back(out / ("d" + std::to_string(i) + ".txt"));
        }
        int status = 0;
        log += run("cd " + quoted(staging) + " && timeout 600 soffice -env:UserInstallation=file://" +
                       (work / "lo-profile").string() + " --headless --convert-to txt:Text --outdir " + quoted(out) +
                       inputs,
                   status);
        if (status != 0)
            log += "\n(exit status " + std::to_string(status) + ")";
    }
    return texts;
}

// The text antiword prints for a .doc (whole paragraphs on one line), and its status.
inline std::string antiwordText(const fs::path& doc, int& status) {
    return run("antiword -w 0 -m UTF-8.txt " + quoted(doc), status);
}

} // namespace qm::savetest
