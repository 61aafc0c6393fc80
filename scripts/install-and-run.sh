#!/usr/bin/env bash
# Installs what Quillmend needs, builds it, installs it for this user under ~/.local and
# runs it once.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF >/dev/null
cmake --build --preset release -j "$(nproc)"
prefix="${PREFIX:-$HOME/.local}"
cmake --install build/release --prefix "$prefix"
echo "Installed into $prefix/lib/quillmend"
set +e
"$prefix/lib/quillmend/stopvane" -check
rc=$?
set -e
if [ $rc -eq 0 ]; then echo "stopvane -check: no document server is running"; else echo "stopvane -check: a document server is running"; fi
