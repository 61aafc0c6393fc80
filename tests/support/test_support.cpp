#include "tests/support/test_support.h"

#include "platform/temp.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace qm::test {

ScopedEnv::~ScopedEnv() {
    for (const auto& [name, value] : saved_) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

void ScopedEnv::set(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.count(name)) {
        const char* old = std::getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
    else
        ::unsetenv(name.c_str());
}

TempDir::TempDir() {
    const fs::path base = fs::temp_directory_path();
    path_ = qm::temp::makeFolder("qmtest-", base);
    if (path_.empty())
        throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

IsolatedTest::IsolatedTest() {
    registryFile_ = dir_ / "registry.ini";
    env_.set("QUILLMEND_REGISTRY", registryFile_.string());
    env_.set("XDG_CONFIG_HOME", (dir_ / "config").string());
    fs::create_directories(dir_ / "tmp");
    env_.set("TMPDIR", (dir_ / "tmp").string());
    // Document servers started by this test process, and stopvane runs, stay among themselves:
    // tests running in parallel never end each other's servers.
    env_.set("QUILLMEND_INSTANCE", "qmtest-" + std::to_string(::getpid()));
}

fs::path binDir() {
    if (const char* env = std::getenv("QM_BIN_DIR"); env && *env)
        return env;
    return QM_TEST_BIN_DIR;
}

std::vector<DamagedFile> damagedFiles(const std::string& family) {
    std::vector<DamagedFile> rows;
    std::ifstream manifest(corpusDir() / "damaged" / "manifest.tsv");
    std::string line;
    std::getline(manifest, line); // header
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        DamagedFile f;
        std::getline(fields, f.name, '\t');
        std::getline(fields, f.original, '\t');
        std::getline(fields, f.family, '\t');
        std::getline(fields, f.damageClass, '\t');
        if (f.family == family)
            rows.push_back(f);
    }
    return rows;
}

fs::path corpusDir() {
    if (const char* env = std::getenv("QM_CORPUS_DIR"); env && *env)
        return env;
    return QM_TEST_CORPUS_DIR;
}

bool haveTool(const std::string& name) {
    return std::system(("command -v '" + name + "' > /dev/null 2>&1").c_str()) == 0;
}

std::string runCommand(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        status = -1;
        return out;
    }
    char buf[4096];
    while (const std::size_t n = std::fread(buf, 1, sizeof buf, pipe))
        out.append(buf, n);
    status = ::pclose(pipe);
    return out;
}

std::vector<std::uint8_t> readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeText(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace qm::test
