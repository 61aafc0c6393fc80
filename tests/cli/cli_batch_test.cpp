// End-to-end runs of the built quillmend-cli over the damaged samples, with its own
// document servers (out of process), as a script would run it.
#include "platform/process.h"

#include "tests/support/test_support.h"
#include "tests/zip/zip_builder.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>

using namespace qm;

namespace {

struct CliRun {
    int status = -1;
    std::string out, err;
};

// Runs the program with standard input closed and both outputs captured.
CliRun runCli(const fs::path& dir, const std::vector<std::string>& args) {
    std::string cmd = "'" + (test::binDir() / "quillmend-cli").string() + "'";
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
    const CliRun r = runCli(dir_.path(), {"-o", (dir_ / "out").string(), "--json", report_, letter_});
    ASSERT_EQ(r.status, 0) << r.err;
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
