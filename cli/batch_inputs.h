// The inputs of a batch before any work starts: which can be processed, why the others
// cannot, and the output name each one saves under.
#pragma once

#include <string>
#include <vector>

namespace qm::cli {

struct Input {
    std::string source;     // absolute, normalised path
    std::string outputName; // distinct among the batch's inputs
    std::string problem;    // non-empty: skipped, with this reason
};

// Checks each argument without blocking on it: it must be a regular file that can be opened
// for reading (a FIFO or device is refused before it is opened) with the extension .doc or
// .docx in any letter case.
std::vector<Input> checkInputs(const std::vector<std::string>& arguments);

// Distinct output names in input order: a name already taken by an earlier input (or by a
// name made this way) becomes "<stem> (2)<ext>", "<stem> (3)<ext>", ...
std::vector<std::string> distinctNames(const std::vector<std::string>& names);

} // namespace qm::cli
