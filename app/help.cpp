#include "app/help.h"

#include "app/session_state.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace qm {

std::filesystem::path helpPage() {
    std::filesystem::path folder = registry::readValue(session().registryKey, "FilePath");
    if (folder.empty())
        folder = session().installFolder;
    return folder / "help" / "index.html";
}

bool openHelp() {
    const auto page = helpPage();
    const auto opener = process::findOnPath("xdg-open");
    if (!files::isFile(page) || opener.empty())
        return false;
    return process::launch(opener, {page.string()});
}

} // namespace qm
