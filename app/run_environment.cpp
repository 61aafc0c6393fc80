#include "app/run_environment.h"

#include "app/session_state.h"
#include "platform/files.h"
#include "platform/temp.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <vector>

namespace qm {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> getEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

void restoreEnv(const char* name, const std::optional<std::string>& value) {
    if (value)
        ::setenv(name, value->c_str(), 1);
    else
        ::unsetenv(name);
}

constexpr const char* kInstanceVariable = "QUILLMEND_INSTANCE";
std::vector<std::optional<std::string>> scopeStack; // values before each enterPrivateServerScope()
std::string privateScope;                           // the value of the innermost scope

} // namespace

fs::path locateInstallFolder(const fs::path& registered) {
    std::vector<fs::path> candidates{registered};
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        candidates.push_back(self.parent_path());
        candidates.push_back(self.parent_path().parent_path() / "lib" / "quillmend");
    }
    for (const auto& c : candidates)
        if (!c.empty() && files::isFile(c / "stopvane"))
            return c;
    return registered;
}

PrivateTempFolder::PrivateTempFolder(const std::string& prefix) : path_(temp::makeFolder(prefix)) {
    savedTmpDir_ = getEnv("TMPDIR");
    if (!path_.empty())
        ::setenv("TMPDIR", path_.c_str(), 1);
}

PrivateTempFolder::~PrivateTempFolder() {
    if (path_.empty())
        return;
    files::removeTree(path_);
    restoreEnv("TMPDIR", savedTmpDir_);
}

std::string enterPrivateServerScope() {
    static std::atomic<unsigned> counter{0};
    const auto before = getEnv(kInstanceVariable);
    scopeStack.push_back(before);
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string value = before.value_or("run") + "." + std::to_string(::getpid()) + "-" +
                              std::to_string(ticks) + "-" + std::to_string(counter++);
    ::setenv(kInstanceVariable, value.c_str(), 1);
    privateScope = value;
    return value;
}

void leaveServerScope() {
    if (scopeStack.empty())
        return;
    restoreEnv(kInstanceVariable, scopeStack.back());
    scopeStack.pop_back();
    privateScope = scopeStack.empty() ? std::string() : getEnv(kInstanceVariable).value_or("");
}

bool inPrivateServerScope() {
    return !privateScope.empty() && getEnv(kInstanceVariable) == privateScope;
}

void cleanUpRunFiles() {
    auto& s = session();
    s.clearPreviewFiles();
    if (!s.docxWorkFolder.empty())
        files::removeTree(s.docxWorkFolder);
}

} // namespace qm
