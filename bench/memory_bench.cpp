// Peak memory for inputs of growing size: what the document server needs to read a large
// document and write it in each format (quillmend-word --convert), and what a whole salvage
// needs (quillmend-cli and its document servers). Two counters: own_MB, the largest own memory
// (anonymous resident pages, sampled every 10 ms) of the program or of any process it started,
// which is what stays bounded; peak_MB, the peak resident set as the kernel reports it for the
// program and its waited-for children, which also counts the pages of mapped inputs and
// outputs (page cache the system can drop). The times are incidental. Inputs are made in a temporary folder of their own and
// removed. Run from the build's bin folder, e.g.
//   bin/memory_bench --benchmark_filter='/64$'
#include "docserver/doc_binary.h"
#include "docserver/document.h"
#include "docserver/formats.h"
#include "platform/files.h"
#include "platform/temp.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using namespace qm;

namespace {

fs::path binDir() { return fs::canonical("/proc/self/exe").parent_path(); }

// A document of about mb megabytes of text in paragraphs of 60 to 200 characters, with a
// few characters outside ASCII (all of them in Windows-1252).
docserver::Document textDocument(std::size_t mb) {
    static const char* words[] = {"salvage", "Wörter", "damaged", "paragraph", "naïve", "text", "of", "the",
                                  "Word", "document", "café", "recovered", "sector", "piece", "table", "and"};
    std::mt19937 rng(7);
    docserver::Document doc;
    std::string para;
    for (std::size_t total = 0; total < (mb << 20);) {
        para.clear();
        const std::size_t length = 60 + rng() % 140;
        while (para.size() < length)
            para += std::string(words[rng() % 16]) + " ";
        doc.insertAfter(para);
        doc.insertParagraphAfter();
        total += para.size() + 1;
    }
    return doc;
}

// A process's anonymous resident memory in megabytes (0 when it is gone).
double ownMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("RssAnon:", 0) == 0)
            return std::stod(line.substr(8)) / 1024.0;
    return 0;
}

// The largest own memory of a process and its descendants.
double ownMemoryOfTree(pid_t pid) {
    double most = ownMemory(pid);
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (pid_t child; children >> child;)
        most = std::max(most, ownMemoryOfTree(child));
    return most;
}

// Runs a program of the bin folder with TMPDIR set to tmp and returns its peak resident set in
// megabytes (-1 when it failed); ownPeak gets the largest own memory seen.
double peakOf(const std::vector<std::string>& args, const fs::path& tmp, std::string* failure, double* ownPeak) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).substr(0, 7) != "TMPDIR=")
            env.emplace_back(*e);
    env.push_back("TMPDIR=" + tmp.string());
    env.push_back("QUILLMEND_INSTANCE=memory-bench-" + std::to_string(::getpid()));
    std::vector<char*> argv, envp;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        *failure = "cannot start " + args[0];
        return -1;
    }
    int status = 0;
    rusage usage{};
    double own = 0;
    for (;;) {
        const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        own = std::max(own, ownMemoryOfTree(pid));
        ::usleep(10000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) {
        *failure = args[0] + " failed";
        return -1;
    }
    *ownPeak = own;
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

struct Folder {
    fs::path path = temp::makeFolder("qm-memory-bench");
    ~Folder() { files::removeTree(path); }
};

void report(benchmark::State& state, double peak, double own, std::size_t inputBytes, const std::string& failure) {
    if (peak < 0) {
        state.SkipWithError(failure.c_str());
        return;
    }
    state.counters["own_MB"] = own;
    state.counters["peak_MB"] = peak;
    state.counters["input_MB"] = static_cast<double>(inputBytes) / (1 << 20);
}

// The server reads a .doc of state.range(0) MB of text and writes it as .doc, .mht and .docx.
void BM_ServerConvert(benchmark::State& state, const char* outputExtension) {
    Folder dir;
    const fs::path input = dir.path / "input.doc";
    docserver::writeDocBinary(textDocument(static_cast<std::size_t>(state.range(0))), input);
    const fs::path tmp = dir.path / "tmp";
    fs::create_directories(tmp);
    double peak = -1, own = 0;
    std::string failure;
    for (auto _ : state)
        peak = peakOf({(binDir() / "quillmend-word").string(), "--convert", input.string(),
                       (dir.path / (std::string("output") + outputExtension)).string()},
                      tmp, &failure, &own);
    report(state, peak, own, fs::file_size(input), failure);
}

enum class Input { DocText, DocxText, RandomBytes };

// A whole salvage by the command line: a .doc full of text, a .docx whose document part holds
// the text, or random bytes named .doc.
void BM_CliSalvage(benchmark::State& state, Input kind) {
    Folder dir;
    const auto mb = static_cast<std::size_t>(state.range(0));
    fs::path input;
    if (kind == Input::RandomBytes) {
        input = dir.path / "random.doc";
        std::ofstream out(input, std::ios::binary);
        std::mt19937_64 rng(11);
        std::vector<std::uint64_t> block(1 << 14);
        for (std::size_t written = 0; written < (mb << 20); written += block.size() * 8) {
            for (auto& v : block)
                v = rng();
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
        }
    } else {
        input = dir.path / (kind == Input::DocText ? "text.doc" : "text.docx");
        docserver::writeDocument(textDocument(mb), input,
                                 kind == Input::DocText ? docserver::Format::Doc : docserver::Format::Docx);
    }
    const fs::path tmp = dir.path / "tmp";
    fs::create_directories(tmp);
    const fs::path registry = dir.path / "registry.ini";
    std::ofstream(registry) << "[TYDOC]\nLogPath=" << dir.path.string() << "\n";
    ::setenv("QUILLMEND_REGISTRY", registry.c_str(), 1);
    double peak = -1, own = 0;
    std::string failure;
    for (auto _ : state)
        peak = peakOf({(binDir() / "quillmend-cli").string(), "-o", (dir.path / "out").string(), input.string()}, tmp,
                      &failure, &own);
    report(state, peak, own, fs::file_size(input), failure);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int mb : {16, 64, 256})
        b->Arg(mb);
    b->Iterations(1)->Unit(benchmark::kSecond);
}

BENCHMARK_CAPTURE(BM_ServerConvert, to_doc, ".doc")->Apply(sizes);
BENCHMARK_CAPTURE(BM_ServerConvert, to_mht, ".mht")->Apply(sizes);
BENCHMARK_CAPTURE(BM_ServerConvert, to_docx, ".docx")->Apply(sizes);
BENCHMARK_CAPTURE(BM_CliSalvage, doc_text, Input::DocText)->Apply(sizes);
BENCHMARK_CAPTURE(BM_CliSalvage, docx_text, Input::DocxText)->Apply(sizes);
BENCHMARK_CAPTURE(BM_CliSalvage, random_bytes, Input::RandomBytes)->Apply(sizes);

} // namespace

BENCHMARK_MAIN();
