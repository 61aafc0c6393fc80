// The salvage paths of the ZIP reader: a package of 1,000 entries written by a streaming writer
// (sizes only in data descriptors, no central directory), and a 10 MB document part whose
// deflate data is damaged in the middle (decoded again past the damage).
#include "tests/zip/zip_builder.h"
#include "zip/zip_archive.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const fs::path& folder() {
    static const fs::path f = [] {
        const fs::path p = fs::temp_directory_path() / ("qm-salvage-bench-" + std::to_string(::getpid()));
        fs::create_directories(p);
        return p;
    }();
    return f;
}

fs::path write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const fs::path p = folder() / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p;
}

const fs::path& streamedPackage() {
    static const fs::path p = [] {
        qm::zipgen::ZipBuilder zb;
        for (int i = 0; i < 1000; ++i) {
            const std::string content = qm::zipgen::sampleXml(4000, static_cast<std::uint32_t>(i));
            const std::string packed = qm::zipgen::deflateRaw(content);
            qm::zipgen::LocalHeader h;
            h.flags = 0x08;
            h.name = "word/part" + std::to_string(i) + ".xml";
            qm::zipgen::ZipBuilder d;
            d.put32(0x08074b50);
            d.put32(qm::zipgen::crcOf(content));
            d.put32(static_cast<std::uint32_t>(packed.size()));
            d.put32(static_cast<std::uint32_t>(content.size()));
            zb.addRaw(h, packed + d.str());
        }
        return write("streamed.docx", zb.bytes());
    }();
    return p;
}

const fs::path& damagedPackage() {
    static const fs::path p = [] {
        qm::zipgen::ZipBuilder zb;
        const std::size_t at = zb.add("word/document.xml", qm::zipgen::sampleXml(10u << 20, 9));
        const std::size_t data = at + 30 + 17;
        const std::size_t packed = zb.placed()[0].header.compressedSize;
        for (std::size_t i = data + packed / 2; i < data + packed / 2 + 64; ++i)
            zb.bytes()[i] ^= 0xA5;
        return write("damaged.docx", zb.bytes());
    }();
    return p;
}

void extractAll(benchmark::State& state, const fs::path& archive, std::size_t expected) {
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path out = folder() / "out";
        fs::remove_all(out);
        fs::create_directories(out);
        state.ResumeTiming();
        qm::CZipArchive zip;
        zip.Open(archive);
        for (std::size_t i = 0; i < zip.GetCount(); ++i)
            zip.ExtractEntry(i, out);
        if (zip.GetCount() != expected) {
            state.SkipWithError("wrong entry count");
            break;
        }
        state.counters["notes"] = static_cast<double>(zip.GetNotes().size());
        state.counters["out_MB"] = static_cast<double>(zip.GetExtractedTotal()) / 1e6;
    }
}

void BM_StreamedEntries1000(benchmark::State& state) { extractAll(state, streamedPackage(), 1000); }
void BM_DamagedDocumentPart10MB(benchmark::State& state) { extractAll(state, damagedPackage(), 1); }

BENCHMARK(BM_StreamedEntries1000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_DamagedDocumentPart10MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(folder(), ec);
    return 0;
}
