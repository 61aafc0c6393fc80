#include "cli/batch_run.h"

#include "app/activity_log.h"
#include "app/run_environment.h"
#include "app/session_state.h"
#include "cli/batch_inputs.h"
#include "cli/batch_report.h"
#include "cli/parallel_run.h"
#include "cli/stop_signals.h"
#include "engine/candidate_assessment.h"
#include "engine/engine_helpers.h"
#include "engine/gallery_page.h"
#include "engine/word_binding.h"
#include "platform/files.h"
#include "platform/temp.h"
#include "stages/analysis_worker.h"
#include "stages/repair_start.h"
#include "stages/saving_worker.h"

#include <algorithm>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

namespace qm::cli {

namespace fs = std::filesystem;
using namespace qm::stages;

namespace {

// Shows the flows' progress and collects what each file gave. order[k] is the report of the
// session's file number k + 1.
class ConsoleUi : public StageUi {
public:
    ConsoleUi(std::ostream& err, std::istream& in, bool interactive, std::vector<FileReport>& reports,
              std::vector<size_t> order)
        : err_(err), in_(in), interactive_(interactive), reports_(reports), order_(std::move(order)) {}

    void showText(Field field, const std::string& text) override {
        if (field != Field::FileNumber)
            return;
        const int number = std::atoi(text.c_str());
        if (report(number))
            err_ << "[" << order_[number - 1] + 1 << "/" << reports_.size() << "] " << report(number)->source << "\n";
    }
    void setOverallProgress(int) override {}
    void setBusy(bool) override {}
    bool askYesNo(const std::string&) override { // only the Word check asks here
        if (closeWord)
            err_ << "quillmend-cli: a document server is already running; ending it (--close-word)\n";
        return closeWord;
    }
    OverwriteAnswer askOverwrite(const fs::path& existing) override {
        if (!interactive_)
            return kNo;
        for (;;) {
            err_ << "'" << existing.string()
                 << "' exists. Overwrite? [y]es, [n]o, [a]ll (yes to all), [N]one (no to all): " << std::flush;
            std::string line;
            if (!std::getline(in_, line))
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
    void notice(const std::string& text) override { err_ << "quillmend-cli: " << text << "\n"; }
    void candidateDone(int fileNumber, int candidate, const fs::path& output, bool written) override {
        FileReport* r = report(fileNumber);
        if (!r)
            return;
        const std::string label = candidate == 0 ? "quick repair copy" : "candidate " + std::to_string(candidate);
        if (written) {
            r->written.emplace_back(candidate, output.string());
            assessWritten(*r, candidate, output);
            err_ << "  " << label << ": " << output.string() << "\n";
        } else {
            err_ << "  " << label << ": nothing recovered\n";
        }
    }
    void candidateKept(int fileNumber, int candidate, const fs::path& output) override {
        if (FileReport* r = report(fileNumber)) {
            r->kept.push_back(output.string());
            CandidateRecord& record = r->candidate(candidate);
            record.assessment = assess::assessDocument(output);
            record.assessment.candidate = candidate;
            record.files = {output.string()};
        }
        err_ << "  " << (candidate == 0 ? "quick repair copy" : "candidate " + std::to_string(candidate))
             << ": kept existing " << output.string() << "\n";
    }
    void failed(int fileNumber, const std::string& source, const std::string& what) override {
        FileReport* r = report(fileNumber);
        const size_t before = r ? r->errors.size() : 0;
        if (r)
            r->addError(what);
        if (!r || r->errors.size() > before)
            err_ << "quillmend-cli: " << source << ": " << what << "\n";
    }

    bool closeWord = false;

private:
    // A written document is read back and assessed with the media copies saved beside it; a
    // media copy reported on its own (its document was lost) adds a picture to its candidate.
    static void assessWritten(FileReport& r, int candidate, const fs::path& output) {
        const auto& copies = session().saveMediaCopies;
        CandidateRecord& record = r.candidate(candidate);
        if (std::find(copies.begin(), copies.end(), output) != copies.end()) {
            record.assessment.pictures += 1;
            assess::rescore(record.assessment);
            record.files.push_back(output.string());
            return;
        }
        record.assessment = assess::assessDocument(output, copies.size());
        record.assessment.candidate = candidate;
        record.files = {output.string()};
        for (const auto& copy : copies)
            record.files.push_back(copy.string());
    }
    FileReport* report(int fileNumber) {
        return fileNumber >= 1 && fileNumber <= static_cast<int>(order_.size()) ? &reports_[order_[fileNumber - 1]]
                                                                               : nullptr;
    }
    std::ostream& err_;
    std::istream& in_;
    bool interactive_;
    std::vector<FileReport>& reports_;
    std::vector<size_t> order_;
};

// Makes a folder (and its parents); on failure why holds the reason.
bool makeFolder(const fs::path& folder, std::string& why) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        why = ec.message();
        return false;
    }
    if (!fs::is_directory(folder, ec)) {
        why = "it exists and is not a folder";
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

// --best: copies every file of each report's recommended candidate into folder. An existing
// copy is replaced only with --overwrite.
void copyRecommended(const Options& options, std::vector<FileReport>& reports, std::ostream& err) {
    for (auto& r : reports) {
        const CandidateRecord* recommended = r.recommended();
        if (!recommended)
            continue;
        for (const auto& file : recommended->files) {
            const fs::path from = file;
            const fs::path to = *options.bestDir / from.filename();
            std::error_code ec;
            if (fs::equivalent(from, to, ec)) { // --best names the folder the candidate is in
                if (r.best.empty())
                    r.best = to.string();
                continue;
            }
            if (files::exists(to) && options.overwrite != OverwritePolicy::Overwrite) {
                err << "quillmend-cli: " << r.source << ": kept existing " << to.string() << "\n";
                if (r.best.empty())
                    r.best = to.string();
                continue;
            }
            if (!files::copyFile(from, to)) {
                r.addError("cannot write '" + to.string() + "': " + std::strerror(errno));
                err << "quillmend-cli: " << r.source << ": " << r.errors.back() << "\n";
                continue;
            }
            if (r.best.empty())
                r.best = to.string();
        }
    }
}

// Runs the preview stage (with --previews) and the saving flow over the given inputs, in this
// process; returns how the run ended.
FlowResult runFlows(const Options& options, const std::vector<Input>& inputs, const std::vector<size_t>& which,
                    std::vector<FileReport>& reports, ConsoleUi& ui, std::ostream& err, WorkControl& control) {
    auto& s = session();
    s.sourceFiles.clear();
    std::vector<std::string> names;
    for (size_t i : which) {
        s.sourceFiles.push_back(inputs[i].source);
        names.push_back(inputs[i].outputName);
    }
    s.fileCount = static_cast<int>(which.size());
    if (options.previewsDir) {
        auto engine = makeAnalysisEngine();
        for (size_t k = 0; k < which.size(); ++k) {
            if (control.stopRequested())
                return {FlowOutcome::Stopped, {}};
            const size_t i = which[k];
            err << "[" << i + 1 << "/" << reports.size() << "] analysing " << inputs[i].source << "\n";
            const AnalysisResult r = RunAnalysis(*engine, static_cast<int>(k + 1), &control);
            if (r.outcome == FlowOutcome::Stopped)
                return r;
            if (r.outcome == FlowOutcome::Failed) {
                reports[i].addError(r.error);
                err << "quillmend-cli: " << inputs[i].source << ": " << r.error << "\n";
            }
            if (r.ranEngine) {
                const fs::path folder = *options.previewsDir / inputs[i].outputName;
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
    SavingWorker worker(ui, *engine, control);
    worker.setOutputNames(names);
    const FlowResult saved = worker.run();
    if (saved.outcome == FlowOutcome::Stopped)
        return saved;
    // The analysis and the save side read a package alike: each note is reported once.
    for (size_t i : which) {
        const auto it = s.zipNotes.find(fs::path(inputs[i].source).string());
        if (it == s.zipNotes.end())
            continue;
        for (const auto& note : it->second)
            if (std::find(reports[i].notes.begin(), reports[i].notes.end(), note) == reports[i].notes.end())
                reports[i].notes.push_back(note);
    }
    return saved;
}

// The run itself; signals is the run's stop watcher, ownScope is set once the document
// servers in scope are the run's own.
int runStoppable(const Options& options, Console& console, WorkControl& control, const StopSignals& signals,
                 std::atomic<bool>& ownScope) {
    auto refuse = [&](int status, const std::string& reason) {
        console.err << "quillmend-cli: " << reason << "\n";
        if (options.json)
            printJsonRefusal(console.out, reason, status);
        return status;
    };
    std::string why;
    if (!makeFolder(options.outputDir, why))
        return refuse(2, "cannot create the output folder '" + options.outputDir.string() + "': " + why);
    if (options.previewsDir && !makeFolder(*options.previewsDir, why))
        return refuse(2, "cannot create the previews folder '" + options.previewsDir->string() + "': " + why);
    if (options.bestDir && !makeFolder(*options.bestDir, why))
        return refuse(2, "cannot create the --best folder '" + options.bestDir->string() + "': " + why);

    // Inputs that cannot be processed are reported and skipped; the others run.
    const std::vector<Input> inputs = checkInputs(options.files);
    std::vector<FileReport> reports(inputs.size());
    std::vector<size_t> valid;
    std::vector<std::string> rows;
    for (size_t i = 0; i < inputs.size(); ++i) {
        reports[i].source = inputs[i].source;
        if (inputs[i].problem.empty()) {
            valid.push_back(i);
            rows.push_back(inputs[i].source);
            continue;
        }
        reports[i].addError(inputs[i].problem);
        console.err << "quillmend-cli: cannot process '" << options.files[i] << "': " << inputs[i].problem << "\n";
    }

    auto& s = session();
    s.loadIdentity();
    s.installFolder = locateInstallFolder(s.installFolder);
    ensureWritableLogFolder(); // a system installation: the log goes to the user's state folder
    const PrivateTempFolder privateTemp;
    if (privateTemp.path().empty())
        return refuse(1, "cannot create a temporary folder in '" + temp::folder() + "': " + std::strerror(errno));

    s.skipPreview = !options.previewsDir.has_value();
    ConsoleUi ui(console.err, console.in, console.interactive, reports, valid);
    ui.closeWord = options.closeWord;
    if (!valid.empty()) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        LogRunStart(local);
        // The Word check concerns servers outside this run (a desktop program's); the run's
        // own servers get a scope of their own right after it.
        const RepairOutcome outcome = StartRepair(ui, rows, options.quick ? 1 : 0);
        if (outcome == RepairOutcome::WordLeftRunning)
            return refuse(1, "a document server is already running; close it or run again with --close-word");
        if (outcome != RepairOutcome::Started)
            valid.clear();
    }

    enterPrivateServerScope();
    ownScope = true;
    const word::KeepSpareServers spareServers; // the run's servers serve file after file
    if (!valid.empty())
        assess::Lexicon::installed(); // read once here: the workers inherit the dictionaries
    assess::rememberReadBacks(true);
    // An error that ended a saving run early (not one candidate's) fails the run.
    bool runFailed = false;
    if (options.jobs > 1 && valid.size() > 1) {
        runInWorkers(options.jobs, longestFirst(inputs, valid), [&](size_t index, WorkControl& workerControl) {
            std::ostringstream progress;
            ConsoleUi workerUi(progress, console.in, false, reports, {index});
            const FlowResult end = runFlows(options, inputs, {index}, reports, workerUi, progress, workerControl);
            if (end.outcome == FlowOutcome::Failed)
                reports[index].addError(end.error);
            reports[index].progress = progress.str();
            return reports[index];
        }, reports, console.err, control);
    } else if (!valid.empty()) {
        const FlowResult end = runFlows(options, inputs, valid, reports, ui, console.err, control);
        if (end.outcome == FlowOutcome::Failed) {
            console.err << "quillmend-cli: " << end.error << "\n";
            runFailed = true;
        }
    }
    cleanUpRunFiles();
    const int stopSignal = signals.received();
    if (options.bestDir && !stopSignal)
        copyRecommended(options, reports, console.err);

    // A file without a candidate, or with an error (a write that failed), fails the run.
    int status = runFailed ? 1 : 0;
    for (const auto& r : reports)
        if (!r.gotCandidate() || !r.errors.empty())
            status = 1;
    if (stopSignal) {
        status = 128 + stopSignal;
        console.err << "quillmend-cli: stopped by signal " << stopSignal << "; finished outputs are kept\n";
    } else if (!valid.empty()) {
        LogCompletion();
    }
    if (options.json)
        printJson(console.out, options.outputDir.string(), reports, status);
    else
        printSummary(console.out, reports);
    return status;
}

} // namespace

int runBatch(const Options& options, Console& console) {
    // Signals are taken from the start: a stop at any moment still removes what the run made.
    WorkControl control;
    std::atomic<bool> ownScope{false};
    int status = 0;
    {
        StopSignals signals([&](int signal) {
            control.requestStop();
            forwardSignalToWorkers(signal);
            if (ownScope) // before, the servers in scope are not the run's to end
                RunStopvane();
        });
        status = runStoppable(options, console, control, signals, ownScope);
    }
    if (ownScope)
        leaveServerScope();
    return status;
}

int cliMain(const std::vector<std::string>& args, Console& console) {
    const ParseResult parsed = parseArguments(args);
    if (!parsed.error.empty()) {
        console.err << "quillmend-cli: " << parsed.error << "\nTry 'quillmend-cli --help' for more information.\n";
        if (parsed.options.json)
            printJsonRefusal(console.out, parsed.error, 2);
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
