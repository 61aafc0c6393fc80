// The inputs of a batch before any work starts: which can be processed, why the others
// cannot, and the output name each one saves under.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qm::cli {

struct Input {
    std::string source;     // absolute, normalised path
    std::string outputName; // distinct among the batch's inputs
    std::string problem;    // non-empty: skipped, with this reason
    std::uint64_t size = 0; // bytes, when it can be processed
    bool package = false;   // a .docx
};

// Checks each argument without blocking on it: it must be a regular file that can be opened
// for reading (a FIFO or device is refused before it is opened) with the extension .doc or
// .docx in any letter case.
std::vector<Input> checkInputs(const std::vector<std::string>& arguments);

// The order in which worker processes take the inputs of which: packages first, then the
// others, larger before smaller within each. A damaged package can need seconds of searching
// past its broken compressed data whatever its size, while a binary document's time grows with
// its size; a long file taken last would keep one worker busy after the others ran out of work.
// Equal ones keep their input order.
std::vector<std::size_t> longestFirst(const std::vector<Input>& inputs, std::vector<std::size_t> which);

// Distinct output names in input order: a name already taken by an earlier input (or by a
// name made this way) becomes "<stem> (2)<ext>", "<stem> (3)<ext>", ...
std::vector<std::string> distinctNames(const std::vector<std::string>& names);

} // namespace qm::cli
