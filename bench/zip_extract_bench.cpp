// Extracting a ~50 MB .docx-like package with the tolerant ZIP reader against `bsdtar -xf`
// of the same file. Prints the ratio of the two wall-clock times at the end.
#include "platform/process.h"
#include "tests/zip/zip_builder.h"
#include "zip/zip_archive.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

struct Package {
    fs::path folder;
    fs::path archive;
    std::size_t entries = 0;
    std::uint64_t bytes = 0;
};

// XML parts deflated, pictures stored or deflated the way Word writes them: about 50 MB.
const Package& package() {
    static const Package pkg = [] {
        Package p;
        p.folder = fs::temp_directory_path() / ("qm-zip-bench-" + std::to_string(::getpid()));
        fs::create_directories(p.folder);
        p.archive = p.folder / "big.docx";
        qm::zipgen::ZipBuilder zb;
        zb.add("[Content_Types].xml", qm::zipgen::sampleXml(1500, 2));
        zb.add("_rels/.rels", qm::zipgen::sampleXml(600, 3));
        zb.add("word/document.xml", qm::zipgen::sampleXml(48u << 20, 4));
        zb.add("word/styles.xml", qm::zipgen::sampleXml(60000, 5));
        zb.add("word/_rels/document.xml.rels", qm::zipgen::sampleXml(3000, 6));
        for (int i = 1; i <= 39; ++i)
            zb.add("word/media/image" + std::to_string(i) + ".png", qm::zipgen::sampleBinary(1u << 20, 100u + i),
                   i % 2 ? 0 : 8);
        zb.add("docProps/core.xml", qm::zipgen::sampleXml(800, 7));
        zb.finish();
        std::ofstream(p.archive, std::ios::binary)
            .write(reinterpret_cast<const char*>(zb.bytes().data()), static_cast<std::streamsize>(zb.bytes().size()));
        p.entries = zb.placed().size();
        p.bytes = zb.bytes().size();
        return p;
    }();
    return pkg;
}

fs::path freshOutput(const char* name) {
    const fs::path out = package().folder / name;
    fs::remove_all(out);
    fs::create_directories(out);
    return out;
}

void BM_QuillmendExtract(benchmark::State& state) {
    const Package& p = package();
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path out = freshOutput("q");
        state.ResumeTiming();
        qm::CZipArchive zip;
        zip.Open(p.archive, qm::CZipArchive::zipOpen, 1, 0);
        for (std::size_t i = 0; i < zip.GetCount(); ++i)
            zip.ExtractEntry(i, out, qm::CZipArchive::kDefaultOutputBuffer);
        if (zip.GetCount() != p.entries) {
            state.SkipWithError("wrong entry count");
            break;
        }
    }
    state.counters["package_MB"] = static_cast<double>(p.bytes) / 1e6;
}

void BM_BsdtarExtract(benchmark::State& state) {
    const fs::path bsdtar = qm::process::findOnPath("bsdtar");
    if (bsdtar.empty()) {
        state.SkipWithError("bsdtar is not installed");
        return;
    }
    const Package& p = package();
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path out = freshOutput("b");
        state.ResumeTiming();
        if (qm::process::runAndWait(bsdtar, {"-xf", p.archive.string(), "-C", out.string()}) != 0) {
            state.SkipWithError("bsdtar failed");
            break;
        }
    }
    state.counters["package_MB"] = static_cast<double>(p.bytes) / 1e6;
}

// Keeps each benchmark's mean wall-clock time for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration)
                times[run.run_name.function_name] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("BM_QuillmendExtract", BM_QuillmendExtract)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
    benchmark::RegisterBenchmark("BM_BsdtarExtract", BM_BsdtarExtract)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto q = reporter.times.find("BM_QuillmendExtract");
    const auto b = reporter.times.find("BM_BsdtarExtract");
    if (q != reporter.times.end() && b != reporter.times.end() && b->second > 0)
        std::printf("quillmend / bsdtar wall-clock ratio: %.3f (below 1 is faster)\n", q->second / b->second);
    std::error_code ec;
    fs::remove_all(package().folder, ec);
    benchmark::Shutdown();
    return 0;
}
