// Picture records of Word binary documents: a PICF header (lcb, cbHeader 0x44, mfpf.mm,
// picture size and scaling) followed by the picture itself, which for mm 0x64/0x66 is an
// OfficeArt inline shape container with the image as a BLIP (PNG, JPEG, DIB, EMF, WMF, ...).
#pragma once

#include "docserver/document.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qm::docserver::docpic {

inline constexpr std::uint16_t kPicfHeaderSize = 0x44;
inline constexpr std::uint16_t kMmShape = 0x64;     // picture data is an OfficeArt inline shape
inline constexpr std::uint16_t kMmShapeFile = 0x66; // the same, preceded by a file name

// A complete picture record (PICFAndOfficeArtData) for an inline picture. The picture is
// shown at its natural size (96 dpi when the pixel size is known), scaled down to fit a page.
std::vector<std::uint8_t> buildRecord(const Picture& picture);

// The picture inside a record whose bytes start at the lcb field. Tolerant: looks through
// the OfficeArt records for a BLIP, and scans for image signatures when they do not parse.
std::optional<Picture> pictureFromRecord(std::span<const std::uint8_t> record);

// The picture of one BLIP record (header included); EMF/WMF/PICT data is inflated.
std::optional<Picture> pictureFromBlip(std::span<const std::uint8_t> blip);

// Every BLIP found in a sequence of OfficeArt records (descending into containers and BLIP
// store entries), in order; records that run past the end are cut to the bytes present.
std::vector<Picture> blipsIn(std::span<const std::uint8_t> records);

// True when bytes at `at` start a plausible picture record: an lcb of at least the header
// size, then cbHeader 0x44 and mfpf.mm 0x64 (the bytes 44 00 64 00 at offset 4).
bool looksLikeRecord(std::span<const std::uint8_t> bytes, std::size_t at);

} // namespace qm::docserver::docpic
