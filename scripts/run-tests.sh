#!/usr/bin/env bash
# Builds Quillmend and runs every test: first the debug build, then the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer. The window tests (ctest label "gui") run on
# a virtual X server started here on a free display and stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

xvfb_pid=""
display_file=""
stop_display() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    [ -n "$display_file" ] && rm -f "$display_file"
    return 0
}
trap stop_display EXIT
if command -v Xvfb >/dev/null; then
    # -displayfd: the server picks a free display number itself, so parallel runs do not collide.
    display_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$display_file" ] && break
        sleep 0.1
    done
    [ -s "$display_file" ] || { echo "run-tests: the virtual X server did not start" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$display_file")"
    echo "==> window tests on virtual display $DISPLAY"
else
    echo "run-tests: Xvfb not found (scripts/install-deps.sh --test installs it); window tests need a display" >&2
fi
# Window tests fail rather than skip when there is no display.
export QM_REQUIRE_DISPLAY=1

for preset in debug asan; do
    echo "==> ${preset}: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "==> ${preset}: tests"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --preset "$preset" -j "$jobs" --timeout 600
done
