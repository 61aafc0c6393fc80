// Word recall: how much of a reference text another text recovers. Words are the lower-case
// runs of Unicode letters, digits and '_' (like the regular expression \w+) of at least two
// characters; recall is the multiset overlap with the reference divided by the reference's
// word count (1 when the reference has no words).
#pragma once

#include <string>
#include <vector>

namespace qm::test {

std::vector<std::string> wordTokens(const std::string& utf8);
double wordRecall(const std::string& text, const std::string& reference);

// Recall summed over several documents: overlap and reference counts added up.
struct RecallTally {
    std::size_t matched = 0;
    std::size_t total = 0;
    void add(const std::string& text, const std::string& reference);
    double recall() const { return total ? double(matched) / double(total) : 1.0; }
};

} // namespace qm::test
