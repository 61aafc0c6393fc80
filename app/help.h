// The program's help: help/index.html of the installation folder, opened with the desktop's
// opener.
#pragma once

#include <filesystem>

namespace qm {

// installFolder/help/index.html, with the installation folder read afresh from "FilePath".
std::filesystem::path helpPage();
// Opens the help page with xdg-open; does not wait. False when there is no page or opener.
bool openHelp();

} // namespace qm
