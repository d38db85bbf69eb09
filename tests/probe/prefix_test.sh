#!/usr/bin/env bash
# prefix_test.sh: making a tree's Wine prefix survives a first try that
# gives up (Wine's own five-minute wait for a new prefix runs out where the
# CPU is emulated and busy, while the making goes on), and a Wine that can
# never make one still fails with its message. So does the desktop's
# holder: Wine gives the desktop a few seconds to come up, and a holder
# that gave up is started again until the desktop is there, and Wine is
# started again when its programs see a screen of the wrong size. Stand-in
# loaders; the X display is real.
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

# desktop FAILURES WRONGS: a stand-in whose desktop holder ends at once
# FAILURES times, then says it is ready, and whose programs see a 1024x768
# screen after each of the first WRONGS desktops that came up. Its server
# logs every stop of Wine.
desktop() {
    cat >"$tmp/desktop$1" <<STANDIN
#!/bin/sh
case "\$1" in *desktophold.exe) ;; *) exit 0 ;; esac
if [ "\$2" = --screen ]; then
    echo x >>"$tmp/probes$1"
    [ "\$(wc -l <"$tmp/probes$1")" -gt $2 ] && echo 1280x1024 || echo 1024x768
    exit 0
fi
echo x >>"$tmp/holds$1"
[ "\$(wc -l <"$tmp/holds$1")" -gt $1 ] || exit 1
echo ready
STANDIN
    printf '#!/bin/sh\n[ "$1" = -k ] && echo x >>"%s" || :\n' "$tmp/kills$1" >"$tmp/server$1"
    chmod +x "$tmp/desktop$1" "$tmp/server$1"
    : >"$tmp/kills$1"
}
while read -r fails wrongs guard rc tries restarts; do
    desktop "$fails" "$wrongs"
    t="$tmp/td$fails"
    mkdir -p "$t/bin" "$t/wineprefix" "$t/wine-state"
    echo x86_64 >"$t/flavour"
    touch "$t/bin/desktophold.exe" "$t/wineprefix/system.reg" "$t/wine-state/prefix-ready"
    WINE_ENV_DESKTOP_GUARD_S=$guard WINE_LOADER_X86_64="$tmp/desktop$fails" WINE_SERVER_X86_64="$tmp/server$fails" \
        bash "$root/scripts/wine-env.sh" "$t" start >"$tmp/dout$fails" 2>&1
    got=$?
    what="desktop holder ending $fails time(s), screen wrong $wrongs time(s)"
    check "$what: wine-env start exits with" "$rc" "$got"
    [ "$tries" = - ] || check "$what: starts" "$tries" "$(wc -l <"$tmp/holds$fails")"
    check "$what: Wine started again" "$restarts" "$(wc -l <"$tmp/kills$fails")"
done <<'CASES'
0 0 600 0 1 0
2 0 600 0 3 0
1 2 600 0 4 2
3 99 600 1 7 3
999999 0 3 1 - 0
CASES
check "a desktop that comes up late says after how many starts" 1 \
    "$(grep -c "desktop came up at start 3 of desktophold.exe" "$tmp/dout2")"
check "a desktop that never comes up says so" 1 "$(grep -c "desktop did not come up in" "$tmp/dout999999")"
check "a desktop showing a wrong screen says which, each time" 2 \
    "$(grep -c "showing its programs a 1024x768 screen, not the display's 1280x1024" "$tmp/dout1")"
check "a desktop whose screen stays wrong says so" 1 \
    "$(grep -c "showed a 1024x768 screen, not the display's 1280x1024, 4 times" "$tmp/dout3")"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
