// The save engine: writes one chosen candidate of one source file as a Word document into the
// destination folder the user picked.
//
// It does not copy the previews: it runs the salvage again from session().saveSourcePath with
// the analysis side's scans, loops and tail copy, and has a document server save real documents
// (the format follows the file name) into the candidate folders "Preview 1" to "Preview 4".
// The saving worker sets saveSourcePath, saveFileName and saveTargetPath before each call.
//
// Every operation returns 1 when it wrote something, else 0, and never throws: a failing
// document-server call outside the steps an operation guards, or a file or ZIP error, ends that
// candidate only. Its output is then missing (never half-written), the server instance is ended
// and the candidate's temporary files are removed. The source file is only ever read.
#pragma once

#include "engine/doc_patterns.h"
#include "engine/doc_steps.h"

#include <filesystem>
#include <string>

namespace qm {

// Which save of candidate 1 runs: Save Current Preview or Save All.
enum class SaveVariant { CurrentFile, AllFiles };

// Quick Repair: copies the source to target and rewrites the copy's container header. Returns 0
// when the source has no allocation run past offset 0 (the copy then stays an exact copy).
int QuickRepairCopy(const std::filesystem::path& target);

// Candidate 1 of a .doc source, in this order: the picture documents, method 1's text, and the
// combined document made of both.
int ExtractPicturesTo(const std::filesystem::path& candidateFolder);
int MakeSavePictureDoc(Bytes record, const std::filesystem::path& candidateFolder);
// Method 1: the text the document header locates, saved as candidateFolder/fileName
// (saveTextDocPath), then the tail copy. Each chunk keeps all its k characters.
int SaveFibText(const std::string& fileName, const std::filesystem::path& candidateFolder);
// The combined document saved to saveTargetPath; fibTextResult is SaveFibText's result. Removes
// the picture documents and their folder afterwards.
int SaveCombinedDoc(SaveVariant variant, int fibTextResult);

// Methods 2 (author anchor; chunks keep k characters) and 3 (list anchor; k - 1 characters).
int SaveAnchoredText(doc::Anchor anchor, const std::filesystem::path& candidateFolder, const std::string& fileName);
// Method 4: the printable 512-byte blocks.
int SaveRawBlocks(const std::string& fileName, const std::filesystem::path& candidateFolder);

// Candidate 1 of a .docx source: the package is unpacked in a temporary working folder, the
// text of word/document.xml is saved to saveTargetPath (see SaveDocxText) and every media file
// is copied beside it as <name without extension>_<media name> (listed in saveMediaCopies). The
// working folder is removed. Returns 1 when the document or any media copy was written.
int SaveDocxCandidate(const std::filesystem::path& candidateFolder);
// Saves the text of a document.xml to saveTargetPath: under its own name when the server's
// version is "12.0", else with ".doc" in place of its extension (saveTargetPath is updated).
int SaveDocxText(const std::filesystem::path& documentXmlPath);
// Copies every plain file of mediaFolder to prefix + "_" + its name, replacing what is there.
// Returns the number of files copied; each copy is added to saveMediaCopies.
int CopyMediaFiles(const std::string& prefix, const std::filesystem::path& mediaFolder);

// Why the last output the engine tried to save could not be written ("cannot write ...: No
// space left on device"), or empty; reading it clears it.
std::string takeWriteFailure();

// True when a written output holds any text (other than blanks) or picture, or cannot be read
// back but holds a byte other than zero (it is then kept as it is).
bool OutputHoldsContent(const std::filesystem::path& output);

} // namespace qm
