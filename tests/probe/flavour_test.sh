#!/usr/bin/env bash
# Which flavour scripts/flavour.sh chooses, with stand-in Wine loaders in
# two stand-in build trees: one that runs the probe (it exits with the
# probe's code), one that cannot start, one that is not installed. A forced
# flavour that cannot run fails with its sentence; the chosen tree and the
# reason are printed.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/station-lib.sh"
tmp=$(mktemp -d)
# The stand-in trees' stops use stand-in Wine servers too: the real one
# would be asked to end a prefix that never existed.
trap 'for t in t32 t64; do WINE_SERVER_I686=/bin/true WINE_SERVER_X86_64=/bin/true \
    bash "$root/scripts/wine-env.sh" "$tmp/$t" stop; done >/dev/null 2>&1; rm -rf "$tmp"' EXIT

for t in t32:i686 t64:x86_64; do
    mkdir -p "$tmp/${t%%:*}/bin"
    echo "${t#*:}" >"$tmp/${t%%:*}/flavour"
    touch "$tmp/${t%%:*}/bin/flavourprobe.exe"
done
printf '#!/bin/sh\ncase "$1" in *flavourprobe.exe) exit 42 ;; esac\nexit 0\n' >"$tmp/runs"
chmod +x "$tmp/runs"
runs=$tmp/runs fails=/bin/false missing=$tmp/not-installed

# choose ARCH I686-LOADER X86_64-LOADER [GUEST-OK]: "exit-code|tree|where|note",
# from the NAME=value lines flavour.sh prints for its caller to eval.
choose() {
    local answer rc FLAVOUR_TREE="" FLAVOUR_WHERE="" FLAVOUR_NOTE=""
    answer=$(GUEST= FLAVOUR_GUEST=${4:-} FLAVOUR_BUILT=1 BUILD="$tmp/t32" BUILD64="$tmp/t64" \
        WINE_LOADER_I686=$2 WINE_SERVER_I686=/bin/true WINE_LOADER_X86_64=$3 WINE_SERVER_X86_64=/bin/true \
        bash "$root/scripts/flavour.sh" "$1" 2>/dev/null)
    rc=$?
    eval "$answer"
    echo "$rc|${FLAVOUR_TREE#"$tmp/"}|$FLAVOUR_WHERE|$FLAVOUR_NOTE"
}

# GUEST-OK 1: the caller can take the i686 suite to the Debian guest.
while IFS='|' read -r arch l32 l64 guest expected; do
    check "ARCH=${arch:-(none)}, i686 loader $l32, x86_64 loader $l64${guest:+, guest allowed}" "$expected" \
        "$(choose "$arch" "${!l32}" "${!l64}" "$guest")"
done <<'CASES'
|runs|runs||0|t32|host|i686 build under wine (32-bit Windows programs run on this machine)
|fails|runs||0|t64|host|x86_64 build under wine64 (this kernel runs no 32-bit programs)
|missing|runs||0|t64|host|x86_64 build under wine64 (wine32, the 32-bit Wine loader, is not installed)
i686|runs|fails||0|t32|host|i686 build under wine (32-bit Windows programs run on this machine)
i686|runs|fails|1|0|t32|host|i686 build under wine (32-bit Windows programs run on this machine)
i686|fails|runs||1|||i686 cannot run here (this kernel runs no 32-bit programs: a 32-bit Windows program does not start under wine); nothing was run
i686|fails|runs|1|0|t32|guest|i686 build under wine in the Debian guest (this kernel runs no 32-bit programs: a 32-bit Windows program does not start under wine)
i686|missing|runs||1|||i686 cannot run here (wine32, the 32-bit Wine loader, is not installed); nothing was run
i686|missing|runs|1|0|t32|guest|i686 build under wine in the Debian guest (wine32, the 32-bit Wine loader, is not installed)
|missing|runs|1|0|t64|host|x86_64 build under wine64 (wine32, the 32-bit Wine loader, is not installed)
x86_64|runs|runs||0|t64|host|x86_64 build under wine64 (ARCH=x86_64)
x86_64|runs|fails||1|||x86_64 cannot run here (a 64-bit Windows program does not start under wine64); nothing was run
|fails|fails||1|||x86_64 cannot run here (a 64-bit Windows program does not start under wine64); nothing was run
amd64|runs|runs||2|||flavour: ARCH must be i686 or x86_64, not 'amd64'
CASES

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
