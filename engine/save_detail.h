// Helpers shared by the save engine's operations.
#pragma once

#include "engine/word_automation.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qm::save {

// The version whose profiles use the 16-argument SaveAs (every version but "9.0" does).
inline const std::string kSixteenArgumentForm = "12.0";

// path with its extension replaced by ext (ext includes the dot): the text up to the last "."
// of the file name, or the whole name when it has none.
std::filesystem::path withExtension(const std::filesystem::path& path, const std::string& ext);

// The output of a .doc candidate: folder/fileName, or with saveOption 1 the same with ".docx"
// in place of its extension.
std::filesystem::path candidateOutput(const std::filesystem::path& folder, const std::string& fileName);

// SaveAs arguments of a .doc candidate: the document profile (FileName only; the 11-argument
// form for version "9.0"), or with saveOption 1 always the 16-argument form.
std::vector<word::Value> candidateProfile(const std::string& version, const std::filesystem::path& output);

// The full web profile's argument set with FileFormat omitted, in the 16-argument form.
std::vector<word::Value> fullProfileWithoutFormat(const std::filesystem::path& output);

// True when path names the source file being saved (or the same file under another name): the
// engine never writes there.
bool isSource(const std::filesystem::path& path);

// Ends a candidate that failed: removes what it may have written at output (when given), ends
// the document server instance. Never throws.
void abandonCandidate(const std::filesystem::path& output);

// Starts a document server instance, has fill put the text into a new document's content range,
// saves the document as output with the candidate profile (saveTargetPath then names output),
// then Save, Saved, Close and Quit, and ends the instance. Returns 1; on any failure output is
// removed and 0 returned.
int saveNewDocument(const std::filesystem::path& output, const std::function<void(word::Range&)>& fill);

// Records why an output could not be written, for takeWriteFailure(): the exception being
// handled (call it inside a catch block only), or the given reason.
void noteWriteFailure() noexcept;
void noteWriteFailure(const std::string& what) noexcept;

// Runs RunStopvane(), swallowing any error of the tool.
void endServer() noexcept;

// Runs a document-server call whose failure the step ignores; true when it succeeded.
bool tryCall(const std::function<void()>& call) noexcept;

// Removes the picture documents listed in savePictureDocs and their folder, and clears the list
// and savePictureFolderUsed.
void removePictureDocs() noexcept;

// True once, after SaveFibText failed on an error (not merely found nothing): the candidate is
// over, and SaveCombinedDoc only cleans up.
bool takeFibTextFailure() noexcept;
void setFibTextFailure(bool failed) noexcept;

} // namespace qm::save
