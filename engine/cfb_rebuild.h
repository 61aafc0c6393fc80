// Container repair of a damaged .doc for Quick Repair.
//
// The first step is always the 32-byte container header write. When the container is still
// not sound after it (its header names no usable allocation table or directory, or the Word
// streams do not lie where the directory says), a new compound file is built around the
// streams the damaged one still holds: named ones where the directory survives, the Word
// streams found by their content where it does not (the document stream by its document
// header at a sector start, the table stream by the offsets that header gives, the data
// stream by its picture records). The new file counts only when our document server reads at
// least as much text from it as from the header-only copy.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace qm::doc {

enum class ContainerRepair {
    None,    // nothing to write: the copy stays an exact copy of the source
    Header,  // the 32-byte header write alone
    Rebuilt, // a new compound file around the streams found
};

struct RepairedContainer {
    ContainerRepair kind = ContainerRepair::None;
    std::vector<std::uint8_t> bytes; // the repaired file (empty for None)
};

// The repair of a whole file's bytes; never throws on bad input (a stop of the current work
// passes through).
RepairedContainer repairContainer(std::span<const std::uint8_t> file);

// True when the bytes are a compound file whose header, FAT and directory agree and whose Word
// streams lie where the directory says.
bool soundContainer(std::span<const std::uint8_t> file);

// Repairs the copy at path (a file of our own, never the user's source): the header write or
// the rebuilt file replaces it. Returns what was done; nullopt when the copy cannot be read or
// written (a failed rebuild write leaves the copy as it was).
std::optional<ContainerRepair> repairContainerCopy(const std::filesystem::path& copy);

} // namespace qm::doc
