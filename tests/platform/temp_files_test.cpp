#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/temp.h"
#include "platform/work_control.h"

#include "tests/support/test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

using namespace qm;
using qm::test::IsolatedTest;

class TempNamesTest : public IsolatedTest {};

TEST_F(TempNamesTest, FolderHonoursTmpdirWithTrailingSeparator) {
    EXPECT_EQ(temp::folder(), (dir_ / "tmp").string() + "/");
}

TEST_F(TempNamesTest, NamesStayUniqueWithinOneSecond) {
    std::set<fs::path> names;
    for (int i = 0; i < 2000; ++i) {
        const auto f = temp::makeFile(i % 2 ? ".mht" : ".doc");
        ASSERT_FALSE(f.empty());
        EXPECT_TRUE(fs::exists(f));
        EXPECT_TRUE(names.insert(f).second) << f;
    }
    for (int i = 0; i < 200; ++i) {
        const auto d = temp::makeFolder("w");
        ASSERT_TRUE(fs::is_directory(d));
        EXPECT_TRUE(names.insert(d).second) << d;
    }
    // Look: temp folder + decimal number + extension.
    const auto f = temp::makeFile(".mht");
    EXPECT_EQ(f.parent_path(), dir_ / "tmp");
    EXPECT_EQ(f.extension(), ".mht");
    EXPECT_NE(f.stem().string().find_first_of("0123456789"), std::string::npos);
    EXPECT_EQ(f.stem().string().find_first_not_of("0123456789"), std::string::npos);
}

TEST_F(TempNamesTest, UniqueAcrossThreads) {
    std::vector<std::thread> threads;
    std::vector<std::vector<fs::path>> made(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i)
                made[t].push_back(temp::makeFile(".html"));
        });
    for (auto& th : threads)
        th.join();
    std::set<fs::path> all;
    for (const auto& v : made)
        for (const auto& p : v) {
            ASSERT_FALSE(p.empty());
            all.insert(p);
        }
    EXPECT_EQ(all.size(), 1200u);
}

TEST_F(TempNamesTest, UnwritableFolderGivesEmptyPath) {
    EXPECT_TRUE(temp::makeFile(".x", dir_ / "no" / "such").empty());
    EXPECT_TRUE(temp::makeFolder("p", dir_ / "no" / "such").empty());
}

// Data that fits the buffer needs no file; what does not fit reads back from the file, and a
// file that cannot be made shows as a failed append with errno set.
TEST_F(TempNamesTest, ScratchFileIsMadeOnlyWhenItsBufferOverflows) {
    const std::string big(200'000, 'x');
    for (const bool folderExists : {false, true}) {
        const fs::path folder = dir_ / (folderExists ? "kept" : "gone");
        fs::create_directories(folder);
        env_.set("TMPDIR", folder.string());
        auto f = files::ScratchFile::create();
        ASSERT_TRUE(f);
        ASSERT_TRUE(f->append("small part"));
        if (!folderExists)
            fs::remove(folder); // the file is made in it only now
        char back[5] = {};
        ASSERT_TRUE(f->readAt(6, back, 4));
        EXPECT_EQ(std::string(back, 4), "part");
        EXPECT_FALSE(f->readAt(8, back, 4)) << "past the end";
        errno = 0;
        EXPECT_EQ(f->append(big), folderExists);
        if (!folderExists) {
            EXPECT_EQ(errno, ENOENT);
            continue;
        }
        std::string tail(4, '\0');
        ASSERT_TRUE(f->readAt(10 + big.size() - 4, tail.data(), 4));
        EXPECT_EQ(tail, "xxxx");
        ASSERT_TRUE(f->readAt(0, back, 5));
        EXPECT_EQ(std::string(back, 5), "small");
    }
}

class FilesTest : public IsolatedTest {};

TEST_F(FilesTest, CopyOverwritesEvenReadOnlyTarget) {
    test::writeText(dir_ / "a", "new");
    test::writeText(dir_ / "b", "old content");
    fs::permissions(dir_ / "b", fs::perms::owner_read, fs::perm_options::replace);
    ASSERT_TRUE(files::copyFile(dir_ / "a", dir_ / "b"));
    EXPECT_EQ(test::readText(dir_ / "b"), "new");
    EXPECT_FALSE(files::copyFile(dir_ / "missing", dir_ / "c"));
    EXPECT_FALSE(files::exists(dir_ / "c"));
}

TEST_F(FilesTest, ACopyThatFailsLeavesTheTargetAsItWas) {
    fs::create_directory(dir_ / "out");
    test::writeText(dir_ / "out" / "b", "old content");
    // A source gone before the copy; one whose read fails half-way (a plain file the kernel
    // refuses to read at offset 0).
    for (const fs::path& source : {dir_ / "vanished", fs::path("/proc/self/mem")}) {
        EXPECT_FALSE(files::copyFile(source, dir_ / "out" / "b")) << source;
        EXPECT_EQ(test::readText(dir_ / "out" / "b"), "old content") << source;
        EXPECT_EQ(files::listFolder(dir_ / "out"), std::vector<std::string>{"b"}) << "no partial copy is left";
    }
    // A folder that takes no new file (not enforced for root).
    if (::geteuid() != 0) {
        test::writeText(dir_ / "a", "new");
        fs::create_directory(dir_ / "ro");
        test::writeText(dir_ / "ro" / "b", "old content");
        fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
        EXPECT_FALSE(files::copyFile(dir_ / "a", dir_ / "ro" / "b"));
        EXPECT_EQ(test::readText(dir_ / "ro" / "b"), "old content");
        fs::permissions(dir_ / "ro", fs::perms::owner_all, fs::perm_options::replace);
    }
}

TEST_F(FilesTest, DeleteRenameWritable) {
    test::writeText(dir_ / "f", "x");
    fs::permissions(dir_ / "f", fs::perms::none, fs::perm_options::replace);
    ASSERT_TRUE(files::makeWritable(dir_ / "f"));
    const auto perms = fs::status(dir_ / "f").permissions();
    EXPECT_NE(perms & fs::perms::owner_write, fs::perms::none);
    EXPECT_NE(perms & fs::perms::owner_read, fs::perms::none);
    ASSERT_TRUE(files::renameFile(dir_ / "f", dir_ / "g"));
    EXPECT_FALSE(files::exists(dir_ / "f"));
    EXPECT_TRUE(files::deleteFile(dir_ / "g"));
    EXPECT_FALSE(files::deleteFile(dir_ / "g"));
    fs::create_directories(dir_ / "d");
    EXPECT_FALSE(files::deleteFile(dir_ / "d")) << "folders are not deleted as files";
}

TEST_F(FilesTest, MappedFileViewsRegularFilesOnlyAndNeverBlocks) {
    test::writeText(dir_ / "f", "mapped bytes");
    test::writeText(dir_ / "empty", "");
    fs::create_directories(dir_ / "d");
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0); // no writer: a blocking open would hang
    const auto f = files::MappedFile::open(dir_ / "f");
    ASSERT_TRUE(f);
    EXPECT_EQ(std::string(f->bytes().begin(), f->bytes().end()), "mapped bytes");
    const auto empty = files::MappedFile::open(dir_ / "empty");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->bytes().empty());
    for (const char* refused : {"d", "fifo", "missing"})
        EXPECT_FALSE(files::MappedFile::open(dir_ / refused)) << refused;
}

TEST_F(FilesTest, FoldersCreateListAndRemoveOnlyWhenEmpty) {
    ASSERT_TRUE(files::createFolders(dir_ / "x" / "y" / "z"));
    test::writeText(dir_ / "x" / "y" / "f1", "1");
    files::removeEmptyFolder(dir_ / "x" / "y"); // not empty: stays, silently
    EXPECT_TRUE(fs::is_directory(dir_ / "x" / "y"));
    auto names = files::listFolder(dir_ / "x" / "y");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"f1", "z"}));
    files::removeEmptyFolder(dir_ / "x" / "y" / "z");
    EXPECT_FALSE(fs::exists(dir_ / "x" / "y" / "z"));
    EXPECT_TRUE(files::listFolder(dir_ / "nope").empty());
    files::removeEmptyFolder({}); // harmless
}

TEST_F(FilesTest, DeleteFolderFilesLeavesSubfolders) {
    fs::create_directories(dir_ / "pics" / "sub");
    test::writeText(dir_ / "pics" / "Picture1.Doc", "1");
    test::writeText(dir_ / "pics" / "Picture2.Doc", "2");
    test::writeText(dir_ / "pics" / "sub" / "inner", "3");
    files::deleteFolderFiles(dir_ / "pics");
    EXPECT_FALSE(fs::exists(dir_ / "pics" / "Picture1.Doc"));
    EXPECT_FALSE(fs::exists(dir_ / "pics" / "Picture2.Doc"));
    EXPECT_TRUE(fs::exists(dir_ / "pics" / "sub" / "inner"));
    files::deleteFolderFiles(dir_ / "missing"); // no crash
}

TEST_F(FilesTest, OnlyTheLeftoversOfDeadWritersAreRemoved) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    const std::string dead = std::to_string(child), live = std::to_string(::getpid());
    const std::vector<std::pair<std::string, bool>> names = {
        {"123." + dead + ".part", true},
        {"123." + dead + ".part.a1B2c3", true}, // libzip's file beside the name
        {"123." + live + ".part", false},
        {"123." + live + ".part.a1B2c3", false},
        {"123." + dead + ".part.abc", false},
        {"123." + dead + ".part.a1B2c3d", false},
        {"Report.docx.a1B2c3", false},
        {"Report." + dead + ".part", false},
    };
    for (const auto& [name, _] : names)
        test::writeText(dir_ / name, "x");
    files::removeDeadWritersLeftovers(dir_.path());
    for (const auto& [name, removed] : names)
        EXPECT_EQ(fs::exists(dir_ / name), !removed) << name;
}

TEST(CodePage, DecodesWindows1252AndConfiguredPages) {
    const std::vector<std::uint8_t> bytes{'c', 'a', 'f', 0xE9, ' ', 0x80, 0x93, 'x', 0x94};
    EXPECT_EQ(codepage::toUtf8(bytes, "CP1252"), "caf\xC3\xA9 \xE2\x82\xAC\xE2\x80\x9Cx\xE2\x80\x9D");
    const std::vector<std::uint8_t> cyr{0xCF, 0xF0, 0xE8};
    EXPECT_EQ(codepage::toUtf8(cyr, "CP1251"), "\xD0\x9F\xD1\x80\xD0\xB8");
    test::ScopedEnv env("QUILLMEND_CODEPAGE", "CP1251");
    EXPECT_EQ(codepage::configured(), "CP1251");
    EXPECT_EQ(codepage::toUtf8(cyr), "\xD0\x9F\xD1\x80\xD0\xB8");
    env.set("QUILLMEND_CODEPAGE", std::nullopt);
    EXPECT_EQ(codepage::configured(), "CP1252");
}

TEST(CodePage, UndefinedBytesBecomeReplacementAndDecodingGoesOn) {
    const std::vector<std::uint8_t> bytes{'a', 0x81, 'b'}; // 0x81 is not defined in CP1252
    EXPECT_EQ(codepage::toUtf8(bytes, "CP1252"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(codepage::toUtf8(bytes, "NO-SUCH-CODEPAGE"), "a\xEF\xBF\xBD" "b");
}

TEST(CodePage, Utf16RoundTripWithSurrogates) {
    const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"; // A é € 😀
    const std::string u16 = codepage::utf8ToUtf16le(text);
    EXPECT_EQ(u16.size(), 2u * 5);
    const std::vector<std::uint8_t> bytes(u16.begin(), u16.end());
    EXPECT_EQ(codepage::utf16leToUtf8(bytes), text);
    const std::vector<std::uint8_t> lone{0x00, 0xD8, 'x', 0};
    EXPECT_EQ(codepage::utf16leToUtf8(lone), "\xEF\xBF\xBDx");
    const std::vector<std::uint8_t> bad{0xC3, 0x28};
    EXPECT_FALSE(codepage::isValidUtf8(bad));
    EXPECT_TRUE(codepage::isValidUtf8(std::vector<std::uint8_t>(text.begin(), text.end())));
}

TEST(Process, RunAndWaitReportsExitCodes) {
    EXPECT_EQ(process::runAndWait("/bin/sh", {"-c", "exit 3"}), 3);
    EXPECT_EQ(process::runAndWait("/bin/sh", {"-c", "kill -9 $$"}), 128 + 9);
    EXPECT_EQ(process::runAndWait("/no/such/program", {}), -1);
    EXPECT_FALSE(process::findOnPath("sh").empty());
}

TEST(WorkControlTest, NestedPausesAndStopReleaseACheckpoint) {
    WorkControl control;
    control.pause();
    control.pause();
    control.resume();
    EXPECT_TRUE(control.paused());
    std::atomic<bool> passed{false};
    std::thread worker([&] {
        control.checkpoint();
        passed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(passed);
    control.resume();
    worker.join();
    EXPECT_TRUE(passed);

    control.pause();
    std::atomic<bool> stopped{false};
    std::thread blocked([&] {
        try {
            control.checkpoint();
        } catch (const StopRequested&) {
            stopped = true;
        }
    });
    control.requestStop();
    blocked.join();
    EXPECT_TRUE(stopped);
    control.reset();
    EXPECT_NO_THROW(control.checkpoint());

    // The gate follows the current work of its own thread only.
    control.requestStop();
    EXPECT_NO_THROW(passWorkGate()); // no current work here
    {
        CurrentWorkScope current(control);
        EXPECT_THROW(passWorkGate(), StopRequested);
        std::thread other([] { EXPECT_NO_THROW(passWorkGate()); });
        other.join();
    }
    EXPECT_EQ(currentWork(), nullptr);
    control.reset();
}
