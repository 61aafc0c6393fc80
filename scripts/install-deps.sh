#!/usr/bin/env bash
# Installs the Debian 12 packages Quillmend needs to build, run and test.
#   scripts/install-deps.sh          build and run (with the desktop program)
#   scripts/install-deps.sh --test   also the independent readers the interop tests use and the
#                                    virtual X server, fonts and screenshot tool of the window tests
#   scripts/install-deps.sh --fuzz   also clang and its runtime, for the libFuzzer targets
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
packages=(build-essential cmake ninja-build pkg-config zlib1g-dev libzip-dev libpugixml-dev
          libgtest-dev libgmock-dev libbenchmark-dev)
# Spelling dictionaries tell recovered language from noise when recommending a candidate.
packages+=(libhunspell-dev hunspell-en-us)
# The desktop program: wxWidgets 3.2 on GTK 3 with its web view; xdg-utils opens its help and log.
packages+=(libwxgtk3.2-dev libwxgtk-webview3.2-dev libgtk-3-dev xdg-utils)
# The Debian package: dpkg-shlibdeps (and file) compute its library dependencies.
packages+=(dpkg-dev file)
if [ "${1:-}" = "--test" ]; then
    packages+=(antiword catdoc libarchive-tools)
    # LibreOffice (without its GUI) converts our .doc/.docx output in the interop tests.
    packages+=(libreoffice-writer-nogui)
    # Window tests: a virtual X server, a font, the theme's icons, screenshots of the screen,
    # simulated input; validators of the desktop entry and the metainfo.
    packages+=(xvfb xauth x11-utils fonts-dejavu-core adwaita-icon-theme librsvg2-common imagemagick)
    packages+=(xdotool desktop-file-utils appstream)
fi
if [ "${1:-}" = "--fuzz" ]; then
    packages+=(clang libclang-rt-14-dev)
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
