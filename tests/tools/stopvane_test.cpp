#include "app/session_state.h"
#include "engine/engine_helpers.h"
#include "platform/process.h"

#include "tests/support/test_support.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

extern char** environ;

using namespace qm;

namespace {

// A stand-in document server: a copy of a system program renamed "quillmend-word", started
// with the given QUILLMEND_INSTANCE (or none).
class StandIn {
public:
    StandIn(const fs::path& folder, const std::optional<std::string>& instance, bool ignoreTerm = false) {
        const fs::path exe = folder / "quillmend-word";
        if (!fs::exists(exe))
            fs::copy_file("/bin/sh", exe);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("QUILLMEND_INSTANCE=", 0) != 0)
                env.emplace_back(*e);
        if (instance)
            env.push_back("QUILLMEND_INSTANCE=" + *instance);
        const std::string script = ignoreTerm ? "trap '' TERM; while :; do sleep 0.2; done" : "exec 0<&-; while :; do sleep 0.2; done";
        std::vector<std::string> args{exe.string(), "-c", script};
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (::posix_spawn(&pid_, exe.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let it exec
    }
    ~StandIn() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // True while the process has not ended (a zombie counts as ended).
    bool running() const {
        int status;
        return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

int stopvane(const std::optional<std::string>& instance, const std::vector<std::string>& args) {
    test::ScopedEnv env("QUILLMEND_INSTANCE", instance);
    return process::runAndWait(test::binDir() / "stopvane", args);
}

} // namespace

class StopvaneTest : public test::IsolatedTest {};

TEST_F(StopvaneTest, CheckSeesOnlyServersOfTheSameInstance) {
    const std::string mine = "qm-test-" + std::to_string(::getpid());
    EXPECT_EQ(stopvane(mine, {"-check"}), 0);
    StandIn server(dir_.path(), mine);
    ASSERT_TRUE(server.running());
    EXPECT_EQ(stopvane(mine, {"-check"}), 1);
    EXPECT_EQ(stopvane(mine + "-other", {"-check"}), 0);
}

TEST_F(StopvaneTest, KillModeEndsOnlyTheSameInstanceAndWaits) {
    const std::string mine = "qm-kill-" + std::to_string(::getpid());
    StandIn a(dir_.path(), mine), b(dir_.path(), mine), other(dir_.path(), mine + "-x");
    ASSERT_TRUE(a.running() && b.running() && other.running());
    EXPECT_EQ(stopvane(mine, {""}), 0);
    // stopvane returns once the servers are gone: no waiting needed here.
    EXPECT_FALSE(a.running());
    EXPECT_FALSE(b.running());
    EXPECT_TRUE(other.running());
    EXPECT_EQ(stopvane(mine + "-x", {}), 0);
    EXPECT_FALSE(other.running());
}

TEST_F(StopvaneTest, ServerIgnoringTermIsKilledAfterTheGrace) {
    const std::string mine = "qm-stubborn-" + std::to_string(::getpid());
    StandIn stubborn(dir_.path(), mine, /*ignoreTerm=*/true);
    ASSERT_TRUE(stubborn.running());
    EXPECT_EQ(stopvane(mine, {}), 0);
    EXPECT_FALSE(stubborn.running());
}

TEST_F(StopvaneTest, UnknownArgumentIsAUsageError) {
    EXPECT_EQ(stopvane("x", {"--bogus"}), 2);
}

TEST_F(StopvaneTest, RunStopvaneUsesTheInstallFolderAndIgnoresAMissingTool) {
    const std::string mine = "qm-run-" + std::to_string(::getpid());
    test::ScopedEnv env("QUILLMEND_INSTANCE", mine);
    StandIn server(dir_.path(), mine);
    auto& s = session();
    const auto saved = s.installFolder;
    s.installFolder = dir_ / "empty-install";
    RunStopvane(); // no tool there: nothing happens
    EXPECT_TRUE(server.running());
    s.installFolder = test::binDir();
    RunStopvane();
    EXPECT_FALSE(server.running());
    s.installFolder = saved;
}
