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
