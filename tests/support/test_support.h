// Shared fixtures for the tests: a private temporary folder, environment overrides that are
// undone afterwards, and the locations of the built programs and of the real-document corpus.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace qm::test {


// Sets environment variables for the lifetime of the object and restores them after.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const std::string& name, const std::optional<std::string>& value) { set(name, value); }
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    void set(const std::string& name, const std::optional<std::string>& value); // nullopt unsets

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// A fresh folder under the system temporary folder, removed with everything in it afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

// Test fixture: a private temp folder that is also TMPDIR, and a private registry store.
class IsolatedTest : public ::testing::Test {
protected:
    IsolatedTest();
    TempDir dir_;
    ScopedEnv env_;
    fs::path registryFile_;
};

fs::path binDir();    // the build's bin folder (stopvane, quillmend-word, ...)
fs::path corpusDir(); // ../shared/corpus; may not exist

// One row of the corpus's damaged/manifest.tsv.
struct DamagedFile {
    std::string name, original, family, damageClass;
};
// The rows of one family ("doc", "docx"); empty when there is no manifest.
std::vector<DamagedFile> damagedFiles(const std::string& family);

// True when a program of that name is on $PATH.
bool haveTool(const std::string& name);
// Runs a shell command and returns its standard output; its wait status goes to status
// (-1 when it could not be started).
std::string runCommand(const std::string& command, int& status);

std::vector<std::uint8_t> readBytes(const fs::path& p);
void writeBytes(const fs::path& p, const std::vector<std::uint8_t>& bytes);
void writeText(const fs::path& p, const std::string& text);
std::string readText(const fs::path& p);

} // namespace qm::test
