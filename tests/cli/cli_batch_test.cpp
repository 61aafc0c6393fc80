// End-to-end runs of the built quillmend-cli over the damaged samples, with its own
// document servers (out of process), as a script would run it.
#include "docserver/formats.h"
#include "engine/word_automation.h"
#include "platform/process.h"

#include "tests/support/test_support.h"
#include "tests/support/word_recall.h"
#include "tests/zip/zip_builder.h"

#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <thread>

extern char** environ;

using namespace qm;

namespace {

struct CliRun {
    int status = -1;
    std::string out, err;
};

// Runs the program with standard input closed and both outputs captured.
CliRun runCli(const fs::path& dir, const std::vector<std::string>& args) {
    std::string cmd = "timeout 600 '" + (test::binDir() / "quillmend-cli").string() + "'";
    for (const auto& a : args)
        cmd += " '" + a + "'";
    cmd += " </dev/null 2>'" + (dir / "stderr.txt").string() + "'";
    CliRun r;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return r;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = test::readText(dir / "stderr.txt");
    return r;
}

// Starts the program without waiting; its outputs go to files in dir.
pid_t startCli(const fs::path& dir, const std::string& tag, const std::vector<std::string>& args) {
    const std::string program = (test::binDir() / "quillmend-cli").string();
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir / (tag + ".out")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir / (tag + ".err")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, cargv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int waitCli(pid_t pid) {
    int st = 0;
    if (pid < 0 || ::waitpid(pid, &st, 0) != pid)
        return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Every file under folder, as paths relative to it.
std::set<std::string> filesUnder(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file())
            names.insert(fs::relative(it->path(), folder).string());
    return names;
}

// Document servers still alive whose instance value starts with prefix.
// A child process of parent running program, or -1.
pid_t childRunning(pid_t parent, const std::string& program) {
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = test::readText(e.path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos || test::readText(e.path() / "comm") != program + "\n")
            continue;
        int ppid = 0;
        char state = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent && state != 'Z')
            return static_cast<pid_t>(std::stol(name));
    }
    return -1;
}

int serversOf(const std::string& prefix) {
    int count = 0;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string comm = test::readText(e.path() / "comm");
        if (comm.rfind("quillmend-word", 0) != 0 || test::readText(e.path() / "stat").find(") Z") != std::string::npos)
            continue;
        const std::string env = test::readText(e.path() / "environ");
        if (env.find("QUILLMEND_INSTANCE=" + prefix) != std::string::npos)
            ++count;
    }
    return count;
}

// The outputs a run left are whole documents: no temporary file beside them, each readable.
void expectOnlyWholeOutputs(const fs::path& out) {
    for (const auto& name : filesUnder(out)) {
        EXPECT_EQ(name.find(".quillmend-tmp"), std::string::npos) << name;
        if (fs::path(name).extension() == ".doc") {
            EXPECT_NO_THROW(docserver::readDocument(out / name)) << name;
        }
    }
}

} // namespace

class CliBatchTest : public test::IsolatedTest {
protected:
    void SetUp() override {
        const fs::path samples = test::binDir().parent_path() / "samples";
        if (!fs::exists(test::binDir() / "quillmend-cli") || !fs::exists(samples / "Damaged Report.doc"))
            GTEST_SKIP() << "quillmend-cli or the samples are not built";
        fs::create_directories(dir_ / "in");
        for (const char* name : {"Damaged Report.doc", "Damaged Letter.docx"}) {
            fs::copy_file(samples / name, dir_ / "in" / name);
            fs::permissions(dir_ / "in" / name, fs::perms::owner_read, fs::perm_options::replace);
        }
        report_ = (dir_ / "in" / "Damaged Report.doc").string();
        letter_ = (dir_ / "in" / "Damaged Letter.docx").string();
        env_.set("QUILLMEND_INSTANCE", "cli-test-" + std::to_string(::getpid()));
        fs::create_directories(dir_ / "logs");
        test::writeText(registryFile_, "[TYDOC]\nLogPath=" + (dir_ / "logs").string() + "\n");
    }
    std::string report_, letter_;
};

TEST_F(CliBatchTest, SalvagesBothSamplesAndLeavesInputsAndTempUntouched) {
    const auto before = std::make_pair(test::readBytes(report_), test::readBytes(letter_));
    const CliRun r =
        runCli(dir_.path(), {"-o", (dir_ / "out").string(), "--best", (dir_ / "best").string(), "--json", report_, letter_});
    ASSERT_EQ(r.status, 0) << r.err;
    // One recommended candidate per file, copied with the pictures saved beside it.
    EXPECT_EQ(filesUnder(dir_ / "best"),
              (std::set<std::string>{"Damaged Report.doc", "Damaged Letter.docx", "Damaged Letter_image1.png"}));
    EXPECT_NE(r.out.find("\"recommended\": 1, \"recommended_path\": \"" + (dir_ / "out" / "Preview 1" / "Damaged Letter.docx").string()),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"best\": \"" + (dir_ / "best" / "Damaged Report.doc").string() + "\""), std::string::npos);
    // The sample carries a document header and printable blocks (methods 1 and 4), no anchors.
    for (int n : {1, 4})
        EXPECT_TRUE(fs::exists(dir_ / "out" / ("Preview " + std::to_string(n)) / "Damaged Report.doc")) << n;
    EXPECT_TRUE(fs::is_directory(dir_ / "out" / "Preview 2"));
    EXPECT_TRUE(fs::exists(dir_ / "out" / "Preview 1" / "Damaged Letter.docx"));
    EXPECT_TRUE(fs::exists(dir_ / "out" / "Preview 1" / "Damaged Letter_image1.png"));
    EXPECT_NE(r.out.find("\"exit_status\": 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Preview 4/Damaged Report.doc"), std::string::npos);
    EXPECT_NE(r.err.find("[2/2] " + letter_), std::string::npos) << r.err;

    EXPECT_EQ(test::readBytes(report_), before.first);
    EXPECT_EQ(test::readBytes(letter_), before.second);
    EXPECT_EQ(fs::status(report_).permissions(), fs::perms::owner_read);
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "something was left in the temporary folder";
    const std::string log = test::readText(dir_ / "logs" / "Activity Log.txt");
    EXPECT_NE(log.find("Total Files Count :    2"), std::string::npos);
    EXPECT_NE(log.find("Repairing Completed successfully"), std::string::npos);
}

TEST_F(CliBatchTest, WithoutATerminalExistingOutputsAreKeptAndNamed) {
    ASSERT_EQ(runCli(dir_.path(), {"-o", (dir_ / "out").string(), report_}).status, 0);
    const fs::path first = dir_ / "out" / "Preview 4" / "Damaged Report.doc";
    test::writeText(first, "mine");
    const CliRun r = runCli(dir_.path(), {"-o", (dir_ / "out").string(), report_});
    EXPECT_EQ(r.status, 0) << "kept outputs are the file's candidates: " << r.err;
    EXPECT_EQ(test::readText(first), "mine");
    EXPECT_NE(r.err.find("kept existing " + first.string()), std::string::npos) << r.err;
    const CliRun o = runCli(dir_.path(), {"--overwrite", "-o", (dir_ / "out").string(), report_});
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(test::readText(first), "mine");
}

TEST_F(CliBatchTest, QuickRepairKeepsAnExistingCopyUnlessTold) {
    const fs::path copy = dir_ / "q" / "Damaged Report.doc";
    ASSERT_EQ(runCli(dir_.path(), {"--quick", "-o", (dir_ / "q").string(), report_}).status, 0);
    test::writeText(copy, "mine");
    // --keep-existing, and no terminal to ask: the copy stays as it is.
    for (const std::vector<std::string>& extra : {std::vector<std::string>{"--keep-existing"}, std::vector<std::string>{}}) {
        std::vector<std::string> args{"--quick", "-o", (dir_ / "q").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(report_);
        const CliRun r = runCli(dir_.path(), args);
        EXPECT_EQ(test::readText(copy), "mine") << r.err;
        EXPECT_NE(r.err.find("kept existing " + copy.string()), std::string::npos) << r.err;
    }
    EXPECT_EQ(runCli(dir_.path(), {"--quick", "--overwrite", "-o", (dir_ / "q").string(), report_}).status, 0);
    EXPECT_EQ(test::readBytes(copy).size(), test::readBytes(report_).size());
}

TEST_F(CliBatchTest, PicturePageEscapesHostileMediaNames) {
    zipgen::ZipBuilder zb;
    zb.add("word/document.xml", "<w:document><w:body><w:p><w:r><w:t>Hi</w:t></w:r></w:p></w:body></w:document>");
    zb.add("word/media/\"><img src=x onerror=alert(2)>.png", "png data", 0);
    zb.finish();
    const fs::path hostile = dir_ / "in" / "Hostile.docx";
    test::writeBytes(hostile, zb.bytes());
    const CliRun r = runCli(dir_.path(), {"-o", (dir_ / "out").string(), "--previews", (dir_ / "pv").string(),
                                          hostile.string()});
    const std::string page = test::readText(dir_ / "pv" / "Hostile.docx" / "Preview 2.html");
    EXPECT_EQ(page, "<img src=\"media/%22>%3Cimg src=x onerror=alert(2)>.png\"><br>\n") << r.err;
    EXPECT_EQ(test::readText(dir_ / "pv" / "Hostile.docx" / "media" / "\"><img src=x onerror=alert(2)>.png"), "png data");
}

// A media entry that expands far beyond its compressed size is cut, the text still comes
// through, and the summary and the JSON report say what was cut.
TEST_F(CliBatchTest, CutEntriesAreNoted) {
    zipgen::ZipBuilder zb;
    zb.add("word/document.xml", "<w:document><w:body><w:p><w:r><w:t>Kept</w:t></w:r></w:p></w:body></w:document>");
    zb.add("word/media/image1.png", std::string(8u << 20, 'x'));
    const fs::path bomb = dir_ / "in" / "Bomb.docx";
    test::writeBytes(bomb, zb.bytes());
    const CliRun text = runCli(dir_.path(), {"-o", (dir_ / "out").string(), bomb.string()});
    EXPECT_NE(text.out.find("  note: word/media/image1.png: cut after 1048576 bytes, it expands more than 100 times"),
              std::string::npos) << text.out << text.err;
    EXPECT_EQ(text.status, 0) << text.err;
    const CliRun json = runCli(dir_.path(), {"-o", (dir_ / "out2").string(), "--json", bomb.string()});
    EXPECT_NE(json.out.find("\"notes\": [\"word/media/image1.png: cut after 1048576 bytes"), std::string::npos) << json.out;
}

TEST_F(CliBatchTest, QuickRepairAndPreviews) {
    const CliRun r = runCli(dir_.path(), {"--quick", "-o", (dir_ / "q").string(), "--previews", (dir_ / "pv").string(),
                                       report_, letter_});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "q" / "Damaged Report.doc"));
    EXPECT_TRUE(fs::exists(dir_ / "pv" / "Damaged Letter.docx" / "Preview 1.mht"));
    EXPECT_TRUE(fs::exists(dir_ / "pv" / "Damaged Letter.docx" / "Preview 2.html"));
    EXPECT_TRUE(fs::exists(dir_ / "pv" / "Damaged Letter.docx" / "media" / "image1.png"));
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
}

TEST_F(CliBatchTest, InputsThatCannotBeProcessedAreNamedAndSkippedWhileTheOthersRun) {
    const fs::path in = dir_ / "in";
    ASSERT_EQ(::mkfifo((in / "pipe.doc").c_str(), 0600), 0);
    fs::create_directories(in / "folder.doc");
    test::writeText(in / "macros.docm", "x");
    test::writeText(in / "empty.doc", "");
    test::writeBytes(in / "zeros.doc", std::vector<std::uint8_t>(20000, 0));
    const struct {
        const char* name;
        const char* reason; // empty: processed, recovers nothing
    } cases[] = {
        {"pipe.doc", "not a regular file"}, {"folder.doc", "is a folder"},
        {"missing.doc", "No such file or directory"}, {"macros.docm", "not a Word document"},
        {"empty.doc", ""}, {"zeros.doc", ""},
    };
    std::vector<std::string> args{"--json", "-o", (dir_ / "out").string()};
    for (const auto& c : cases)
        args.push_back((in / c.name).string());
    args.push_back(report_);
    const CliRun r = runCli(dir_.path(), args);
    EXPECT_EQ(r.status, 1) << r.err;
    const auto outputs = filesUnder(dir_ / "out");
    for (const auto& c : cases) {
        if (*c.reason) {
            EXPECT_NE(r.err.find((in / c.name).string() + "': " + c.reason), std::string::npos) << r.err;
        }
        for (const auto& name : outputs)
            EXPECT_NE(fs::path(name).filename().string(), c.name) << "no output for " << name;
    }
    EXPECT_TRUE(fs::exists(dir_ / "out" / "Preview 4" / "Damaged Report.doc"));
    EXPECT_NE(r.out.find("\"exit_status\": 1"), std::string::npos) << r.out;
    // Quick Repair's copy of an empty or all-zero file is no recovery either.
    const CliRun q = runCli(dir_.path(), {"--quick", "-o", (dir_ / "quick").string(), (in / "empty.doc").string(),
                                          (in / "zeros.doc").string()});
    EXPECT_EQ(q.status, 1) << q.err;
    EXPECT_TRUE(filesUnder(dir_ / "quick").empty()) << q.err;
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
}

TEST_F(CliBatchTest, NamesInAnyCaseSharedNamesAndNonUtf8NamesKeepTheirOwnOutputs) {
    const fs::path in = dir_ / "in";
    fs::create_directories(in / "A");
    fs::create_directories(in / "B");
    const std::string odd = "odd\xff\xfe.doc"; // not UTF-8
    for (const std::string name : {"A/x.doc", "B/x.doc", "UP.DOC", "c.Doc", odd.c_str()})
        fs::copy_file(report_, in / name);
    fs::copy_file(letter_, in / "Letter.DOCX");
    std::vector<std::string> args{"--json", "-o", (dir_ / "out").string()};
    for (const std::string name : {"A/x.doc", "B/x.doc", "UP.DOC", "c.Doc", odd.c_str(), "Letter.DOCX"})
        args.push_back((in / name).string());
    const CliRun r = runCli(dir_.path(), args);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string name : {"x.doc", "x (2).doc", "UP.DOC", "c.Doc", odd.c_str()})
        for (const char* folder : {"Preview 1", "Preview 4"})
            EXPECT_TRUE(fs::exists(dir_ / "out" / folder / name)) << folder << "/" << name;
    EXPECT_TRUE(fs::exists(dir_ / "out" / "Preview 1" / "Letter.DOCX"));
    if (!test::haveTool("python3"))
        GTEST_SKIP() << "python3 is needed to read the JSON report";
    test::writeBytes(dir_ / "report.json", std::vector<std::uint8_t>(r.out.begin(), r.out.end()));
    // Each source with its candidates' file names, names restored to their bytes.
    int st = 0;
    const std::string listed = test::runCommand(
        "python3 -c 'import json,sys,os\n"
        "d=json.loads(open(sys.argv[1],\"rb\").read().decode(\"utf-8\"))\n"
        "for f in d[\"files\"]:\n"
        " names=sorted(set(os.path.basename(c[\"path\"]) for c in f[\"candidates\"]))\n"
        " sys.stdout.buffer.write((f[\"source\"]+\"|\"+\"|\".join(names)+\"\\n\").encode(\"utf-8\",\"surrogateescape\"))' '" +
            (dir_ / "report.json").string() + "'",
        st);
    ASSERT_EQ(st, 0) << r.out;
    EXPECT_NE(listed.find((in / "A/x.doc").string() + "|x.doc\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find((in / "B/x.doc").string() + "|x (2).doc\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find((in / odd).string() + "|" + odd + "\n"), std::string::npos) << listed;
}

TEST_F(CliBatchTest, ALongNameIsSavedAndWriteFailuresNameTheirCause) {
    const std::string longName = std::string(246, 'n') + ".doc"; // 250 characters
    fs::copy_file(report_, dir_ / "in" / longName);
    CliRun r = runCli(dir_.path(), {"-o", (dir_ / "out").string(), (dir_ / "in" / longName).string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "out" / "Preview 4" / longName));
    expectOnlyWholeOutputs(dir_ / "out");

    // A full and a read-only file system, where this test may mount one.
    const struct {
        const char* options;
        const char* cause;
    } cases[] = {{"size=24k", "No space left on device"}, {"ro", "Read-only file system"}};
    int k = 0;
    for (const auto& c : cases) {
        const fs::path mnt = dir_ / ("mnt" + std::to_string(k++));
        fs::create_directories(mnt);
        if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, std::string(c.options).find("size") == 0 ? c.options : "") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here";
        fs::create_directories(mnt / "out" / "Preview 1");
        if (std::string(c.options) == "ro")
            ::mount(nullptr, mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
        r = runCli(dir_.path(), {"-o", (mnt / "out").string(), report_});
        EXPECT_EQ(r.status, 1) << c.cause;
        EXPECT_NE(r.err.find(std::string("cannot write ") + (mnt / "out").string()), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.cause), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(c.cause), r.err.rfind(c.cause)) << "once per file: " << r.err;
        expectOnlyWholeOutputs(mnt / "out");
        ::umount2(mnt.c_str(), MNT_DETACH);
    }
    // A package whose document fits but whose picture does not: the lost picture is reported.
    const fs::path small = dir_ / "small";
    fs::create_directories(small);
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k"), 0);
    r = runCli(dir_.path(), {"-o", (small / "out").string(), letter_});
    EXPECT_EQ(r.status, 1);
    const fs::path picture = small / "out" / "Preview 1" / "Damaged Letter_image1.png";
    EXPECT_NE(r.err.find("cannot write " + picture.string() + ": No space left on device"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(small / "out" / "Preview 1" / "Damaged Letter.docx"));
    EXPECT_FALSE(fs::exists(picture));
    expectOnlyWholeOutputs(small / "out");
    ::umount2(small.c_str(), MNT_DETACH);

    // A full temporary folder: the package cannot be copied there.
    const fs::path tmp = dir_ / "full-tmp";
    fs::create_directories(tmp);
    ASSERT_EQ(::mount("tmpfs", tmp.c_str(), "tmpfs", 0, "size=8k"), 0);
    test::writeBytes(tmp / "fill", std::vector<std::uint8_t>(8192, 1));
    env_.set("TMPDIR", tmp.string());
    r = runCli(dir_.path(), {"-o", (dir_ / "out-tmp").string(), letter_});
    env_.set("TMPDIR", (dir_ / "tmp").string());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(fs::directory_iterator(tmp)->path().filename(), "fill") << "the run's folder is gone";
    ::umount2(tmp.c_str(), MNT_DETACH);
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
}

TEST_F(CliBatchTest, StopSignalsKeepFinishedOutputsAndLeaveNothingElse) {
    std::vector<std::string> args{"-o", (dir_ / "out").string()};
    for (int i = 0; i < 30; ++i) {
        fs::copy_file(report_, dir_ / "in" / ("r" + std::to_string(i) + ".doc"));
        args.push_back((dir_ / "in" / ("r" + std::to_string(i) + ".doc")).string());
    }
    args.push_back(letter_);
    const std::string instance = std::getenv("QUILLMEND_INSTANCE");
    const struct {
        int signal;
        int afterMs;
        int jobs;
        bool previews;
    } cases[] = {{SIGINT, 100, 1, false}, {SIGTERM, 500, 1, false}, {SIGHUP, 1000, 1, false},
                 {SIGINT, 400, 1, true},  {SIGINT, 300, 2, false}, {SIGTERM, 800, 3, true}};
    int stopped = 0;
    for (const auto& c : cases) {
        fs::remove_all(dir_ / "out");
        std::vector<std::string> run{"-j", std::to_string(c.jobs)};
        if (c.previews)
            run.insert(run.end(), {"--previews", (dir_ / "pv").string()});
        run.insert(run.end(), args.begin(), args.end());
        const pid_t pid = startCli(dir_.path(), "stop", run);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(c.afterMs));
        ::kill(pid, c.signal);
        const int status = waitCli(pid);
        const std::string err = test::readText(dir_ / "stop.err");
        if (status == 0)
            continue; // finished before the signal
        ++stopped;
        EXPECT_EQ(status, 128 + c.signal) << c.signal << " after " << c.afterMs << " ms: " << err;
        EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << c.signal << " after " << c.afterMs << " ms";
        EXPECT_EQ(serversOf(instance), 0);
        expectOnlyWholeOutputs(dir_ / "out");
    }
    EXPECT_GT(stopped, 0) << "every run ended before its signal";
}

TEST_F(CliBatchTest, ParallelRunsAndJobsGiveTheOutputsOfOneAtATime) {
    std::vector<std::string> inputs;
    for (int i = 0; i < 4; ++i) {
        for (const auto& [from, ext] : {std::pair{report_, ".doc"}, std::pair{letter_, ".docx"}}) {
            const fs::path p = dir_ / "in" / ("f" + std::to_string(i) + ext);
            fs::copy_file(from, p);
            inputs.push_back(p.string());
        }
    }
    for (const auto& input : inputs)
        ASSERT_EQ(runCli(dir_.path(), {"-o", (dir_ / "one").string(), input}).status, 0);
    const auto expected = filesUnder(dir_ / "one");
    ASSERT_GE(expected.size(), inputs.size() * 2);

    for (const bool closeWord : {false, true}) {
        const fs::path out = dir_ / (closeWord ? "four-close" : "four");
        std::vector<pid_t> runs;
        for (int k = 0; k < 4; ++k) {
            std::vector<std::string> args{"-o", out.string()};
            if (closeWord)
                args.push_back("--close-word");
            args.insert(args.end(), {inputs[2 * k], inputs[2 * k + 1]});
            runs.push_back(startCli(dir_.path(), "run" + std::to_string(k), args));
        }
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(waitCli(runs[k]), 0) << test::readText(dir_ / ("run" + std::to_string(k) + ".err"));
        EXPECT_EQ(filesUnder(out), expected) << (closeWord ? "with --close-word" : "");
    }
    std::vector<std::string> jobs{"-j", "2", "-o", (dir_ / "jobs").string(), "--json"};
    jobs.insert(jobs.end(), inputs.begin(), inputs.end());
    const CliRun r = runCli(dir_.path(), jobs);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(filesUnder(dir_ / "jobs"), expected);
    // One report in input order.
    size_t at = 0;
    for (const auto& input : inputs) {
        const size_t found = r.out.find("\"source\": \"" + input + "\"");
        EXPECT_NE(found, std::string::npos) << input;
        EXPECT_GT(found, at) << input;
        at = found;
    }
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));

    // A worker lost in the middle of a file costs that file only: a new worker takes its place,
    // so even with both first workers killed the other files are saved.
    jobs[3] = (dir_ / "lost").string();
    const pid_t run = startCli(dir_.path(), "lost", jobs);
    std::set<pid_t> killed;
    for (int i = 0; i < 2000 && killed.size() < 2; ++i) {
        if (const pid_t worker = childRunning(run, "quillmend-cli"); worker > 0 && !killed.contains(worker)) {
            ::kill(worker, SIGKILL);
            killed.insert(worker);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(killed.size(), 2u);
    EXPECT_EQ(waitCli(run), 1);
    const std::string report = test::readText(dir_ / "lost.out");
    const std::string ended = "the worker process was ended by signal";
    int lost = 0;
    for (auto at = report.find(ended + " 9"); at != std::string::npos; at = report.find(ended + " 9", at + 1))
        ++lost;
    // A worker killed between two files costs none.
    EXPECT_GE(lost, 1) << report;
    EXPECT_LE(lost, 2) << report;
    EXPECT_EQ(report.find("not processed"), std::string::npos) << report;
    EXPECT_GE(filesUnder(dir_ / "lost").size() + 3 * static_cast<std::size_t>(lost), expected.size()) << "the other files were saved";
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
}

TEST_F(CliBatchTest, AServerOutsideTheRunIsRefusedWithAReasonOrEndedWithCloseWord) {
    env_.set("QUILLMEND_WORD_SERVER", (test::binDir() / "quillmend-word").string());
    auto app = word::Application::create(); // a server of this user and instance, not of a run
    ASSERT_EQ(app.Version(), "12.0");
    CliRun r = runCli(dir_.path(), {"--json", "-o", (dir_ / "out").string(), report_});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"error\": \"a document server is already running; close it or run again with --close-word\""),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists(dir_ / "out" / "Preview 4"));
    EXPECT_EQ(app.Version(), "12.0") << "the refusal leaves the server alone";
    r = runCli(dir_.path(), {"--json", "--close-word", "-o", (dir_ / "out").string(), report_});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THROW(app.Version(), word::WordError);
}

// The damaged copies of the corpus through the command line: per damage class, the mean share
// of the original's words in the recommended candidate and in the best one (chosen knowing the
// original), and the share of the recommended candidate's words that are the original's.
TEST_F(CliBatchTest, OnTheCorpusTheRecommendedCandidateHoldsNearlyWhatTheBestOneHolds) {
    std::vector<test::DamagedFile> rows = test::damagedFiles("doc");
    for (const auto& row : test::damagedFiles("docx"))
        rows.push_back(row);
    if (rows.empty())
        GTEST_SKIP() << "no corpus manifest at " << test::corpusDir();
    const fs::path in = dir_ / "corpus";
    fs::create_directories(in);
    std::vector<std::string> args{"-j", "2", "--json", "-o", (dir_ / "out").string(), "--best", (dir_ / "best").string()};
    std::vector<std::string> names;
    for (const auto& row : rows) {
        // Macro-enabled packages are packages all the same; the command line takes only .docx.
        const std::string name = fs::path(row.name).stem().string() + (row.family == "doc" ? ".doc" : ".docx");
        fs::copy_file(test::corpusDir() / "damaged" / row.name, in / name);
        names.push_back(name);
        args.push_back((in / name).string());
    }
    const CliRun r = runCli(dir_.path(), args);
    ASSERT_TRUE(r.status == 0 || r.status == 1) << r.err;

    struct Tally {
        double recommended = 0, best = 0, precision = 0;
        int files = 0;
    };
    std::map<std::string, Tally> byClass;
    auto textOf = [](const fs::path& p) {
        try {
            return docserver::readDocument(p).plainText();
        } catch (...) {
            return std::string();
        }
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string reference = test::readText(test::corpusDir() / "reference" / (rows[i].original + ".txt"));
        double best = 0;
        for (int n = 1; n <= 4; ++n) {
            const fs::path candidate = dir_ / "out" / ("Preview " + std::to_string(n)) / names[i];
            if (fs::exists(candidate))
                best = std::max(best, test::wordRecall(textOf(candidate), reference));
        }
        // The file's line of the report names its recommended candidate.
        const size_t line = r.out.find("\"source\": \"" + (in / names[i]).string() + "\"");
        ASSERT_NE(line, std::string::npos) << names[i];
        const std::string object = r.out.substr(line, r.out.find('\n', line) - line);
        std::string recommendedPath;
        if (const size_t at = object.find("\"recommended_path\": \""); at != std::string::npos) {
            const size_t from = at + std::string("\"recommended_path\": \"").size();
            recommendedPath = object.substr(from, object.find('"', from) - from);
            EXPECT_EQ(test::readBytes(dir_ / "best" / fs::path(recommendedPath).filename()), test::readBytes(recommendedPath));
        }
        const std::string text = recommendedPath.empty() ? std::string() : textOf(recommendedPath);
        const double recall = test::wordRecall(text, reference);
        // Precision: the original's words found in the candidate over the candidate's words (the
        // overlap is symmetric, so it is the recall of the candidate against the original).
        const double precision = test::wordRecall(reference, text);
        Tally& t = byClass[rows[i].family + " " + rows[i].damageClass];
        t.recommended += recall;
        t.best += best;
        t.precision += precision;
        ++t.files;
        std::cout << "  " << rows[i].name << ": recommended " << recall << ", best " << best << ", precision "
                  << precision << "\n";
    }
    for (const auto& [damageClass, t] : byClass) {
        const double recommended = t.recommended / t.files, best = t.best / t.files, precision = t.precision / t.files;
        std::cout << "  class " << damageClass << " (" << t.files << " files): recommended " << 100 * recommended
                  << "%, best " << 100 * best << "%, precision of the recommended " << 100 * precision << "%\n";
        EXPECT_GE(recommended, 0.97 * best) << damageClass;
        EXPECT_GE(precision, 0.5) << damageClass;
    }
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
}
