#include "zip/entry_path.h"

namespace qm {

std::filesystem::path ConfinedEntryPath(const std::filesystem::path& folder, std::string_view name) {
    if (const auto zero = name.find('\0'); zero != std::string_view::npos)
        name = name.substr(0, zero);
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        name.remove_prefix(2);

    std::filesystem::path relative;
    while (!name.empty()) {
        const auto cut = name.find_first_of("/\\");
        const std::string_view part = name.substr(0, cut);
        name = cut == std::string_view::npos ? std::string_view() : name.substr(cut + 1);
        if (part.empty() || part == "." || part == "..")
            continue;
        relative /= std::string(part);
    }
    if (relative.empty())
        return {};
    return folder / relative;
}

} // namespace qm
