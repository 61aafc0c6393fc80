// Salvage of a damaged .docx package into its two previews: the text of word/document.xml
// rendered by a document server as a web archive (Preview 1) and a page of the extracted
// pictures (Preview 2).
#pragma once

#include "engine/word_automation.h"

#include <filesystem>

namespace qm {

// Salvages session().currentSourcePath: copies it into a new working folder
// (session().docxWorkFolder), and when the copy holds a local header signature, unpacks every
// entry and makes Preview 1 from word/document.xml; then thins the working folder out, making
// Preview 2 from word/media/ on the way. An error of the ZIP reader costs only the entry it
// concerns; an error of the document server costs Preview 1. Either way the clean-up runs and
// nothing escapes (a stop request is passed on after the clean-up). Returns 0 when the working
// copy could not be made, else 1. The source is only read.
int SalvageDocxFile();

// Makes Preview 1 (session().previewDocxPath[1], always a ".mht" web archive) from a
// document.xml: a new document server instance gets the part's text, run by run, and saves it.
// Returns false when the file does not exist. A server error is raised after the instance was
// ended and a half-made preview file removed.
bool SalvageDocxText(const std::filesystem::path& documentXmlPath);

namespace docx {

// Inserts the text of a package part at the end of range: per run InsertAfter(text) and
// InsertAfter(""), per paragraph end InsertParagraphAfter. Returns false when the part cannot
// be read. Server errors are raised (every insert has been performed when it returns).
bool InsertPartText(const std::filesystem::path& part, word::Range& range);

} // namespace docx
} // namespace qm
