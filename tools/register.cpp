// quillmend-register: run by the installation. Writes "FilePath" (the installation folder)
// and "LogPath" (a writable log folder) into the per-user registry store.
//
//   quillmend-register INSTALL_FOLDER [LOG_FOLDER]
//
// LOG_FOLDER defaults to ${XDG_STATE_HOME:-$HOME/.local/state}/quillmend and is created.
#include "app/activity_log.h"
#include "app/session_state.h"
#include "platform/files.h"
#include "platform/registry.h"

#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: quillmend-register INSTALL_FOLDER [LOG_FOLDER]\n");
        return 2;
    }
    const std::filesystem::path logFolder = argc == 3 ? std::filesystem::path(argv[2]) : qm::defaultLogFolder();
    const std::string key = qm::session().registryKey;
    const std::string install = std::filesystem::absolute(argv[1]).lexically_normal().string();
    bool ok = qm::registry::writeValue(key, "FilePath", install);
    if (!logFolder.empty() && qm::files::createFolders(logFolder))
        ok = qm::registry::writeValue(key, "LogPath", logFolder.string()) && ok;
    if (!ok) {
        std::fprintf(stderr, "quillmend-register: cannot write the registry store %s\n",
                     qm::registry::lookupOrder().front().c_str());
        return 1;
    }
    std::printf("Registered %s (log folder %s)\n", install.c_str(), logFolder.c_str());
    return 0;
}
