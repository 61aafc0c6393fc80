#!/usr/bin/env bash
# How quillmend-cli scales with -j: runs it over every .doc/.docx under the given folders once
# with -j 1 and once with -j N (default 2), prints both wall times and their ratio, and checks
# that both runs wrote the same files with the same content. Packages differ only in the
# creation time they record (docProps/core.xml and the ZIP entry times), so they are compared
# entry by entry without it.
#   bench/cli_jobs.sh build/release/bin/quillmend-cli [-j N] FOLDER...
set -euo pipefail
cli=$1; shift
jobs=2
if [[ ${1:-} == -j ]]; then jobs=$2; shift 2; fi
work=$(mktemp -d "${TMPDIR:-/tmp}/qm-jobs.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM HUP
mapfile -t files < <(find "$@" -type f \( -iname '*.doc' -o -iname '*.docx' \) | sort)
export QUILLMEND_INSTANCE="jobs-bench-$$"
declare -A wall
for j in 1 "$jobs"; do
    start=$(date +%s.%N)
    "$cli" -j "$j" -o "$work/out$j" "${files[@]}" > /dev/null 2> "$work/log$j" || true
    wall[$j]=$(echo "$(date +%s.%N) - $start" | bc)
    printf -- '-j %-2s %6.2f s\n' "$j" "${wall[$j]}"
done
printf '%d files, ratio %.2f\n' "${#files[@]}" "$(echo "${wall[1]} / ${wall[$jobs]}" | bc -l)"

# The content of one output: the file itself, or for a package its entries but the core properties.
content() {
    case $1 in
    *.docx | *.DOCX) bsdtar -xOf "$1" --exclude docProps/core.xml 2> /dev/null | md5sum ;;
    *) md5sum < "$1" ;;
    esac
}
(cd "$work/out1" && find . -type f | sort) > "$work/list1"
(cd "$work/out$jobs" && find . -type f | sort) > "$work/list$jobs"
if ! cmp -s "$work/list1" "$work/list$jobs"; then
    echo "different files written:"
    diff "$work/list1" "$work/list$jobs" | head -20
    exit 1
fi
differ=0
while read -r f; do
    [[ $(content "$work/out1/$f") == $(content "$work/out$jobs/$f") ]] || { echo "differs: $f"; differ=$((differ + 1)); }
done < "$work/list1"
echo "$(wc -l < "$work/list1") outputs, $differ differ"
[[ $differ -eq 0 ]]
