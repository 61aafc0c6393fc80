// Helpers shared by the save engine's operations: output names, save profiles, and what a
// failed candidate leaves behind.
#include "app/session_state.h"
#include "engine/candidate_assessment.h"
#include "engine/engine_helpers.h"
#include "engine/save_detail.h"
#include "docserver/formats.h"
#include "engine/save_engine.h"
#include "platform/files.h"

#include <cctype>
#include <fstream>
#include <vector>

#include <utility>

namespace qm::save {

namespace fs = std::filesystem;

namespace {
bool fibTextFailed = false; // the save engine runs on one worker thread only
std::string writeFailure;    // why the last candidate's output could not be written
} // namespace

fs::path withExtension(const fs::path& path, const std::string& ext) {
    std::string name = path.filename().string();
    const auto dot = name.rfind('.');
    if (dot != std::string::npos)
        name.resize(dot);
    return path.parent_path() / (name + ext);
}

fs::path candidateOutput(const fs::path& folder, const std::string& fileName) {
    const fs::path output = folder / fileName;
    return session().saveOption == 1 ? withExtension(output, ".docx") : output;
}

std::vector<word::Value> candidateProfile(const std::string& version, const fs::path& output) {
    return word::documentProfile(session().saveOption == 1 ? kSixteenArgumentForm : version, output.string());
}

std::vector<word::Value> fullProfileWithoutFormat(const fs::path& output) {
    auto args = word::fullWebProfile(kSixteenArgumentForm, output.string(), 0);
    args[1] = word::kOmitted; // the format follows the file name
    return args;
}

bool isSource(const fs::path& path) {
    const fs::path& source = session().saveSourcePath;
    if (path.empty() || source.empty())
        return false;
    std::error_code ec;
    return fs::equivalent(path, source, ec) || path.lexically_normal() == source.lexically_normal();
}

void endServer() noexcept {
    try {
        RunStopvane();
    } catch (...) {
    }
}

void abandonCandidate(const fs::path& output) {
    if (!output.empty() && !isSource(output))
        files::deleteFile(output);
    endServer();
}

int saveNewDocument(const fs::path& output, const std::function<void(word::Range&)>& fill) {
    if (isSource(output))
        return 0;
    bool writing = false; // SaveAs was asked to write output
    try {
        {
            auto [app, version, docs, document] = StartNewDocument();
            auto range = document.Content();
            fill(range);
            range.Flush();
            session().saveTargetPath = output;
            writing = true;
            document.SaveAs(candidateProfile(version, output));
            document.Save();
            document.Saved(true);
            document.Close();
            app.Quit();
        } // handles released
        endServer();
        return 1;
    } catch (...) {
        if (writing)
            noteWriteFailure();
        abandonCandidate(writing ? output : fs::path{});
        return 0;
    }
}

void noteWriteFailure() noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        noteWriteFailure(e.what());
    } catch (...) {
    }
}

void noteWriteFailure(const std::string& what) noexcept {
    try {
        writeFailure = what;
    } catch (...) {
    }
}

bool tryCall(const std::function<void()>& call) noexcept {
    try {
        call();
        return true;
    } catch (...) {
        return false;
    }
}

void removePictureDocs() noexcept {
    auto& s = session();
    try {
        if (s.savePictureFolderUsed) {
            while (!s.savePictureDocs.empty()) {
                files::deleteFile(s.savePictureDocs.front());
                s.savePictureDocs.pop_front();
            }
            if (files::isRealFolder(s.savePictureFolder))
                files::removeEmptyFolder(s.savePictureFolder);
        }
    } catch (...) {
    }
    s.savePictureFolder.clear();
    s.savePictureDocs.clear();
    s.savePictureFolderUsed = false;
}

bool takeFibTextFailure() noexcept { return std::exchange(fibTextFailed, false); }
void setFibTextFailure(bool failed) noexcept { fibTextFailed = failed; }

} // namespace qm::save

namespace qm {

std::string takeWriteFailure() { return std::exchange(save::writeFailure, {}); }

bool OutputHoldsContent(const std::filesystem::path& output) {
    try {
        const docserver::Document doc = docserver::readDocument(output);
        assess::noteReadBack(output, doc); // the command line's assessment reads it only once
        return doc.pictureCount() > 0 || doc.hasText();
    } catch (...) {
        // Unreadable here is not worthless (a repaired copy may still open in a word processor),
        // unless the file holds nothing but zero bytes.
        std::ifstream in(output, std::ios::binary);
        std::vector<char> buf(1 << 16);
        while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0)
            for (std::streamsize i = 0; i < in.gcount(); ++i)
                if (buf[static_cast<size_t>(i)] != 0)
                    return true;
        return false;
    }
}

} // namespace qm
