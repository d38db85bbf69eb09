#!/usr/bin/env bash
# prefix_test.sh: making a tree's Wine prefix survives a first try that
# gives up (Wine's own five-minute wait for a new prefix runs out where the
# CPU is emulated and busy, while the making goes on), and a Wine that can
# never make one still fails with its message. Stand-in loaders; the X
# display is real.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/station-lib.sh"
tmp=$(mktemp -d)
trap 'for t in "$tmp"/t*; do WINE_SERVER_X86_64=/bin/true bash "$root/scripts/wine-env.sh" "$t" stop; done >/dev/null 2>&1; rm -rf "$tmp"' EXIT

# loader FAILURES: a stand-in whose wineboot fails FAILURES times, then
# makes the prefix; every other program it is asked for succeeds.
loader() {
    cat >"$tmp/loader$1" <<STANDIN
#!/bin/sh
[ "\$1" = wineboot.exe ] || exit 0
echo x >>"$tmp/tries$1"
[ "\$(wc -l <"$tmp/tries$1")" -gt $1 ] || exit 1
mkdir -p "\$WINEPREFIX" && touch "\$WINEPREFIX/system.reg"
STANDIN
    chmod +x "$tmp/loader$1"
}

while read -r fails rc tries; do
    loader "$fails"
    mkdir -p "$tmp/t$fails"
    echo x86_64 >"$tmp/t$fails/flavour"
    WINE_LOADER_X86_64="$tmp/loader$fails" WINE_SERVER_X86_64=/bin/true \
        bash "$root/scripts/wine-env.sh" "$tmp/t$fails" start >"$tmp/out$fails" 2>&1
    check "wineboot failing $fails time(s): wine-env start exits with" "$rc" "$?"
    check "wineboot failing $fails time(s): tries" "$tries" "$(wc -l <"$tmp/tries$fails")"
    check "wineboot failing $fails time(s): prefix ready" "$([ "$rc" = 0 ] && echo yes || echo no)" \
        "$([ -f "$tmp/t$fails/wine-state/prefix-ready" ] && echo yes || echo no)"
done <<'CASES'
0 0 1
1 0 2
9 1 3
CASES
check "a Wine that never makes it says so" 1 "$(grep -c 'cannot make a win64 prefix here' "$tmp/out9")"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
