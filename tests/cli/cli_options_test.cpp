#include "cli/batch_inputs.h"
#include "cli/batch_report.h"
#include "cli/batch_run.h"
#include "cli/cli_options.h"

#include "tests/support/test_support.h"

#include <sstream>

using namespace qm::cli;

TEST(CliOptions, ParsesTheDocumentedForms) {
    auto r = parseArguments({"--quick", "-o", "out", "--previews", "pv", "--overwrite", "--json", "a.doc", "b.docx"});
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.options.quick);
    EXPECT_EQ(r.options.outputDir, "out");
    EXPECT_EQ(r.options.previewsDir, std::filesystem::path("pv"));
    EXPECT_EQ(r.options.overwrite, OverwritePolicy::Overwrite);
    EXPECT_TRUE(r.options.json);
    EXPECT_EQ(r.options.files, (std::vector<std::string>{"a.doc", "b.docx"}));

    r = parseArguments({"--output=o2", "--keep-existing", "--", "-dash.doc"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.outputDir, "o2");
    EXPECT_EQ(r.options.overwrite, OverwritePolicy::KeepExisting);
    EXPECT_EQ(r.options.files, (std::vector<std::string>{"-dash.doc"}));
    EXPECT_EQ(parseArguments({"-oX", "f"}).options.outputDir, "X");
    EXPECT_EQ(parseArguments({"-o", "d", "f"}).options.jobs, 1);
    for (auto args : std::vector<std::vector<std::string>>{{"-j", "3"}, {"-j3"}, {"--jobs", "3"}, {"--jobs=3"}}) {
        args.insert(args.end(), {"-o", "d", "f"});
        const auto j = parseArguments(args);
        EXPECT_EQ(j.error, "") << args[0];
        EXPECT_EQ(j.options.jobs, 3) << args[0];
    }
}

TEST(CliOptions, BadUsageHasAOneLineReason) {
    EXPECT_EQ(parseArguments({"-o", "d"}).error, "no input files given");
    EXPECT_EQ(parseArguments({"f.doc"}).error, "no output folder given (-o DIR)");
    EXPECT_EQ(parseArguments({"-o"}).error, "option '-o' requires an argument");
    EXPECT_EQ(parseArguments({"--frobnicate", "-o", "d", "f"}).error, "unrecognized option '--frobnicate'");
    EXPECT_EQ(parseArguments({"--overwrite", "--keep-existing", "-o", "d", "f"}).error,
              "--overwrite and --keep-existing cannot be used together");
    for (const char* bad : {"-j0", "-jx", "--jobs=", "--jobs=65", "-j-1"})
        EXPECT_NE(parseArguments({bad, "-o", "d", "f"}).error.find("invalid number of jobs"), std::string::npos) << bad;
    EXPECT_EQ(parseArguments({"--help"}).error, "");
    EXPECT_TRUE(parseArguments({"--version"}).options.version);
}

TEST(CliMain, UsageErrorsExitTwoWithAMessage) {
    qm::test::TempDir dir;
    std::ostringstream out, err;
    std::istringstream in;
    Console console{out, err, in, false};
    EXPECT_EQ(cliMain({"--bogus"}, console), 2);
    EXPECT_NE(err.str().find("unrecognized option '--bogus'"), std::string::npos);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(cliMain({"--json", "-o", "d"}, console), 2);
    EXPECT_EQ(out.str(), "{\n  \"error\": \"no input files given\",\n  \"files\": [],\n  \"exit_status\": 2\n}\n");
    out.str("");
    err.str("");
    // A missing input is named and skipped; with nothing else to do the run gives exit 1.
    EXPECT_EQ(cliMain({"-o", (dir / "out").string(), (dir / "missing.doc").string()}, console), 1);
    EXPECT_NE(err.str().find("missing.doc': No such file or directory"), std::string::npos) << err.str();
    qm::test::writeText(dir / "blocker", "a file where a folder should be");
    qm::test::writeText(dir / "a.doc", "x");
    err.str("");
    EXPECT_EQ(cliMain({"-o", (dir / "blocker" / "sub").string(), (dir / "a.doc").string()}, console), 2);
    EXPECT_NE(err.str().find("cannot create the output folder '" + (dir / "blocker" / "sub").string() + "': "),
              std::string::npos)
        << err.str();
    EXPECT_EQ(cliMain({"--help"}, console), 0);
    EXPECT_NE(out.str().find("Usage: quillmend-cli"), std::string::npos);
}

TEST(CliReport, SharedNamesGetDistinctOutputNamesAndJsonStaysValidUtf8) {
    EXPECT_EQ(distinctNames({"x.doc", "x (2).doc", "x.doc", "x.doc", "noext", "noext", ".doc", ".doc"}),
              (std::vector<std::string>{"x.doc", "x (2).doc", "x (3).doc", "x (4).doc", "noext", "noext (2)", ".doc",
                                        ".doc (2)"}));
    const struct {
        std::string in, json;
    } cases[] = {
        {"a\"b\\c\n\t", "\"a\\\"b\\\\c\\n\\t\""},
        {"\x01\x7f", "\"\\u0001\\u007f\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"odd\xff\xfe", "\"odd\\udcff\\udcfe\""},
        {"\xc3", "\"\\udcc3\""},                          // cut sequence
        {"\xc0\xaf", "\"\\udcc0\\udcaf\""},               // overlong
        {"\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},    // an encoded surrogate
        {"\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""}, // past U+10FFFF
    };
    for (const auto& c : cases)
        EXPECT_EQ(jsonString(c.in), c.json) << c.in;
}
