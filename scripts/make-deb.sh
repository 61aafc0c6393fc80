#!/usr/bin/env bash
# Builds the Debian package of the whole program (quillmend_<version>_<arch>.deb in build/package):
# installed under /usr, its installation folder recorded in /etc/quillmend/registry.ini, its
# library dependencies computed from the binaries. Install it with: apt install ./quillmend_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DQM_SYSTEM_REGISTRY=ON -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF >/dev/null
cmake --build build/package -j "${JOBS:-$(nproc)}"
(cd build/package && cpack -G DEB)
ls build/package/quillmend_*.deb
