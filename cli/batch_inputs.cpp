#include "cli/batch_inputs.h"

#include "stages/repair_start.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

namespace qm::cli {

namespace fs = std::filesystem;

namespace {

// Why path cannot be processed, or nothing; for one that can, its size and kind go into in.
std::string problemWith(const std::string& path, Input& in) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::strerror(errno);
    if (S_ISDIR(st.st_mode))
        return "is a folder, not a file";
    if (!S_ISREG(st.st_mode))
        return "not a regular file (a pipe, device or socket)";
    // O_NONBLOCK: if the name was swapped for a FIFO since the check, open still returns.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular)
        return "not a regular file (a pipe, device or socket)";
    const std::string ext = stages::lowerCase(stages::extensionOf(stages::fileNameOf(path)));
    if (ext != "doc" && ext != "docx")
        return "not a Word document (.doc or .docx); skipped";
    in.size = static_cast<std::uint64_t>(st.st_size);
    in.package = ext == "docx";
    return {};
}

} // namespace

std::vector<Input> checkInputs(const std::vector<std::string>& arguments) {
    std::vector<Input> inputs;
    std::vector<std::string> names;
    for (const auto& a : arguments) {
        Input in;
        in.source = fs::absolute(a).lexically_normal().string();
        in.problem = problemWith(a, in);
        inputs.push_back(in);
        names.push_back(stages::fileNameOf(in.source));
    }
    const auto distinct = distinctNames(names);
    for (size_t i = 0; i < inputs.size(); ++i)
        inputs[i].outputName = distinct[i];
    return inputs;
}

std::vector<size_t> longestFirst(const std::vector<Input>& inputs, std::vector<size_t> which) {
    std::stable_sort(which.begin(), which.end(), [&](size_t a, size_t b) {
        if (inputs[a].package != inputs[b].package)
            return inputs[a].package;
        return inputs[a].size > inputs[b].size;
    });
    return which;
}

std::vector<std::string> distinctNames(const std::vector<std::string>& names) {
    std::set<std::string> taken(names.begin(), names.end());
    std::set<std::string> used;
    std::vector<std::string> out;
    for (const auto& name : names) {
        std::string chosen = name;
        if (used.count(name)) {
            const auto dot = name.rfind('.');
            const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
            const std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
            for (int n = 2;; ++n) {
                chosen = stem + " (" + std::to_string(n) + ")" + ext;
                if (!taken.count(chosen) && !used.count(chosen))
                    break;
            }
        }
        used.insert(chosen);
        out.push_back(chosen);
    }
    return out;
}

} // namespace qm::cli
