#!/usr/bin/env bash
# scripts/guest/lib.sh: the mirrors read from apt's configuration, and what
# of the host's /usr the guest binds for the build trees' make rules.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/station-lib.sh"
. "$root/scripts/guest/lib.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
lines() { tr '\n' '|'; }

# Mirrors: one-line sources with options, deb822 with several suites, other
# suites and deb-src left out, each mirror once.
etc="$tmp/etc"
mkdir -p "$etc/sources.list.d"
cat >"$etc/sources.list" <<'L'
# a comment
deb [arch=amd64 signed-by=/k.gpg] http://mirror.example/debian bookworm main contrib
deb-src http://mirror.example/debian bookworm main
deb http://mirror.example/debian bullseye main
L
printf 'deb http://mirror.example/debian bookworm main\n' >"$etc/sources.list.d/again.list"
cat >"$etc/sources.list.d/debian.sources" <<'L'
Types: deb
URIs: http://deb.example/debian
Suites: bookworm bookworm-updates
Components: main

Types: deb-src
URIs: http://src.example/debian
Suites: bookworm

Types: deb
URIs: http://deb.example/debian-security
Suites: bookworm-security
Components: main
L
printf 'Types: deb\nURIs: https://other.example/node\nSuites: nodistro\n' >"$etc/sources.list.d/other.sources"
check "mirrors of bookworm, its updates and its security suite" \
    "http://mirror.example/debian bookworm|http://deb.example/debian bookworm|http://deb.example/debian bookworm-updates|http://deb.example/debian-security bookworm-security|" \
    "$(guest_mirrors "$etc" bookworm | lines)"
check "no mirror without sources" "" "$(guest_mirrors "$tmp/none" bookworm | lines)"

# Bind units: a host /usr and a guest root made of folders and stamped files.
host="$tmp/host/usr" guest="$tmp/guest"
mkdir -p "$host/share/mingw-w64/include" "$host/lib/gcc/i686-w64-mingw32/12/include" "$host/share/cmake/Modules" \
         "$host/include" "$guest/usr/share/cmake/Modules" "$guest/usr/lib" "$guest/usr/include"
for f in share/mingw-w64/include/stdint.h share/mingw-w64/include/windows.h \
         lib/gcc/i686-w64-mingw32/12/include/stddef.h share/cmake/Modules/Same.cmake \
         share/cmake/Modules/Older.cmake include/stdio.h; do
    touch -d '2024-01-02 03:04:05' "$host/$f"
done
touch -d '2024-01-02 03:04:05' "$guest/usr/share/cmake/Modules/Same.cmake"
touch -d '2020-01-01 00:00:00' "$guest/usr/share/cmake/Modules/Older.cmake"
units=$(printf '%s\n' /usr/share/mingw-w64/include/stdint.h /usr/share/mingw-w64/include/windows.h \
            /usr/lib/gcc/i686-w64-mingw32/12/include/stddef.h /usr/share/cmake/Modules/Same.cmake \
            /usr/share/cmake/Modules/Older.cmake /usr/include/stdio.h /usr/share/nowhere/x.h |
        guest_bind_units "$host" "$guest" | lines)
check "the topmost missing folder, a file of another time, nothing for the same time or what the host lacks" \
    "/usr/include/stdio.h|/usr/lib/gcc|/usr/share/cmake/Modules/Older.cmake|/usr/share/mingw-w64|" "$units"
# A guest without /usr/include takes the host's folder whole, once for all
# the paths in it.
rm -rf "$guest/usr/include"
touch -d '2024-01-02 03:04:05' "$host/include/stdlib.h"
check "a whole folder once" "/usr/include|" \
    "$(printf '%s\n' /usr/include/stdio.h /usr/include/stdlib.h | guest_bind_units "$host" "$guest" | lines)"
check "nothing to bind for nothing" "" "$(guest_bind_units "$host" "$guest" </dev/null | lines)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
