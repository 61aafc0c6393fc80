// What each input of a batch got, and the two ways of printing it: the summary and the
// --json report. A worker process hands its file's record to the parent as text.
#pragma once

#include "engine/candidate_assessment.h"

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace qm::cli {

// One candidate of a file as assessed: its figures and every file it wrote (the document and
// the picture files saved beside it), or the file kept in its place.
struct CandidateRecord {
    assess::Assessment assessment; // assessment.candidate is the candidate's number
    std::vector<std::string> files;
};

struct FileReport {
    std::string source;
    std::vector<std::pair<int, std::string>> written; // (candidate, path)
    std::vector<std::string> kept;
    std::vector<std::string> errors;
    std::vector<std::string> notes; // what the ZIP reader cut or repaired in a source package
    std::string previewsFolder;
    std::string progress; // a worker's progress lines, printed by the parent
    std::vector<CandidateRecord> candidates; // written and kept candidates, assessed
    std::string best;                        // --best: the copy of the recommended candidate

    // The record of the recommended candidate, or nullptr when the file has none.
    const CandidateRecord* recommended() const;
    // The record of candidate number, made when missing.
    CandidateRecord& candidate(int number);

    // Kept outputs count as the file's candidates.
    bool gotCandidate() const { return !written.empty() || !kept.empty(); }
    // Adds an error unless the file already has one with the same cause (the text after the
    // last ": "): a full disk is reported once per file, not once per candidate.
    void addError(const std::string& what);
};

// A JSON string literal. Bytes that are not UTF-8 become \udc80..\udcff (one per byte), so
// the report stays valid and every name can be told apart and restored.
std::string jsonString(const std::string& s);

void printSummary(std::ostream& out, const std::vector<FileReport>& reports);
void printJson(std::ostream& out, const std::string& outputFolder, const std::vector<FileReport>& reports,
               int exitStatus);
// A run refused before any file was processed: under --json an object naming the reason.
void printJsonRefusal(std::ostream& out, const std::string& reason, int exitStatus);

// A report as text and back, for the hand-over from a worker process.
std::string serialize(const FileReport& report);
bool deserialize(const std::string& text, FileReport& report);

} // namespace qm::cli
