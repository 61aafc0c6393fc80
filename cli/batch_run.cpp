#include "cli/batch_run.h"

#include "app/activity_log.h"
#include "app/session_state.h"
#include "engine/engine_helpers.h"
#include "engine/gallery_page.h"
#include "platform/files.h"
#include "platform/temp.h"
#include "stages/analysis_worker.h"
#include "stages/repair_start.h"
#include "stages/saving_worker.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>

namespace qm::cli {

namespace fs = std::filesystem;
using namespace qm::stages;

namespace {

struct FileReport {
    std::string source;
    std::vector<std::pair<int, std::string>> written; // (candidate, path)
    std::vector<std::string> kept;
    std::vector<std::string> errors;
    std::string previewsFolder;
};

std::string jsonEscape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

// What the ZIP reader cut or repaired in a source package (empty for other files).
const std::vector<std::string>& zipNotesOf(const std::string& source) {
    static const std::vector<std::string> none;
    const auto& all = session().zipNotes;
    const auto it = all.find(fs::path(source).string());
    return it == all.end() ? none : it->second;
}

// Shows the flows' progress on standard error and collects what each file gave.
class ConsoleUi : public StageUi {
public:
    ConsoleUi(Console& console, std::vector<FileReport>& reports) : console_(console), reports_(reports) {}

    bool closeWord = false;

    void showText(Field field, const std::string& text) override {
        if (field == Field::FileTotal)
            total_ = text;
        if (field == Field::FileNumber) {
            current_ = std::atoi(text.c_str());
            if (const FileReport* r = report(current_))
                console_.err << "[" << text << "/" << total_ << "] " << r->source << "\n";
        }
    }
    void setOverallProgress(int) override {}
    void setProgressTimer(bool, int) override {}
    bool askYesNo(const std::string& question) override {
        // Only the Word check asks here: answered by --close-word.
        console_.err << "quillmend-cli: a document server is already running"
                     << (closeWord ? "; ending it (--close-word)\n" : "\n");
        (void)question;
        return closeWord;
    }
    OverwriteAnswer askOverwrite(const fs::path& existing) override {
        if (!console_.interactive)
            return kNo;
        for (;;) {
            console_.err << "'" << existing.string()
                         << "' exists. Overwrite? [y]es, [n]o, [a]ll (yes to all), [N]one (no to all): " << std::flush;
            std::string line;
            if (!std::getline(console_.in, line))
                return kNo;
            if (line == "y" || line == "Y" || line == "yes")
                return kYes;
            if (line == "n" || line == "no")
                return kNo;
            if (line == "a" || line == "A" || line == "all")
                return kYesToAll;
            if (line == "N" || line == "none")
                return kNoToAll;
        }
    }
    bool mayReplaceQuickRepairCopy(const fs::path& existing) override {
        auto& s = session();
        if (s.overwriteAnswer == kYesToAll || s.overwriteAnswer == kNoToAll)
            return s.overwriteAnswer == kYesToAll;
        const OverwriteAnswer answer = askOverwrite(existing); // kNo without a terminal
        if (answer != kNoAnswer)
            s.overwriteAnswer = answer;
        return answer == kYes || answer == kYesToAll;
    }
    void notice(const std::string& text) override { console_.err << "quillmend-cli: " << text << "\n"; }
    void candidateDone(int fileNumber, int candidate, const fs::path& output, bool written) override {
        FileReport* r = report(fileNumber);
        if (!r)
            return;
        const std::string label = candidate == 0 ? "quick repair copy" : "candidate " + std::to_string(candidate);
        if (written) {
            r->written.emplace_back(candidate, output.string());
            console_.err << "  " << label << ": " << output.string() << "\n";
        } else {
            console_.err << "  " << label << ": nothing recovered\n";
        }
    }
    void candidateKept(int fileNumber, int candidate, const fs::path& output) override {
        if (FileReport* r = report(fileNumber))
            r->kept.push_back(output.string());
        console_.err << "  " << (candidate == 0 ? "quick repair copy" : "candidate " + std::to_string(candidate))
                     << ": kept existing " << output.string() << "\n";
    }
    void failed(int fileNumber, const std::string& source, const std::string& what) override {
        if (FileReport* r = report(fileNumber))
            r->errors.push_back(what);
        console_.err << "quillmend-cli: " << source << ": " << what << "\n";
    }

private:
    FileReport* report(int fileNumber) {
        return fileNumber >= 1 && fileNumber <= static_cast<int>(reports_.size()) ? &reports_[fileNumber - 1] : nullptr;
    }
    Console& console_;
    std::vector<FileReport>& reports_;
    std::string total_;
    int current_ = 0;
};

// The installation folder: "FilePath" of the registry store when it holds the companion
// tool, else the folder of this program (a build tree) or its ../lib/quillmend.
fs::path locateInstallFolder(const fs::path& registered) {
    std::vector<fs::path> candidates{registered};
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        candidates.push_back(self.parent_path());
        candidates.push_back(self.parent_path().parent_path() / "lib" / "quillmend");
    }
    for (const auto& c : candidates)
        if (!c.empty() && files::isFile(c / "stopvane"))
            return c;
    return registered;
}

bool readable(const fs::path& p, std::string& why) {
    if (!files::exists(p)) {
        why = "No such file";
        return false;
    }
    if (files::isFolder(p)) {
        why = "Is a folder";
        return false;
    }
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        why = "Permission denied";
        return false;
    }
    return true;
}

// Copies the current file's previews into folder; a gallery page gets its pictures beside it
// and is rewritten to point at the copies.
void copyPreviews(const fs::path& folder) {
    auto& s = session();
    files::createFolders(folder);
    auto copyWithFiles = [&](const fs::path& from, const std::string& stem) {
        if (from.empty() || !files::isFile(from))
            return;
        const fs::path to = folder / (stem + from.extension().string());
        files::copyFile(from, to);
        const fs::path filesDir = from.parent_path() / (from.stem().string() + "_files");
        if (files::isFolder(filesDir)) {
            std::error_code ec;
            fs::copy(filesDir, folder / (from.stem().string() + "_files"), fs::copy_options::recursive |
                                                                             fs::copy_options::overwrite_existing, ec);
        }
    };
    if (!s.inputIsDocx) {
        for (int n = 1; n <= 4; ++n)
            copyWithFiles(s.previewDocPath[n], "Preview " + std::to_string(n));
        return;
    }
    copyWithFiles(s.previewDocxPath[1], "Preview 1");
    const fs::path gallery = s.previewDocxPath[2];
    if (gallery.empty() || !files::isFile(gallery))
        return;
    const fs::path media = folder / "media";
    files::createFolders(media);
    std::string page;
    const fs::path mediaFolder = s.docxWorkFolder / "word" / "media";
    for (const auto& name : files::listFolder(mediaFolder)) {
        if (!files::isFile(mediaFolder / name))
            continue;
        files::copyFile(mediaFolder / name, media / name);
        page += "<img src=\"media/" + GalleryUrlPath(name) + "\"><br>\n"; // a name may hold markup
    }
    files::writeFileAtomic(folder / "Preview 2.html", page);
}

} // namespace

int runBatch(const Options& options, Console& console) {
    // Inputs and the output folder first: bad usage is reported before any work starts.
    std::vector<std::string> sources;
    for (const auto& f : options.files) {
        std::string why;
        if (!readable(f, why)) {
            console.err << "quillmend-cli: cannot read '" << f << "': " << why << "\n";
            return 2;
        }
        sources.push_back(fs::absolute(f).lexically_normal().string());
    }
    if (!files::createFolders(options.outputDir)) {
        console.err << "quillmend-cli: cannot create the output folder '" << options.outputDir.string() << "'\n";
        return 2;
    }
    if (options.previewsDir && !files::createFolders(*options.previewsDir)) {
        console.err << "quillmend-cli: cannot create the previews folder '" << options.previewsDir->string() << "'\n";
        return 2;
    }

    auto& s = session();
    s.loadIdentity();
    s.installFolder = locateInstallFolder(s.installFolder);

    // Everything temporary goes into a private folder that is removed at the end, so a
    // run leaves nothing behind even when a salvage step keeps a folder it does not know.
    const fs::path privateTemp = temp::makeFolder("quillmend-");
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string savedTmp = oldTmp ? oldTmp : "";
    if (!privateTemp.empty())
        ::setenv("TMPDIR", privateTemp.c_str(), 1);

    std::vector<FileReport> reports(sources.size());
    for (size_t i = 0; i < sources.size(); ++i)
        reports[i].source = sources[i];
    ConsoleUi ui(console, reports);
    ui.closeWord = options.closeWord;

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    LogRunStart(local);
    s.skipPreview = !options.previewsDir.has_value();
    int status = 0;
    const RepairOutcome outcome = StartRepair(ui, sources, options.quick ? 1 : 0);
    if (outcome == RepairOutcome::WordLeftRunning) {
        console.err << "quillmend-cli: close it or run again with --close-word\n";
        status = 1;
    } else if (outcome == RepairOutcome::NoFiles) {
        status = 2;
    } else {
        if (options.previewsDir) {
            auto engine = makeAnalysisEngine();
            for (size_t i = 0; i < sources.size(); ++i) {
                console.err << "[" << i + 1 << "/" << sources.size() << "] analysing " << sources[i] << "\n";
                const AnalysisResult r = RunAnalysis(*engine, static_cast<int>(i + 1));
                if (!r.error.empty()) {
                    reports[i].errors.push_back(r.error);
                    console.err << "quillmend-cli: " << sources[i] << ": " << r.error << "\n";
                }
                if (r.ranEngine) {
                    const fs::path folder = *options.previewsDir / fs::path(sources[i]).filename();
                    copyPreviews(folder);
                    reports[i].previewsFolder = folder.string();
                }
            }
        }
        s.clearPreviewFiles();
        s.saveAllFolder = options.outputDir;
        s.saveCurrentOnly = false;
        if (options.overwrite == OverwritePolicy::Overwrite)
            s.overwriteAnswer = kYesToAll;
        else if (options.overwrite == OverwritePolicy::KeepExisting)
            s.overwriteAnswer = kNoToAll;
        auto engine = makeSaveEngine();
        WorkControl control;
        SavingWorker worker(ui, *engine, control);
        worker.run();
        LogCompletion();
        for (const auto& r : reports)
            if (r.written.empty())
                status = 1;
    }
    s.clearPreviewFiles();
    if (!s.docxWorkFolder.empty())
        files::removeTree(s.docxWorkFolder);
    if (!privateTemp.empty()) {
        files::removeTree(privateTemp);
        if (oldTmp)
            ::setenv("TMPDIR", savedTmp.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

    if (outcome == RepairOutcome::Started) {
        console.out << (options.json ? "" : "\nSummary\n");
        if (options.json) {
            console.out << "{\n  \"output\": \"" << jsonEscape(options.outputDir.string()) << "\",\n  \"files\": [";
            for (size_t i = 0; i < reports.size(); ++i) {
                const auto& r = reports[i];
                console.out << (i ? "," : "") << "\n    {\"source\": \"" << jsonEscape(r.source) << "\", \"candidates\": [";
                for (size_t k = 0; k < r.written.size(); ++k)
                    console.out << (k ? ", " : "") << "{\"number\": " << r.written[k].first << ", \"path\": \""
                                << jsonEscape(r.written[k].second) << "\"}";
                console.out << "], \"kept\": [";
                for (size_t k = 0; k < r.kept.size(); ++k)
                    console.out << (k ? ", " : "") << "\"" << jsonEscape(r.kept[k]) << "\"";
                console.out << "], \"errors\": [";
                for (size_t k = 0; k < r.errors.size(); ++k)
                    console.out << (k ? ", " : "") << "\"" << jsonEscape(r.errors[k]) << "\"";
                console.out << "], \"notes\": [";
                const auto& notes = zipNotesOf(r.source);
                for (size_t k = 0; k < notes.size(); ++k)
                    console.out << (k ? ", " : "") << "\"" << jsonEscape(notes[k]) << "\"";
                console.out << "]";
                if (!r.previewsFolder.empty())
                    console.out << ", \"previews\": \"" << jsonEscape(r.previewsFolder) << "\"";
                console.out << "}";
            }
            console.out << "\n  ],\n  \"exit_status\": " << status << "\n}\n";
        } else {
            for (const auto& r : reports) {
                console.out << r.source << ": " << r.written.size() << " candidate"
                            << (r.written.size() == 1 ? "" : "s") << " written\n";
                for (const auto& [n, path] : r.written)
                    console.out << "  " << path << "\n";
                for (const auto& path : r.kept)
                    console.out << "  kept existing " << path << "\n";
                for (const auto& note : zipNotesOf(r.source))
                    console.out << "  note: " << note << "\n";
            }
        }
    }
    return status;
}

int cliMain(const std::vector<std::string>& args, Console& console) {
    const ParseResult parsed = parseArguments(args);
    if (!parsed.error.empty()) {
        console.err << "quillmend-cli: " << parsed.error << "\nTry 'quillmend-cli --help' for more information.\n";
        return 2;
    }
    if (parsed.options.help) {
        console.out << usageText();
        return 0;
    }
    if (parsed.options.version) {
        console.out << versionText();
        return 0;
    }
    return runBatch(parsed.options, console);
}

} // namespace qm::cli
