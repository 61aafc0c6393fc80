// Reading and writing documents in every format the document server knows.
#pragma once

#include "docserver/document.h"

#include <filesystem>
#include <optional>

namespace qm::docserver {

enum class Format { Html, Mht, Docx, Doc, Rtf, Txt };

// By file name: ".docx", ".doc", ".html"/".htm", ".mht"/".mhtml", ".rtf", ".txt"
// (case-insensitive). nullopt for any other extension.
std::optional<Format> formatFromExtension(const std::filesystem::path& file);

// Writes the document; HTML pages put their pictures in "<name>_files" beside the page.
// Throws DocError when the file cannot be written.
void writeDocument(const Document& doc, const std::filesystem::path& file, Format format);

// Reads a document whatever its format (recognised from the content, not the name).
// Reads what can be read from damaged input; throws DocError when nothing can be read.
Document readDocument(const std::filesystem::path& file);

} // namespace qm::docserver
