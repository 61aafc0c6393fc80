// Step 1's numbered list of source files, without its window: which picked paths become rows,
// and the numbering after a removal.
#pragma once

#include <string>
#include <vector>

namespace qm::stages {

struct SourceRow {
    int number;       // 1-based, shown in column " File No."
    std::string path; // absolute, shown in column " File Name"
};

class SourceList {
public:
    // Adds each picked path in order, skipping empty paths, paths that name no regular file,
    // and files already in the list. "Already in the list" means the same file whatever
    // spelling reached it (another relative form, a symbolic or hard link); names that differ
    // only in letter case are different files. Returns the number of rows added.
    int add(const std::vector<std::string>& picked);

    // Clear selected: removes the row at a 0-based index and numbers the rest 1..n again.
    // False when there is no such row.
    bool removeAt(int index);
    // Clear All.
    void clear();

    const std::vector<SourceRow>& rows() const { return rows_; }
    std::vector<std::string> paths() const;
    bool empty() const { return rows_.empty(); }
    int size() const { return static_cast<int>(rows_.size()); }

private:
    std::vector<SourceRow> rows_;
};

} // namespace qm::stages
