// The working-folder steps of the package salvage, shared by the analysis (previews) and the
// save side (candidate documents): copy the source into a working folder, look for a local
// header, unpack every entry the ZIP reader finds, and thin the folder out afterwards.
// None of them starts a document server; none of them writes to the source.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qm::docx {

// Copies source to work/"1.docx" and renames the copy to work/"1.zip" (a failed rename is
// ignored). Returns work/"1.zip", or an empty path when it does not exist afterwards. The copy
// is made readable and writable for the owner, whatever the source's permissions.
std::filesystem::path CopyPackage(const std::filesystem::path& source, const std::filesystem::path& work);

// The offset of the first local header signature "PK" 03 04 in the file; nullopt when there is
// none or the file cannot be read.
std::optional<std::uint64_t> FindLocalHeader(const std::filesystem::path& archive);

// What differs between the clean-ups of the analysis and of the save side.
struct CleanupPlan {
    // Runs when word/media/ exists, with its path (see CleanWorkFolder). It decides whether
    // the media files stay (the analysis shows them) or go (the save side copied them).
    std::function<void(const std::string& mediaFolder)> media;
    // Subfolders of word/ that are emptied and removed after the media step, in this order.
    std::vector<std::string> wordFolders;
};

// Unpacks every entry the ZIP reader finds in archive into work (65535-byte output buffer).
// An error of the reader or of the file system ends only the entry it concerns: the entries
// after it are still tried, and when the scan itself fails, the entries found before the
// failure are extracted. Never throws. Returns the number of entries found, which is also
// stored as session().zipEntryCount. What the reader cut or repaired (see
// CZipArchive::GetNotes) is added to notes, each line once. With a plan, the entries whose
// files the plan's clean-up deletes unread (DeletedUnread) are unpacked and counted but not
// written: the folder looks after the clean-up as it would have.
std::size_t ExtractPackage(const std::filesystem::path& archive, const std::filesystem::path& work,
                           std::vector<std::string>* notes = nullptr, const CleanupPlan* plan = nullptr);

// True when CleanWorkFolder with plan deletes the file at relative (a place in the working
// folder) without anything having read it: the working folder's own plain files, those of
// "_rels" and "docProps", those of "word" but "document.xml" (the text scan reads it), and
// those of the plan's word/ subfolders but "media".
bool DeletedUnread(const std::filesystem::path& relative, const CleanupPlan& plan);

// The word/ subfolders the analysis removes.
std::vector<std::string> analysisWordFolders();

// Thins out the working folder, when it exists, in this order: its plain files; "_rels" and
// "docProps" (files deleted, folder removed); the plain files of "word"; the media step; the
// plan's word/ subfolders; "word" itself, then the working folder, each removed only when empty.
// Folders not named here stay, with the folders holding them. The media path handed to the
// plan is the working folder + "/" + "/word/media/" (the doubled separator is kept as the page
// has always shown it). Returns the working folder with a trailing "/".
std::string CleanWorkFolder(const std::filesystem::path& work, const CleanupPlan& plan);

// Deletes the plain files of folder and removes it when it is empty then; nothing when absent.
void EmptyAndRemoveFolder(const std::filesystem::path& folder);

} // namespace qm::docx
