#!/usr/bin/env bash
# Fails when a folder includes a header of a folder above it. The folders stand in layers:
#   platform -> app -> zip, automation, docserver, res -> engine -> stages -> cli, ui
# A folder may include its own headers and those of lower layers; within one layer only the
# pairs listed in peer_ok may. tests/, bench/, fuzz/ and tools/ may include anything.
#   scripts/check-layering.sh [source-root]      (default: the tree this script lives in)
# Prints one line per offending include ("file:line: folder includes folder/") and exits 1.
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
[ -d "$root" ] || { echo "check-layering: no folder $root" >&2; exit 2; }

declare -A layer=([platform]=0 [app]=1 [zip]=2 [automation]=2 [docserver]=2 [res]=2
                  [engine]=3 [stages]=4 [cli]=5 [ui]=5)
# The document server answers the calls the automation library defines, and reads packages
# with the ZIP reader's header layout and signature search (zip_package.h says why it keeps a
# reader of its own).
peer_ok=" docserver:automation docserver:zip "
# Folders whose includes are not checked (they stand above every layer).
declare -A top=([tests]=1 [bench]=1 [fuzz]=1 [tools]=1)

bad=0
for folder in "${!layer[@]}"; do
    [ -d "$root/$folder" ] || continue
    while IFS=: read -r file line text; do
        target=${text#*\"}
        target=${target%%/*}
        [ "$target" = "$folder" ] && continue
        if [ -n "${layer[$target]+x}" ]; then
            if [ "${layer[$target]}" -lt "${layer[$folder]}" ] || [[ "$peer_ok" == *" $folder:$target "* ]]; then
                continue
            fi
        elif [ -z "${top[$target]+x}" ]; then
            continue # not a folder of the project
        fi
        echo "${file#"$root"/}:$line: $folder includes $target/"
        bad=1
    done < <(grep -rnE --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' \
                  "$root/$folder" || true)
done
exit "$bad"
