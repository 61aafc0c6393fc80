#include "app/single_instance.h"
#include "app/startup.h"

#include "platform/registry.h"
#include "tests/support/test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <thread>

using namespace qm;

class StartupTest : public test::IsolatedTest {
protected:
    StartupTest() {
        fs::create_directories(dir_ / "run");
        fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
        env_.set("XDG_RUNTIME_DIR", (dir_ / "run").string());
    }
    int start(const std::vector<std::string>& args, std::string* errText = nullptr) {
        std::ostringstream out, err;
        const auto rc = startup::beforeWindows(startup::parseArguments(args), "/opt/qm/quillmend", out, err);
        if (errText)
            *errText = err.str();
        return rc.value_or(-1);
    }
};

TEST_F(StartupTest, ArgumentsFlagsAndFiles) {
    const auto o = startup::parseArguments({"--embedding", "-automation", "/abs/a.doc", "rel.docx", "--", "-x.doc"});
    EXPECT_TRUE(o.embedding);
    EXPECT_TRUE(o.automation);
    EXPECT_TRUE(o.error.empty());
    EXPECT_EQ(o.files, (std::vector<std::string>{"/abs/a.doc", (fs::current_path() / "rel.docx").string(),
                                                 (fs::current_path() / "-x.doc").string()}));
    EXPECT_EQ(startup::parseArguments({"--bogus"}).error, "unknown option '--bogus'");
}

// Register and unregister change the store and end without a display; a start without a
// display ends with one line on standard error.
TEST_F(StartupTest, RegisterUnregisterAndNoDisplay) {
    env_.set("DISPLAY", std::nullopt);
    env_.set("WAYLAND_DISPLAY", std::nullopt);
    EXPECT_EQ(start({"--register"}), 0);
    EXPECT_TRUE(startup::registrationsPresent());
    EXPECT_EQ(registry::readValue(std::string("CLSID\\") + startup::kClassId, "LocalServer"),
              "/opt/qm/quillmend --automation");
    registry::writeValue("TYDOC", "FilePath", "/opt/qm");
    EXPECT_EQ(start({"-unregister"}), 0);
    EXPECT_FALSE(startup::registrationsPresent());
    EXPECT_EQ(registry::readValue("TYDOC", "FilePath"), "/opt/qm") << "the installation's own values stay";

    std::string err;
    EXPECT_EQ(start({"a.doc"}, &err), 1);
    EXPECT_EQ(err, std::string(startup::kNoDisplay) + "\n");
    EXPECT_EQ(start({"--nope"}, &err), 2);
    env_.set("DISPLAY", ":99");
    EXPECT_EQ(start({}), -1) << "windows may open";
}

TEST_F(StartupTest, SecondStartHandsItsFilesToTheFirst) {
    SingleInstance first;
    ASSERT_TRUE(first.claim()) << first.why();
    ASSERT_TRUE(first.isPrimary());
    EXPECT_EQ(first.socketPath().parent_path(), dir_ / "run");

    SingleInstance second;
    EXPECT_FALSE(second.claim());
    EXPECT_TRUE(second.otherStartRunning());
    bool sent = false;
    std::thread sender([&] { sent = second.sendFiles({"/a/Report.doc", "/a/report.doc"}); });
    std::vector<std::string> got;
    for (int i = 0; i < 200 && got.empty(); ++i) {
        got = first.poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    sender.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(got, (std::vector<std::string>{"/a/Report.doc", "/a/report.doc"}));

    // An automation client keeps a count while connected.
    const int client = first.attach();
    ASSERT_GE(client, 0);
    for (int i = 0; i < 200 && first.attachedClients() == 0; ++i) {
        first.poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(first.attachedClients(), 1);
    ::close(client);
    first.poll();
    EXPECT_EQ(first.attachedClients(), 0);

    // Another instance value is another program.
    env_.set("QUILLMEND_INSTANCE", "other");
    SingleInstance other;
    EXPECT_TRUE(other.claim());
}

TEST_F(StartupTest, RuntimeFolderFallbackIsPrivate) {
    env_.set("XDG_RUNTIME_DIR", std::nullopt);
    const fs::path folder = privateRuntimeFolder();
    ASSERT_FALSE(folder.empty());
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A link planted in its place is refused.
    fs::remove(folder);
    fs::create_symlink(dir_.path(), folder);
    EXPECT_TRUE(privateRuntimeFolder().empty());
}
