// Throughput of the .doc pattern scans and text loops over a 100 MB file read through
// SourceView.
//
// Two contents: random bytes, and Word-like bytes (the corpus's original .doc files repeated,
// or, without the corpus, blocks rich in zeros, FF runs and UTF-16 text). Every occurrence of
// the patterns is broken (one byte set to 'Z', which no pattern holds), so each scan runs over
// the whole file past all the near misses real documents are full of. Reported as
// bytes_per_second.
#include "engine/doc_patterns.h"
#include "engine/doc_steps.h"
#include "engine/doc_text_loop.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace fs = std::filesystem;
using namespace qm::doc;
using qm::Bytes;

namespace {

constexpr std::size_t kFileSize = 100u << 20;

std::vector<std::uint8_t> randomBytes() {
    std::vector<std::uint8_t> d(kFileSize);
    std::mt19937_64 rng(7);
    for (std::size_t i = 0; i + 8 <= d.size(); i += 8) {
        const auto v = rng();
        std::memcpy(d.data() + i, &v, 8);
    }
    return d;
}

void breakPatterns(std::vector<std::uint8_t>& d) {
    const Pattern patterns[] = {pattern::kAllocationRun, pattern::kChainEnd, pattern::kAuthorAnchor,
                                pattern::kListAnchor,    pattern::kRunEnd,   pattern::kPictureRecord};
    for (std::size_t i = 0; i < d.size(); ++i) {
        for (const auto& p : patterns)
            if (i + p.bytes.size() <= d.size() && std::memcmp(d.data() + i, p.bytes.data(), p.bytes.size()) == 0)
                d[i + p.bytes.size() - 1] = 'Z';
        if (i + 16 <= d.size() && pattern::isDocumentHeader(d.data() + i))
            d[i + 15] = 'Z';
    }
}

std::vector<std::uint8_t> wordLikeBytes() {
    std::vector<std::uint8_t> seed;
    const char* corpus = std::getenv("QM_CORPUS_DIR");
    const fs::path originals = fs::path(corpus ? corpus : "/work/shared/corpus") / "originals";
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(originals, ec)) {
        if (e.path().extension() != ".doc")
            continue;
        std::ifstream in(e.path(), std::ios::binary);
        seed.insert(seed.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (seed.empty()) {
        std::mt19937 rng(9);
        for (int block = 0; block < 2048; ++block) {
            const int kind = rng() % 3;
            for (int i = 0; i < 512; ++i)
                seed.push_back(kind == 0 ? 0 : kind == 1 ? 0xFF : (i % 2 ? 0 : 'a' + rng() % 26));
        }
    }
    std::vector<std::uint8_t> d;
    d.reserve(kFileSize);
    while (d.size() < kFileSize)
        d.insert(d.end(), seed.begin(), seed.begin() + std::min(seed.size(), kFileSize - d.size()));
    breakPatterns(d);
    return d;
}

// The file on disk, mapped once per content.
const SourceView& sourceOf(bool wordLike) {
    static std::optional<SourceView> views[2];
    auto& v = views[wordLike];
    if (!v) {
        const auto data = wordLike ? wordLikeBytes() : randomBytes();
        // A file of its own (runs of the benchmark may share the temporary folder).
        std::string name = (fs::temp_directory_path() / "qm-scan-bench-XXXXXX").string();
        const int fd = ::mkstemp(name.data());
        if (fd < 0)
            std::abort();
        ::close(fd);
        const fs::path file = name;
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
        v = SourceView::open(file);
        fs::remove(file); // the mapping stays valid
        // Touch every page so the first run does not measure page faults.
        volatile std::uint8_t sink = 0;
        for (std::size_t i = 0; i < v->size(); i += 4096)
            sink = sink + v->bytes()[i];
    }
    return *v;
}

void run(benchmark::State& state, const std::function<std::size_t(Bytes)>& scan) {
    const auto& src = sourceOf(state.range(0) == 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(scan(src.bytes()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(src.size()));
    state.SetLabel(state.range(0) == 1 ? "word-like" : "random");
}

void BM_AllocationRunLast(benchmark::State& s) {
    run(s, [](Bytes b) { return findLast(b, 0, pattern::kAllocationRun).value_or(0); });
}
void BM_ChainEnd(benchmark::State& s) {
    run(s, [](Bytes b) { return findFirst(b, 512, pattern::kChainEnd).value_or(0); });
}
void BM_DocumentHeader(benchmark::State& s) {
    run(s, [](Bytes b) { return findDocumentHeader(b).value_or(0); });
}
void BM_AuthorAnchor(benchmark::State& s) {
    run(s, [](Bytes b) { return findFirst(b, 0, pattern::kAuthorAnchor).value_or(0); });
}
void BM_ListAnchor(benchmark::State& s) {
    run(s, [](Bytes b) { return findFirst(b, 0, pattern::kListAnchor).value_or(0); });
}
void BM_RunEnd(benchmark::State& s) {
    run(s, [](Bytes b) { return findFirst(b, 0, pattern::kRunEnd).value_or(0); });
}
void BM_PictureScan(benchmark::State& s) {
    run(s, [](Bytes b) { return static_cast<std::size_t>(pictureScan(b, [](Bytes) { return 1; })); });
}
// The record scan and the BLIP scan after it, as candidate 1 runs them.
void BM_PictureRecords(benchmark::State& s) {
    run(s, [](Bytes b) { return static_cast<std::size_t>(pictureRecords(b, [](Bytes) { return 1; })); });
}

// The text loops decode the whole file (an empty range takes the text and drops it).
void BM_TextLoop(benchmark::State& s) {
    run(s, [](Bytes b) {
        qm::word::Range nowhere;
        runTextLoop(b, 0, static_cast<std::uint32_t>(b.size() - kTextLoopEndBase), ChunkKeep::Whole, nowhere);
        return b.size();
    });
}
void BM_RawBlocks(benchmark::State& s) {
    run(s, [](Bytes b) {
        qm::word::Range nowhere;
        insertRawBlocks(b, nowhere);
        return b.size();
    });
}

} // namespace

BENCHMARK(BM_AllocationRunLast)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChainEnd)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DocumentHeader)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AuthorAnchor)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListAnchor)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunEnd)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PictureScan)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PictureRecords)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextLoop)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawBlocks)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
