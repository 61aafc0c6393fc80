#include "app/activity_log.h"
#include "platform/registry.h"

#include "tests/support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

using namespace qm;

class ActivityLogTest : public test::IsolatedTest {
protected:
    ActivityLogTest() {
        fs::create_directories(dir_ / "install");
        fs::create_directories(dir_ / "logs");
    }
    void setValues(bool filePath, std::optional<std::string> logPath) {
        if (filePath)
            registry::writeValue("TYDOC", "FilePath", (dir_ / "install").string());
        if (logPath)
            registry::writeValue("TYDOC", "LogPath", *logPath);
    }
};

TEST_F(ActivityLogTest, LogPathPreferredElseFilePath) {
    setValues(true, (dir_ / "logs").string());
    EXPECT_EQ(logFilePath(), dir_ / "logs" / "Activity Log.txt");
    registry::writeValue("TYDOC", "LogPath", (dir_ / "logs").string() + "/"); // no doubled separator
    EXPECT_EQ(logFilePath().string(), (dir_ / "logs").string() + "/Activity Log.txt");

    registry::writeValue("TYDOC", "LogPath", (dir_ / "missing").string());
    EXPECT_EQ(logFilePath(), dir_ / "install" / "Activity Log.txt");
    registry::writeValue("TYDOC", "LogPath", "");
    EXPECT_EQ(logFilePath(), dir_ / "install" / "Activity Log.txt");
    registry::deleteValue("TYDOC", "LogPath");
    ASSERT_TRUE(appendLog("a\r\n"));
    EXPECT_EQ(test::readText(dir_ / "install" / "Activity Log.txt"), "a\r\n");
}

TEST_F(ActivityLogTest, BothMissingNameTheUsersStateFolderNeverTheRoot) {
    env_.set("XDG_STATE_HOME", (dir_ / "state").string());
    EXPECT_EQ(logFilePath(), dir_ / "state" / "quillmend" / "Activity Log.txt");
    ASSERT_TRUE(ensureWritableLogFolder());
    ASSERT_TRUE(appendLog("x"));
    EXPECT_EQ(test::readText(dir_ / "state" / "quillmend" / "Activity Log.txt"), "x");
    registry::deleteValue("TYDOC", "LogPath"); // recorded when the folder was made
    env_.set("XDG_STATE_HOME", std::nullopt);
    env_.set("HOME", std::nullopt);
    EXPECT_EQ(logFilePath(), fs::path());
    EXPECT_FALSE(ensureWritableLogFolder());
    EXPECT_FALSE(appendLog("y"));
}

// A system installation folder without a log folder: the user's state folder is recorded.
TEST_F(ActivityLogTest, UnusableLogFolderFallsBackToTheUsersStateFolder) {
    env_.set("XDG_STATE_HOME", (dir_ / "state").string());
    setValues(true, std::nullopt);
    ASSERT_TRUE(ensureWritableLogFolder());
    EXPECT_EQ(registry::readValue("TYDOC", "LogPath"), "") << "a usable folder is kept";
    registry::writeValue("TYDOC", "FilePath", (dir_ / "gone").string());
    ASSERT_TRUE(ensureWritableLogFolder());
    EXPECT_EQ(registry::readValue("TYDOC", "LogPath"), (dir_ / "state" / "quillmend").string());
    ASSERT_TRUE(appendLog("x"));
    EXPECT_EQ(test::readText(dir_ / "state" / "quillmend" / "Activity Log.txt"), "x");
}

TEST_F(ActivityLogTest, LongFragmentsAreWrittenWhole) {
    setValues(true, std::nullopt);
    const std::string longPath = "/" + std::string(600, 'p') + "/\xC3\xA9nd.doc\r\n";
    ASSERT_TRUE(appendLog("first\r\n"));
    ASSERT_TRUE(appendLog(longPath));
    EXPECT_EQ(test::readText(dir_ / "install" / "Activity Log.txt"), "first\r\n" + longPath);
}

TEST_F(ActivityLogTest, SizeLimitKeepsExactlyTheLimitAndRestartsAboveIt) {
    setValues(true, std::nullopt);
    const auto log = dir_ / "install" / "Activity Log.txt";
    test::writeText(log, std::string(kLogSizeLimit, 'x'));
    ASSERT_TRUE(appendLog("y"));
    EXPECT_EQ(fs::file_size(log), kLogSizeLimit + 1) << "a log of exactly the limit is kept";
    ASSERT_TRUE(appendLog("z"));
    EXPECT_EQ(test::readText(log), "z") << "one byte over the limit restarts the log";
}

TEST_F(ActivityLogTest, ReadOnlyLogIsMadeWritableAndAppended) {
    setValues(true, std::nullopt);
    const auto log = dir_ / "install" / "Activity Log.txt";
    test::writeText(log, "old\r\n");
    fs::permissions(log, fs::perms::owner_read, fs::perm_options::replace);
    ASSERT_TRUE(appendLog("new\r\n"));
    EXPECT_EQ(test::readText(log), "old\r\nnew\r\n");
}

TEST_F(ActivityLogTest, UnwritableFolderLosesTheFragmentQuietly) {
    // A folder that exists but takes no file: read-only for a user, a kernel folder for root.
    fs::path locked = dir_ / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    if (::geteuid() == 0)
        locked = "/proc/self";
    for (const fs::path& folder : {locked, dir_ / "nonexistent"}) {
        registry::writeValue("TYDOC", "FilePath", folder.string());
        EXPECT_FALSE(appendLog("lost\r\n")) << folder;
        EXPECT_FALSE(fs::exists(folder / "Activity Log.txt")) << folder;
    }
    // The next append to a usable folder works, and holds nothing of the lost fragments.
    setValues(true, std::nullopt);
    ASSERT_TRUE(appendLog("kept\r\n"));
    EXPECT_EQ(test::readText(dir_ / "install" / "Activity Log.txt"), "kept\r\n");
    fs::permissions(dir_ / "locked", fs::perms::owner_all, fs::perm_options::replace);
}

// Beside another thread, and beside another process (parallel runs share the log); a record
// of several fragments is not cut into.
TEST_F(ActivityLogTest, ConcurrentAppendsLoseNothingAndKeepEachThreadsOrder) {
    for (const bool processes : {false, true}) {
        SCOPED_TRACE(processes);
        fs::remove(dir_ / "logs" / "Activity Log.txt");
        setValues(true, (dir_ / "logs").string());
        auto writer = [](char id) {
            for (int i = 0; i < 1000; ++i)
                if (id == 'A')
                    appendLog(std::string(1, id) + std::to_string(i) + "\r\n");
                else
                    appendLog({std::string(1, id), std::to_string(i), "\r\n"});
        };
        if (processes) {
            const pid_t child = ::fork();
            if (child == 0) {
                writer('B');
                std::_Exit(0);
            }
            writer('A');
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
        } else {
            std::thread a(writer, 'A'), b(writer, 'B');
            a.join();
            b.join();
        }
        const std::string text = test::readText(dir_ / "logs" / "Activity Log.txt");
        int nextA = 0, nextB = 0;
        size_t pos = 0;
        while (pos < text.size()) {
            const size_t end = text.find("\r\n", pos);
            ASSERT_NE(end, std::string::npos);
            const std::string line = text.substr(pos, end - pos);
            int& next = line[0] == 'A' ? nextA : nextB;
            ASSERT_TRUE(line[0] == 'A' || line[0] == 'B') << line;
            EXPECT_EQ(std::stoi(line.substr(1)), next) << "fragment out of order or lost";
            ++next;
            pos = end + 2;
        }
        EXPECT_EQ(nextA, 1000);
        EXPECT_EQ(nextB, 1000);
    }
}

TEST_F(ActivityLogTest, ClearLogActsOnTheFileBeingWritten) {
    setValues(true, (dir_ / "logs").string());
    test::writeText(dir_ / "install" / "Activity Log.txt", "install folder log");
    ASSERT_TRUE(appendLog("history\r\n"));
    ASSERT_TRUE(clearLog());
    EXPECT_EQ(test::readText(dir_ / "logs" / "Activity Log.txt"), "\r\n");
    EXPECT_EQ(test::readText(dir_ / "install" / "Activity Log.txt"), "install folder log");
}
