#include "stages/source_list.h"

#include "app/session_state.h"

#include <sys/stat.h>

#include <filesystem>

namespace qm::stages {

namespace {

// Device and inode of a regular file (links followed), or nothing.
bool identify(const std::string& path, dev_t& dev, ino_t& ino) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    dev = st.st_dev;
    ino = st.st_ino;
    return true;
}

// The path made absolute with "." parts dropped. With ".." the folder is resolved on disk
// (after a symbolic link ".." is not the folder the text before it names); the file's own
// name stays as picked.
std::string absoluteSpelling(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec);
    if (ec)
        return path;
    for (const auto& part : full) {
        if (part != "..")
            continue;
        const auto folder = std::filesystem::canonical(full.parent_path(), ec);
        return ec ? full.string() : (folder / full.filename()).string();
    }
    return full.lexically_normal().string();
}

} // namespace

int SourceList::add(const std::vector<std::string>& picked) {
    auto& s = session();
    if (s.rowsRenumbered)
        s.nextRowIndex = s.rowCountAfterRemove;
    int added = 0;
    for (const auto& p : picked) {
        dev_t dev{};
        ino_t ino{};
        if (p.empty() || !identify(p, dev, ino))
            continue;
        bool known = false;
        for (const auto& row : rows_) {
            dev_t d{};
            ino_t i{};
            if (identify(row.path, d, i) && d == dev && i == ino) {
                known = true;
                break;
            }
        }
        if (known)
            continue;
        rows_.push_back({size() + 1, absoluteSpelling(p)});
        ++added;
    }
    // Keep the session's counters as the renumbering rules have them.
    if (s.rowsRenumbered)
        s.rowCountAfterRemove = size();
    s.nextRowIndex = size();
    return added;
}

bool SourceList::removeAt(int index) {
    if (index < 0 || index >= size())
        return false;
    auto& s = session();
    rows_.erase(rows_.begin() + index);
    s.rowsRenumbered = true;
    if (rows_.empty()) {
        clear();
        return true;
    }
    for (int i = 0; i < size(); ++i)
        rows_[i].number = i + 1;
    s.rowCountAfterRemove = size();
    return true;
}

void SourceList::clear() {
    rows_.clear();
    auto& s = session();
    s.nextRowIndex = 0;
    s.rowsRenumbered = false;
    s.rowCountAfterRemove = 0;
}

std::vector<std::string> SourceList::paths() const {
    std::vector<std::string> out;
    out.reserve(rows_.size());
    for (const auto& r : rows_)
        out.push_back(r.path);
    return out;
}

} // namespace qm::stages
