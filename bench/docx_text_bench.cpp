// Preview 1's text step on an 8 MB word/document.xml: the scan alone, and the scan feeding a
// document server in this process and in its own quillmend-word process (what the program
// does). Run from the build's bin folder (the server is found beside the program) or set
// QUILLMEND_WORD_SERVER.
#include "engine/docx_salvage.h"
#include "engine/docx_text_scanner.h"
#include "engine/word_automation.h"
#include "engine/word_binding.h"
#include "platform/files.h"
#include "platform/temp.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace qm;

namespace {

// Paragraphs of two to eight runs in the markup Word writes (properties, attributes, escaped
// characters), up to 8 MB.
struct Part {
    fs::path folder;
    fs::path file;
    std::string xml;
    Part() {
        const char* words[] = {"Der", "schnelle", "braune", "Fuchs", "springt", "über", "den", "faulen",
                               "Hund", "the", "quick", "brown", "fox", "&amp;", "&lt;lazy&gt;", "dog"};
        std::uint32_t seed = 7;
        auto next = [&](std::uint32_t n) { return ((seed = seed * 1103515245u + 12345u) >> 16 & 0x7FFF) % n; };
        xml = "<?xml version=\"1.0\"?><w:document><w:body>";
        for (int p = 0; xml.size() < (8u << 20); ++p) {
            xml += "<w:p w:rsidR=\"00" + std::to_string(p % 97) + "\"><w:pPr><w:pStyle w:val=\"Normal\"/></w:pPr>";
            for (std::uint32_t r = 0, runs = 2 + next(7); r < runs; ++r) {
                xml += r % 3 == 1 ? "<w:r><w:rPr><w:b/></w:rPr><w:t xml:space=\"preserve\">" : "<w:r><w:t xml:space=\"preserve\">";
                for (std::uint32_t w = 0, n = 1 + next(12); w < n; ++w)
                    xml += std::string(words[next(16)]) + " ";
                xml += "</w:t></w:r>";
            }
            xml += "</w:p>";
        }
        xml += "</w:body></w:document>";
        folder = temp::makeFolder("qm-docx-text-bench");
        file = folder / "document.xml";
        std::ofstream(file, std::ios::binary).write(xml.data(), static_cast<std::streamsize>(xml.size()));
    }
    ~Part() { files::removeTree(folder); }
};

const Part& part() {
    static const Part p;
    return p;
}

class Discard : public docx::TextVisitor {
public:
    void run(std::string_view utf8) override { benchmark::DoNotOptimize(utf8.data()); }
    void paragraphEnd() override {}
};

void BM_ScanOnly(benchmark::State& state) {
    const auto& p = part();
    for (auto _ : state) {
        Discard discard;
        docx::ScanPartText({reinterpret_cast<const std::uint8_t*>(p.xml.data()), p.xml.size()}, discard);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.xml.size()));
}
BENCHMARK(BM_ScanOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

// A new instance and document, the part's text inserted, then one more call (every insert has
// been performed once it returns), and Quit.
void BM_InsertPartText(benchmark::State& state) {
    word::setConnectionFactory(state.range(0) ? word::ConnectionFactory(word::connectOutOfProcess)
                                              : word::ConnectionFactory(word::connectInProcess));
    const auto& p = part();
    for (auto _ : state) {
        auto app = word::Application::create();
        auto doc = app.Documents().Add();
        auto range = doc.Content();
        docx::InsertPartText(p.file, range);
        doc.Saved(true);
        app.Quit();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * p.xml.size()));
}
BENCHMARK(BM_InsertPartText)->Arg(1)->Arg(0)->ArgName("out_of_process")->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
