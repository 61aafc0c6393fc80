// The Word 97-2003 binary format (.doc): an OLE2 compound file holding the WordDocument,
// 1Table and Data streams.
#pragma once

#include "docserver/document.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::docserver {

// Writes a complete .doc file: FIB, piece table, character and paragraph properties,
// stylesheet, section table, document properties, and inline pictures as picture records
// in the Data stream. antiword and LibreOffice read the result.
std::vector<std::uint8_t> writeDocBinary(const Document& doc);
// The same written to file (beside it, then renamed over it) in steps: memory stays bounded
// whatever the document's size. Throws DocError.
void writeDocBinary(const Document& doc, const std::filesystem::path& file);

// Reads text (through the FIB and piece table), paragraph marks, table cells as text and the
// pictures of the picture records. Tolerates damage: reads what it can; throws DocError when
// nothing can be read. Also reads picture documents (a copy of the picture template with a
// picture record written at offset 5120).
Document readDocBinary(std::span<const std::uint8_t> bytes);

// The text of every story of a Word binary document as its piece table lays it out, each
// piece read at its own place in its own encoding (8-bit or UTF-16LE); field codes stay (the
// names of form fields are words a reader sees), their marks go, and paragraph, cell and page
// ends become "\r". The piece table is the one the FIB
// names in the table stream, else one found in the raw bytes whose character positions fit
// the FIB's counts. nullopt when there is no FIB or no such piece table.
std::optional<std::string> pieceTableText(std::span<const std::uint8_t> bytes);
// The same text in steps of at most a few megabytes, for text of any size; false (and no
// call) when there is no FIB or no such piece table.
bool forEachPieceTableText(std::span<const std::uint8_t> bytes, const std::function<void(std::string_view)>& chunk);

// True when the bytes start like a compound file or a bare Word binary document.
bool looksLikeDocBinary(std::span<const std::uint8_t> bytes);

// The picture template: a genuine .doc holding one inline picture whose picture record
// starts at file offset kPictureRecordOffset.
inline constexpr std::size_t kPictureRecordOffset = 5120;
std::vector<std::uint8_t> makePictureTemplate();

} // namespace qm::docserver
