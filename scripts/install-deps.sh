#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and `make run` need.
# Idempotent: when every package is present it returns in about a second.
set -euo pipefail

PKGS=(g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
      wine wine32:i386 xvfb xauth googletest cmake make xdotool imagemagick
      x11-utils python3 g++-mingw-w64-x86-64-posix
      nsis cmark-gfm zip unzip)
# The native fuzz targets: clang and its libFuzzer and sanitizer runtimes.
PKGS+=(clang libclang-rt-14-dev)
# make bench: the latency plot.
PKGS+=(gnuplot-nox)

missing=()
have_i386=0
dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386 && have_i386=1
for p in "${PKGS[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ "$have_i386" = 1 ] && [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if [ "$have_i386" = 0 ]; then
    $SUDO dpkg --add-architecture i386
fi
echo "install-deps: installing ${missing[*]:-(i386 architecture)}" >&2
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
