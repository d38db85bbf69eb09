#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and `make run` need.
# Idempotent: when every package is present it returns in about a second.
# Works on a Debian 12 whose kernel runs 32-bit programs and on one whose
# kernel runs none (then Debian's 32-bit Wine loader could never start, and
# only the 64-bit one is installed: the tests use the x86_64 flavour here
# and the i686 one in a Debian guest under QEMU, whose tools come instead).
set -euo pipefail

# Both compilers: i686 is the product, x86_64 the test flavour (and the
# checker's 64-bit test driver).
PKGS=(g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
      g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
      wine64 xvfb xauth googletest cmake make xdotool imagemagick
      x11-utils python3 nsis cmark-gfm zip unzip)

# Does this kernel run a 32-bit x86 program? A 96-byte static ELF that only
# exits with 42 through the 32-bit system call, run once: its exit code is
# the answer, not the kernel's version.
runs_32bit() {
    local probe rc
    probe=$(mktemp)
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'\
'\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
'\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00'\
'\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null
    rc=$?
    rm -f "$probe"
    [ "$rc" = 42 ]
}
if runs_32bit; then
    # The 32-bit loader, and Debian's wine script that prefers it.
    PKGS+=(wine wine32:i386)
fi
if ! runs_32bit || [ "${GUEST:-}" = 1 ]; then
    # The i686 suite runs in a Debian guest made from Debian's packages
    # (scripts/guest.sh); GUEST=1 takes this machine for one without 32-bit
    # programs.
    PKGS+=(debootstrap qemu-system-x86 e2fsprogs)
fi
# The native fuzz targets: clang and its libFuzzer and sanitizer runtimes.
PKGS+=(clang libclang-rt-14-dev)
# make bench: the latency plot.
PKGS+=(gnuplot-nox)
PKGS+=(stress-ng)  # make stress: every core kept busy while the suite runs
PKGS+=(fonts-wine)  # make screenshots: Wine's Marlett font for the caption buttons

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
# A mirror in mid-sync fails one index now and then ("File has unexpected
# size"); a retry usually finds it whole. If one still fails, apt keeps
# what it has and the install below says whether that is enough.
for try in 1 2 3; do
    $SUDO apt-get update -qq && break
    if [ "$try" = 3 ]; then
        echo "install-deps: apt-get update failed three times; installing from the indexes it has" >&2
    else
        sleep 10
    fi
done
if $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    exit 0
fi
# wine32:i386 needs every shared library at the same version in both
# architectures, so an i386 index that a mirror has not finished leaves it
# uninstallable for a while. Everything else still goes in, with the guest's
# tools: without the 32-bit loader the i686 suite runs in the Debian guest,
# as on a kernel that runs no 32-bit programs.
case " ${missing[*]} " in *" wine32:i386 "*) ;; *) exit 1 ;; esac
rest=(debootstrap qemu-system-x86 e2fsprogs)
for p in "${missing[@]}"; do
    [ "$p" = wine32:i386 ] || rest+=("$p")
done
echo "install-deps: wine32:i386 does not install from these indexes; installing the rest, and the i686 suite runs in the Debian guest" >&2
$SUDO apt-get install -y -qq --no-install-recommends "${rest[@]}" >/dev/null
