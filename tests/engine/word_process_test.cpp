// What only the out-of-process binding has: a quillmend-word child per instance that can die,
// hang or be ended by stopvane, and the server's command-line mode.
#include "app/run_environment.h"
#include "app/session_state.h"
#include "engine/engine_helpers.h"
#include "docserver/formats.h"
#include "engine/word_automation.h"
#include "engine/word_binding.h"
#include "platform/process.h"

#include "tests/support/test_support.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

using namespace qm;
using namespace qm::word;
using namespace std::chrono_literals;

namespace {

std::string firstLineOf(const fs::path& p) {
    const std::string s = test::readText(p);
    return s.substr(0, s.find('\n'));
}

// Live (not zombie) child processes of this test process.
std::vector<pid_t> children() {
    std::vector<pid_t> found;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = test::readText(e.path() / "stat");
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos || paren + 4 >= stat.size())
            continue;
        const char state = stat[paren + 2];
        const long ppid = std::strtol(stat.c_str() + paren + 4, nullptr, 10);
        if (ppid == ::getpid() && state != 'Z' && state != 'X')
            found.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return found;
}

// True when the process is gone and reaped (no zombie left behind).
bool reaped(pid_t pid) { return !fs::exists("/proc/" + std::to_string(pid)); }

pid_t onlyChild() {
    const auto c = children();
    return c.size() == 1 ? c.front() : -1;
}

} // namespace

class WordProcessTest : public test::IsolatedTest {
protected:
    WordProcessTest() {
        env_.set("QUILLMEND_WORD_SERVER", server_.string());
        env_.set("QUILLMEND_WORD_VERSION", std::nullopt);
        env_.set("QUILLMEND_WORD_TEST_DELAY_MS", std::nullopt);
        env_.set("QUILLMEND_INSTANCE", "qm-word-" + std::to_string(::getpid()));
        setConnectionFactory(connectOutOfProcess);
    }
    ~WordProcessTest() override { setConnectionFactory(nullptr); }

    // A stand-in server made of a shell script.
    fs::path fakeServer(const std::string& script) {
        const auto p = dir_ / "fake-server";
        test::writeText(p, "#!/bin/sh\n" + script + "\n");
        fs::permissions(p, fs::perms::owner_all);
        env_.set("QUILLMEND_WORD_SERVER", p.string());
        return p;
    }

    // Runs a call on another thread; returns its error text ("" when it succeeded).
    static std::future<std::string> callInBackground(Application& app) {
        return std::async(std::launch::async, [&app] {
            try {
                app.Version();
                return std::string();
            } catch (const WordError& e) {
                return std::string(e.what());
            }
        });
    }

    const fs::path server_ = test::binDir() / "quillmend-word";
};

TEST_F(WordProcessTest, ServerIsNamedCarriesTheInstanceAndEndsOnQuit) {
    auto app = Application::create();
    EXPECT_EQ(app.Version(), "12.0");
    const pid_t pid = onlyChild();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(firstLineOf("/proc/" + std::to_string(pid) + "/comm"), "quillmend-word");
    const std::string envBlock = test::readText("/proc/" + std::to_string(pid) + "/environ");
    EXPECT_NE(envBlock.find("QUILLMEND_INSTANCE=qm-word-" + std::to_string(::getpid()) + '\0'), std::string::npos);
    app.Quit();
    EXPECT_TRUE(reaped(pid)); // Quit waits for the server's end
    EXPECT_THROW(app.Version(), WordError);
}

TEST_F(WordProcessTest, ReleasingTheInstanceEndsAnIdleServer) {
    pid_t pid;
    {
        auto app = Application::create();
        auto doc = app.Documents().Add();
        pid = onlyChild();
        ASSERT_GT(pid, 0);
        app.release();
        EXPECT_FALSE(reaped(pid)); // the document handle still holds the instance
    }
    EXPECT_TRUE(reaped(pid));
}

TEST_F(WordProcessTest, ServerKilledDuringACallRaises) {
    env_.set("QUILLMEND_WORD_TEST_DELAY_MS", "20000");
    auto app = Application::create();
    const pid_t pid = onlyChild();
    ASSERT_GT(pid, 0);
    const auto started = std::chrono::steady_clock::now();
    auto pending = callInBackground(app);
    std::this_thread::sleep_for(300ms); // the request is now waiting in the server
    ::kill(pid, SIGKILL);
    const std::string error = pending.get();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_NE(error.find("ended during the call"), std::string::npos) << error;
    EXPECT_NE(error.find("signal 9"), std::string::npos) << error;
    EXPECT_TRUE(reaped(pid));
    EXPECT_THROW(app.Documents(), WordError); // and so does every later call
}

TEST_F(WordProcessTest, ServerGoneBetweenCallsRaisesWithoutSigpipe) {
    auto app = Application::create();
    auto range = app.Documents().Add().Content();
    const pid_t pid = onlyChild();
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGKILL);
    // Let it die (it stays a zombie until the connection reaps it).
    for (int i = 0; i < 200 && test::readText("/proc/" + std::to_string(pid) + "/stat").find(") Z") == std::string::npos; ++i)
        std::this_thread::sleep_for(5ms);
    // Writing to the dead server's pipe must not end this process with SIGPIPE.
    EXPECT_THROW(range.InsertAfter(std::string(1 << 20, 'x')), WordError);
    EXPECT_TRUE(reaped(pid));
}

TEST_F(WordProcessTest, StopvaneEndsACallBlockedInTheServer) {
    env_.set("QUILLMEND_WORD_TEST_DELAY_MS", "30000");
    auto app = Application::create();
    const pid_t pid = onlyChild();
    ASSERT_GT(pid, 0);
    const auto started = std::chrono::steady_clock::now();
    auto pending = callInBackground(app);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(process::runAndWait(test::binDir() / "stopvane", {"-check"}), 1);
    EXPECT_EQ(process::runAndWait(test::binDir() / "stopvane", {""}), 0);
    ASSERT_EQ(pending.wait_for(10s), std::future_status::ready) << "the call is still blocked";
    const std::string error = pending.get();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_NE(error.find("ended during the call"), std::string::npos) << error;
    EXPECT_TRUE(reaped(pid));
    EXPECT_EQ(process::runAndWait(test::binDir() / "stopvane", {"-check"}), 0);
}

// In a private scope the companion tool could only meet this process's own servers, so it is
// started only while one of them lives; outside such a scope it always runs.
TEST_F(WordProcessTest, StopvaneRunsInAPrivateScopeOnlyWhileAServerLives) {
    auto& s = session();
    const auto installed = s.installFolder;
    s.installFolder = dir_ / "install";
    fs::create_directories(s.installFolder);
    test::writeText(s.installFolder / "stopvane", "#!/bin/sh\necho ran >> \"$(dirname \"$0\")/runs\"\n");
    fs::permissions(s.installFolder / "stopvane", fs::perms::owner_all);
    auto runs = [&] { return test::readText(s.installFolder / "runs").size() / 4; };
    enterPrivateServerScope();
    RunStopvane();
    EXPECT_EQ(runs(), 0u);
    auto app = Application::create();
    RunStopvane();
    EXPECT_EQ(runs(), 1u) << "a live server";
    app.Quit();
    RunStopvane();
    EXPECT_EQ(runs(), 1u) << "its server ended";
    leaveServerScope();
    RunStopvane();
    EXPECT_EQ(runs(), 2u) << "outside a private scope";
    s.installFolder = installed;
}

// A batch keeps its servers as spares: a quit or released instance leaves its process, reset,
// for the next instance of the same program and environment, and nothing else.
TEST_F(WordProcessTest, SpareServersServeOnlyTheirOwnScopeAndEnvironment) {
    const auto stopvane = test::binDir() / "stopvane";
    enterPrivateServerScope();
    pid_t first;
    {
        const KeepSpareServers keep;
        auto app = Application::create();
        app.Documents().Add();
        first = onlyChild();
        ASSERT_GT(first, 0);
        app.Quit();
        EXPECT_THROW(app.Version(), WordError);
        EXPECT_EQ(spareServers(), 1);
        EXPECT_EQ(liveServers(), 0);
        {
            auto again = Application::create();
            EXPECT_EQ(onlyChild(), first);
            EXPECT_EQ(liveServers(), 1);
            EXPECT_EQ(again.Version(), "12.0");
            EXPECT_THROW(again.Selection(), WordError) << "the document of the last instance is gone";
            again.Documents().Add();
        } // released without Quit
        EXPECT_EQ(spareServers(), 1);
        EXPECT_EQ(onlyChild(), first);

        env_.set("QUILLMEND_WORD_TEST_DELAY_MS", "1");
        auto other = Application::create();
        EXPECT_TRUE(reaped(first)) << "a spare started with another environment";
        const pid_t second = onlyChild();
        EXPECT_NE(second, first);
        other.Quit();
        EXPECT_EQ(process::runAndWait(stopvane, {""}), 0); // ends spares like any server
        EXPECT_EQ(Application::create().Version(), "12.0");
        first = onlyChild();
        EXPECT_NE(first, second);
    }
    EXPECT_EQ(spareServers(), 0);
    EXPECT_TRUE(reaped(first)) << "the spares end with the last keeper";
    leaveServerScope();

    const KeepSpareServers keep; // outside a private scope nothing is kept
    auto app = Application::create();
    const pid_t pid = onlyChild();
    app.Quit();
    EXPECT_TRUE(reaped(pid));
    EXPECT_EQ(spareServers(), 0);
}

TEST_F(WordProcessTest, LargeTextCrossesThePipe) {
    auto app = Application::create();
    auto doc = app.Documents().Add();
    auto range = doc.Content();
    std::string big;
    for (int i = 0; i < 40000; ++i)
        big += "Zeile " + std::to_string(i) + " äöü ";
    range.InsertAfter(big); // far more than a pipe buffer holds
    const auto out = dir_ / "big.txt";
    doc.SaveAs(documentProfile("12.0", out.string()));
    EXPECT_EQ(docserver::readDocument(out).plainText(), big);
    app.Quit();
}

TEST_F(WordProcessTest, BatchedInsertsKeepTheirOrderAndAFailureShowsAtTheNextCall) {
    auto app = Application::create();
    auto doc = app.Documents().Add();
    auto range = doc.Content();
    // More calls than one batch holds, and more text than one batch holds.
    std::string expected;
    for (int i = 0; i < 40000; ++i) {
        const std::string text = i % 1000 == 0 ? std::string(100000, 'a' + i / 1000 % 26) : std::to_string(i);
        range.InsertAfter(text);
        range.InsertAfter("");
        expected += text;
        if (i % 3 == 0) {
            range.InsertParagraphAfter();
            expected += '\n';
        }
    }
    range.InsertAfter("end");
    expected += "end";
    const auto out = dir_ / "many.txt";
    doc.SaveAs(documentProfile("12.0", out.string()));
    EXPECT_EQ(docserver::readDocument(out).plainText(), expected);

    // An insert the server refuses (its document is closed) is raised by Flush or by the next
    // call that is not an insert, and the server lives on.
    doc.Close();
    EXPECT_NO_THROW(range.InsertAfter("late"));
    EXPECT_THROW(range.Flush(), WordError);
    EXPECT_NO_THROW(range.InsertAfter("later"));
    EXPECT_NO_THROW(range.InsertParagraphAfter());
    EXPECT_THROW(app.Version(), WordError);
    EXPECT_EQ(app.Version(), "12.0");
    app.Quit();
}

TEST_F(WordProcessTest, MissingServerProgramFailsTheStart) {
    env_.set("QUILLMEND_WORD_SERVER", (dir_ / "no-such-server").string());
    EXPECT_THROW(Application::create(), WordError);
}

TEST_F(WordProcessTest, MalformedRepliesRaiseAndTheServerIsReaped) {
    // A length above the limit, then a well-framed reply with an unknown status.
    for (const std::string reply : {"\\377\\377\\377\\377", "\\001\\000\\000\\000\\007"}) {
        SCOPED_TRACE(reply);
        fakeServer("printf '" + reply + "'; exec cat >/dev/null");
        auto app = Application::create();
        const pid_t pid = onlyChild();
        ASSERT_GT(pid, 0);
        try {
            app.Version();
            ADD_FAILURE() << "a malformed reply was accepted";
        } catch (const WordError& e) {
            EXPECT_NE(std::string(e.what()).find("failed"), std::string::npos) << e.what();
        }
        EXPECT_TRUE(reaped(pid));
    }
}

// Also when spares are kept, where the release first asks the server to quit.
TEST_F(WordProcessTest, AServerThatIgnoresTheClosedPipeIsKilled) {
    fakeServer("exec sleep 30");
    for (const bool spares : {false, true}) {
        SCOPED_TRACE(spares);
        std::optional<KeepSpareServers> keep;
        if (spares)
            enterPrivateServerScope(), keep.emplace();
        pid_t pid;
        const auto started = std::chrono::steady_clock::now();
        {
            auto app = Application::create();
            pid = onlyChild();
            ASSERT_GT(pid, 0);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
        EXPECT_TRUE(reaped(pid));
        EXPECT_EQ(spareServers(), 0);
        if (spares)
            keep.reset(), leaveServerScope();
    }
}

TEST_F(WordProcessTest, ServerProgramLookup) {
    EXPECT_EQ(serverProgram(), server_);
    env_.set("QUILLMEND_WORD_SERVER", std::nullopt);
    auto& s = session();
    const auto saved = s.installFolder;
    // Without an installed server the one beside the running program is used.
    s.installFolder = dir_ / "empty";
    EXPECT_EQ(serverProgram(), fs::read_symlink("/proc/self/exe").parent_path() / "quillmend-word");
    fs::create_directories(dir_ / "install");
    fs::copy_file(server_, dir_ / "install" / "quillmend-word");
    s.installFolder = dir_ / "install";
    EXPECT_EQ(serverProgram(), dir_ / "install" / "quillmend-word");
    s.installFolder = saved;
}

// ---- quillmend-word --convert ----------------------------------------------------------

class WordConvertTest : public test::IsolatedTest {
protected:
    WordConvertTest() { env_.set("QUILLMEND_INSTANCE", "qm-convert-" + std::to_string(::getpid())); }
    // Runs the server program through the shell, stderr into a file.
    int run(const std::string& args) {
        return process::runAndWait("/bin/sh", {"-c", "\"" + (test::binDir() / "quillmend-word").string() + "\" " +
                                                     args + " >\"" + (dir_ / "out.log").string() + "\" 2>\"" +
                                                     (dir_ / "err.log").string() + "\""});
    }
    std::string err() { return test::readText(dir_ / "err.log"); }
    std::string quoted(const std::string& name) { return "\"" + (dir_ / name).string() + "\""; }
};

TEST_F(WordConvertTest, ConvertsByTheOutputName) {
    test::writeText(dir_ / "in.txt", "first paragraph\nzweiter Absatz – ü\n");
    ASSERT_EQ(run("--convert " + quoted("in.txt") + " " + quoted("page.html")), 0) << err();
    EXPECT_NE(test::readText(dir_ / "page.html").find("<html"), std::string::npos);
    ASSERT_EQ(run("--convert " + quoted("page.html") + " " + quoted("back.txt")), 0) << err();
    const auto back = docserver::readDocument(dir_ / "back.txt");
    ASSERT_GE(back.paragraphs().size(), 2u);
    EXPECT_EQ(back.paragraphs()[0].text(), "first paragraph");
    EXPECT_EQ(back.paragraphs()[1].text(), "zweiter Absatz – ü");
}

TEST_F(WordConvertTest, UnreadableInputExitsOneWithOneLine) {
    EXPECT_EQ(run("--convert " + quoted("missing.doc") + " " + quoted("x.txt")), 1);
    const std::string e = err();
    EXPECT_NE(e.find("missing.doc"), std::string::npos) << e;
    EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
    EXPECT_FALSE(fs::exists(dir_ / "x.txt"));
}

TEST_F(WordConvertTest, UsageHelpAndVersion) {
    test::writeText(dir_ / "in.txt", "x");
    EXPECT_EQ(run("--convert " + quoted("in.txt") + " " + quoted("out.xyz")), 2);
    EXPECT_EQ(run("--convert " + quoted("in.txt")), 2);
    EXPECT_EQ(run(""), 2);
    EXPECT_EQ(run("--help"), 0);
    EXPECT_NE(test::readText(dir_ / "out.log").find("--convert INPUT OUTPUT"), std::string::npos);
    EXPECT_EQ(run("--version"), 0);
    EXPECT_EQ(test::readText(dir_ / "out.log").rfind("quillmend-word ", 0), 0u);
}
