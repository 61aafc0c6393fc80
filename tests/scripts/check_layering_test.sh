#!/usr/bin/env bash
# The layering check on small trees of one source file each: every row is a folder, the include
# line one of its files holds, and whether the check must pass (0) or fail (1).
#   tests/scripts/check_layering_test.sh scripts/check-layering.sh
set -u
check="$1"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cases=(
    'zip|#include "engine/docx_salvage.h"|1'
    'platform|#include "app/session_state.h"|1'
    'engine|#include "stages/stage_ui.h"|1'
    'stages|  #  include "cli/batch_run.h"|1'
    'cli|#include "ui/main_window.h"|1'
    'zip|#include "docserver/document.h"|1'
    'automation|#include "docserver/protocol.h"|1'
    'app|#include "tests/support/test_support.h"|1'
    'docserver|#include "automation/word_calls.h"|0'
    'docserver|#include "zip/file_header.h"|0'
    'engine|#include "zip/zip_archive.h"|0'
    'ui|#include "res/artwork.h"|0'
    'cli|#include "platform/files.h"|0'
    'tests|#include "ui/main_window.h"|0'
    'zip|#include <engine/not_ours.h>|0'
)
failed=0
for row in "${cases[@]}"; do
    IFS='|' read -r folder include expected <<<"$row"
    tree="$tmp/tree"
    rm -rf "$tree"
    mkdir -p "$tree/$folder"
    printf '%s\n' "$include" >"$tree/$folder/file.cpp"
    out=$("$check" "$tree")
    rc=$?
    if [ "$rc" -ne "$expected" ]; then
        echo "FAIL: $folder with '$include': exit $rc, expected $expected ($out)"
        failed=1
    elif [ "$expected" -eq 1 ] && [[ "$out" != "$folder/file.cpp:1: $folder includes "* ]]; then
        echo "FAIL: $folder with '$include': the report does not name the line: $out"
        failed=1
    fi
done
[ "$failed" -eq 0 ] && echo "layering check: all ${#cases[@]} cases as expected"
exit "$failed"
