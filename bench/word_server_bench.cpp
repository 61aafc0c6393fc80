// The document server's costs: starting a Word instance (a quillmend-word process), inserting
// a 1 MB .doc, and SaveAs in each format. Run from the build's bin folder (the server is found
// beside the program) or set QUILLMEND_WORD_SERVER.
#include "docserver/doc_binary.h"
#include "docserver/document.h"
#include "engine/word_automation.h"
#include "engine/word_binding.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace qm;

namespace {

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 3; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void chunk(std::vector<std::uint8_t>& png, const char* type, const std::vector<std::uint8_t>& data) {
    put32(png, static_cast<std::uint32_t>(data.size()));
    const size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put32(png, static_cast<std::uint32_t>(crc32(0, png.data() + start, static_cast<uInt>(png.size() - start))));
}

// A valid RGB PNG of size x size pixels with a noisy gradient (so it does not compress to nothing).
std::vector<std::uint8_t> makePng(int size) {
    std::vector<std::uint8_t> raw;
    std::uint32_t seed = 12345;
    for (int y = 0; y < size; ++y) {
        raw.push_back(0);
        for (int x = 0; x < size * 3; ++x) {
            seed = seed * 1103515245u + 12345u;
            raw.push_back(static_cast<std::uint8_t>(x + y + ((seed >> 16) & 0x1F)));
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> packed(packedSize);
    compress(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()));
    packed.resize(packedSize);
    std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<std::uint8_t> ihdr;
    put32(ihdr, static_cast<std::uint32_t>(size));
    put32(ihdr, static_cast<std::uint32_t>(size));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    chunk(png, "IHDR", ihdr);
    chunk(png, "IDAT", packed);
    chunk(png, "IEND", {});
    return png;
}

// About 1 MB of text in paragraphs of a few hundred characters, with two pictures.
docserver::Document makeLargeDocument() {
    docserver::Document doc;
    const std::string words = "Der schnelle braune Fuchs springt über den faulen Hund; the quick brown fox. ";
    size_t total = 0;
    for (int p = 0; total < 1'000'000; ++p) {
        std::string para = "Paragraph " + std::to_string(p) + ": ";
        while (para.size() < 400)
            para += words;
        total += para.size();
        doc.insertAfter(para);
        doc.insertParagraphAfter();
        if (p == 10 || p == 2000)
            doc.insertPicture(docserver::Picture::fromBytes(makePng(128)));
    }
    return doc;
}

struct Fixture {
    fs::path folder;
    fs::path largeDoc;
    Fixture() {
        folder = fs::temp_directory_path() / ("qm-word-bench-" + std::to_string(::getpid()));
        fs::create_directories(folder);
        largeDoc = folder / "large.doc";
        const auto bytes = docserver::writeDocBinary(makeLargeDocument());
        std::ofstream(largeDoc, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void useBinding(bool outOfProcess) {
    word::setConnectionFactory(outOfProcess ? word::ConnectionFactory(word::connectOutOfProcess)
                                            : word::ConnectionFactory(word::connectInProcess));
}

// Start, one round trip, Quit: what every salvage method pays for its own Word instance.
void BM_InstanceStart(benchmark::State& state) {
    useBinding(state.range(0) != 0);
    for (auto _ : state) {
        auto app = word::Application::create();
        benchmark::DoNotOptimize(app.Version());
        app.Quit();
    }
}
BENCHMARK(BM_InstanceStart)->Arg(1)->Arg(0)->ArgName("out_of_process")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_InsertFileLargeDoc(benchmark::State& state) {
    useBinding(state.range(0) != 0);
    const auto& f = fixture();
    auto app = word::Application::create();
    auto documents = app.Documents();
    for (auto _ : state) {
        auto doc = documents.Add();
        app.Selection().InsertFile(f.largeDoc.string());
        state.PauseTiming();
        doc.Close();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fs::file_size(f.largeDoc)));
    state.counters["file_bytes"] = static_cast<double>(fs::file_size(f.largeDoc));
    app.Quit();
}
BENCHMARK(BM_InsertFileLargeDoc)->Arg(1)->Arg(0)->ArgName("out_of_process")->Unit(benchmark::kMillisecond)->UseRealTime();

// SaveAs of the 1 MB document (two pictures) in each format, out of process.
void BM_SaveAs(benchmark::State& state) {
    useBinding(true);
    static const std::vector<std::pair<std::string, std::int16_t>> kinds{
        {".html", 8}, {".mht", 9}, {".docx", -1}, {".doc", -1}, {".rtf", -1}, {".txt", -1}};
    const auto& [ext, format] = kinds.at(static_cast<size_t>(state.range(0)));
    state.SetLabel(ext);
    const auto& f = fixture();
    auto app = word::Application::create();
    auto doc = app.Documents().Add();
    app.Selection().InsertFile(f.largeDoc.string());
    const auto target = f.folder / ("saved" + ext);
    for (auto _ : state) {
        doc.SaveAs(format < 0 ? word::documentProfile("12.0", target.string())
                              : word::fullWebProfile("12.0", target.string(), format));
    }
    app.Quit();
}
BENCHMARK(BM_SaveAs)->DenseRange(0, 5)->ArgName("format")->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
