#include "cli/batch_inputs.h"
#include "cli/batch_report.h"
#include "cli/batch_run.h"
#include "cli/cli_options.h"

#include "tests/support/test_support.h"

#include <sstream>
#include <tuple>

using namespace qm::cli;

TEST(CliOptions, ParsesTheDocumentedForms) {
    auto r = parseArguments(
        {"--quick", "-o", "out", "--previews", "pv", "--best", "bst", "--overwrite", "--json", "a.doc", "b.docx"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.bestDir, std::filesystem::path("bst"));
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
    EXPECT_EQ(parseArguments({"-o", "d", "--best=B", "f"}).options.bestDir, std::filesystem::path("B"));
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
    EXPECT_EQ(parseArguments({"-o", "d", "--best=", "f"}).error, "empty --best folder");
    EXPECT_EQ(parseArguments({"-o", "d", "f", "--best"}).error, "option '--best' requires an argument");
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

TEST(BatchInputs, WorkersTakePackagesFirstThenLargerFiles) {
    qm::test::TempDir dir;
    qm::test::writeText(dir / "A.DOCX", "pk!");
    qm::test::writeText(dir / "b.doc", "12345");
    const auto checked = checkInputs({(dir / "A.DOCX").string(), (dir / "b.doc").string()});
    ASSERT_EQ(checked.size(), 2u);
    EXPECT_TRUE(checked[0].package);
    EXPECT_EQ(checked[0].size, 3u);
    EXPECT_FALSE(checked[1].package);
    EXPECT_EQ(checked[1].size, 5u);

    const auto input = [](bool package, std::uint64_t size) {
        Input in;
        in.package = package;
        in.size = size;
        return in;
    };
    const std::vector<Input> inputs = {input(false, 10), input(true, 5), input(false, 50), input(true, 5), input(true, 100)};
    EXPECT_EQ(longestFirst(inputs, {0, 1, 2, 3, 4}), (std::vector<size_t>{4, 1, 3, 2, 0}));
    EXPECT_EQ(longestFirst(inputs, {0, 2, 3}), (std::vector<size_t>{3, 2, 0}));
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

TEST(CliReport, AWorkersReportKeepsItsAssessedCandidatesAndTheRecommendation) {
    FileReport r;
    r.written = {{1, "o/Preview 1/x.docx"}, {4, "o/Preview 4/x.docx"}};
    for (const auto& [number, words, pictures, language] : {std::tuple{1, 100u, 2u, 80.0}, std::tuple{4, 150u, 0u, 37.5}}) {
        CandidateRecord& c = r.candidate(number);
        c.assessment.words = words;
        c.assessment.pictures = pictures;
        c.assessment.sampled = static_cast<std::uint32_t>(words);
        c.assessment.language = language;
        qm::assess::rescore(c.assessment);
        c.files = {"o/Preview " + std::to_string(number) + "/x.docx"};
    }
    r.candidate(1).files.push_back("o/Preview 1/x_image1.png");
    r.best = "b/x.docx";
    ASSERT_EQ(r.recommended(), &r.candidates[0]); // 80 - 10 + 40 against 37.5 - 56.25
    FileReport back;
    ASSERT_TRUE(deserialize(serialize(r), back));
    ASSERT_EQ(back.candidates.size(), 2u);
    for (size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(back.candidates[k].assessment.score, r.candidates[k].assessment.score) << k;
        EXPECT_EQ(back.candidates[k].files, r.candidates[k].files) << k;
    }
    EXPECT_EQ(back.best, "b/x.docx");
    std::ostringstream json;
    printJson(json, "o", {back}, 0);
    EXPECT_NE(json.str().find("{\"number\": 1, \"path\": \"o/Preview 1/x.docx\", \"words\": 100, \"pictures\": 2, "
                              "\"score\": 110.0}"),
              std::string::npos)
        << json.str();
    EXPECT_NE(json.str().find("\"recommended\": 1, \"recommended_path\": \"o/Preview 1/x.docx\", \"best\": \"b/x.docx\""),
              std::string::npos)
        << json.str();
    std::ostringstream summary;
    printSummary(summary, {back});
    EXPECT_NE(summary.str().find("  o/Preview 1/x.docx: 100 words, 2 pictures, score 110.0, recommended\n"),
              std::string::npos)
        << summary.str();
}
