#!/bin/sh
# Runs the fuzz targets one after the other, each for SECONDS, at the lowest priority, over a
# private copy of the committed seed corpus; a finding is kept in WORK/<target>/.
#   fuzz/run-fuzzers.sh BUILD_BIN WORK SECONDS [TARGET...]
#   fuzz/run-fuzzers.sh --check      every target has seeds and a dictionary (run by ctest)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
seeds() { # target -> seed folder and dictionary
    case $1 in
    doc_reader_fuzzer | doc_salvage_fuzzer) echo "doc doc" ;;
    docx_reader_fuzzer | zip_extract_fuzzer) echo "docx zip" ;;
    docx_scanner_fuzzer) echo "xml xml" ;;
    word_protocol_fuzzer) echo "protocol protocol" ;;
    deflate_recovery_fuzzer) echo "deflate xml" ;;
    *) echo "run-fuzzers: no seeds for $1" >&2; exit 2 ;;
    esac
}
if [ "${1:-}" = "--check" ]; then
    bad=0
    for src in "$here"/*_fuzzer.cpp; do
        target=$(basename "$src" .cpp)
        set -- $(seeds "$target" 2>/dev/null || true)
        if [ $# -ne 2 ] || [ -z "$(ls -A "$here/corpus/$1" 2>/dev/null)" ] || [ ! -s "$here/$2.dict" ]; then
            echo "run-fuzzers: $target has no seed corpus or no dictionary"
            bad=1
        fi
    done
    exit $bad
fi
bin=$1 work=$2 seconds=$3
shift 3
[ $# -gt 0 ] || set -- docx_scanner_fuzzer word_protocol_fuzzer zip_extract_fuzzer docx_reader_fuzzer \
    doc_reader_fuzzer doc_salvage_fuzzer deflate_recovery_fuzzer
for target in "$@"; do
    set -- $(seeds "$target")
    mkdir -p "$work/$target/corpus"
    cp -n "$here/corpus/$1"/* "$work/$target/corpus/" 2>/dev/null || true
    nice -n 19 "$bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1536 -max_len=65536 \
        -dict="$here/$2.dict" -artifact_prefix="$work/$target/" -print_final_stats=1 \
        "$work/$target/corpus" >"$work/$target/log" 2>&1 || echo "$target: exit $?" >>"$work/summary"
    tail -n 20 "$work/$target/log" | grep -E '^(stat::|Done|==[0-9]+==ERROR|SUMMARY)' | sed "s/^/$target: /" >>"$work/summary"
done
