// stopvane: ends the document servers (quillmend-word processes) of this user.
//
//   stopvane -check   exit 1 when such a server runs, else 0
//   stopvane [""]     end every such server (SIGTERM, then SIGKILL after a grace period)
//                     and return once they are gone
//
// When $QUILLMEND_INSTANCE is set, only servers started with the same value are concerned;
// when it is unset, only servers without it. Parallel runs thus never end each other's servers.
#include "tools/server_processes.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    const bool check = argc > 1 && std::strcmp(argv[1], "-check") == 0;
    if (argc > 1 && !check && argv[1][0] != '\0') {
        std::fprintf(stderr, "usage: stopvane [-check]\n");
        return 2;
    }
    const auto servers = qm::tools::findServers();
    if (check)
        return servers.empty() ? 0 : 1;
    qm::tools::endServers(servers);
    return 0;
}
