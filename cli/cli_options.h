// Command line of quillmend-cli.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qm::cli {

inline constexpr int kMaxJobs = 64;

enum class OverwritePolicy { Ask, Overwrite, KeepExisting };

struct Options {
    bool quick = false;
    std::filesystem::path outputDir;
    std::optional<std::filesystem::path> previewsDir;
    std::optional<std::filesystem::path> bestDir; // a copy of each file's recommended candidate
    OverwritePolicy overwrite = OverwritePolicy::Ask;
    bool json = false;
    bool closeWord = false;
    int jobs = 1; // files processed at once, each in its own worker process
    bool help = false;
    bool version = false;
    std::vector<std::string> files;
};

struct ParseResult {
    Options options;
    std::string error; // non-empty: bad usage, with a one-line message
};

ParseResult parseArguments(const std::vector<std::string>& args);

std::string usageText();
std::string versionText();

} // namespace qm::cli
