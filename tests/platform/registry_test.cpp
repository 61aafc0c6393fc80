#include "platform/registry.h"

#include "tests/support/test_support.h"

using namespace qm;
using qm::test::IsolatedTest;

class RegistryTest : public IsolatedTest {};

TEST_F(RegistryTest, MissingFileAndValueReadEmpty) {
    EXPECT_EQ(registry::readValue("TYDOC", "FilePath"), "");
    test::writeText(registryFile_, "[TYDOC]\nLogPath=/x\n");
    EXPECT_EQ(registry::readValue("TYDOC", "FilePath"), "");
    EXPECT_EQ(registry::readValue("OTHER", "LogPath"), "");
    EXPECT_EQ(registry::readValue("TYDOC", "LogPath"), "/x");
}

TEST_F(RegistryTest, WriteReadDeleteRoundTrip) {
    ASSERT_TRUE(registry::writeValue("TYDOC", "FilePath", "/opt/q m/with=equals"));
    ASSERT_TRUE(registry::writeValue("TYDOC", "Odd", "back\\slash\nnew line"));
    ASSERT_TRUE(registry::writeValue("CLSID\\{1}", "Server", "s"));
    EXPECT_EQ(registry::readValue("TYDOC", "FilePath"), "/opt/q m/with=equals");
    EXPECT_EQ(registry::readValue("TYDOC", "Odd"), "back\\slash\nnew line");

    ASSERT_TRUE(registry::deleteValue("TYDOC", "Odd"));
    EXPECT_EQ(registry::readValue("TYDOC", "Odd"), "");
    EXPECT_EQ(registry::readValue("TYDOC", "FilePath"), "/opt/q m/with=equals");

    ASSERT_TRUE(registry::deleteKey("CLSID"));
    EXPECT_EQ(registry::readValue("CLSID\\{1}", "Server"), "");
    EXPECT_TRUE(registry::Store::load(registryFile_).hasKey("TYDOC"));
}

TEST_F(RegistryTest, LookupOrderEnvThenUserThenSystem) {
    const auto order = registry::lookupOrder();
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], registryFile_);
    EXPECT_EQ(order[1], dir_ / "config" / "quillmend" / "registry.ini");
    EXPECT_EQ(order[2], "/etc/quillmend/registry.ini");

    // The first file that holds a value wins; a value missing there is taken from the next.
    fs::create_directories(dir_ / "config" / "quillmend");
    test::writeText(dir_ / "config" / "quillmend" / "registry.ini", "[TYDOC]\nFilePath=/user\nLogPath=/userlog\n");
    test::writeText(registryFile_, "[TYDOC]\nFilePath=/env\n");
    EXPECT_EQ(registry::readValue("TYDOC", "FilePath"), "/env");
    EXPECT_EQ(registry::readValue("TYDOC", "LogPath"), "/userlog");

    // Without $QUILLMEND_REGISTRY the per-user file comes first, and HOME is used without XDG_CONFIG_HOME.
    test::ScopedEnv env("QUILLMEND_REGISTRY", std::nullopt);
    EXPECT_EQ(registry::readValue("TYDOC", "FilePath"), "/user");
    env.set("XDG_CONFIG_HOME", std::nullopt);
    env.set("HOME", (dir_ / "home").string());
    EXPECT_EQ(registry::lookupOrder().front(), dir_ / "home" / ".config" / "quillmend" / "registry.ini");
}

TEST_F(RegistryTest, ToleratesJunkLines) {
    test::writeText(registryFile_, "junk\n=novalue\n[TYDOC]\n; comment\n  FilePath =  /a b \r\nbroken line\n[\n");
    EXPECT_EQ(registry::readValue("TYDOC", "FilePath"), "/a b");
}
