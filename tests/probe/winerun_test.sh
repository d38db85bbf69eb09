#!/usr/bin/env bash
# winerun_test.sh BUILD: the suite's Wine runner says why a program failed
# when the program itself said nothing: one that printed nothing and ended
# with a code, and one that Wine could not start at all. A program that
# printed something and failed is left to speak for itself.
set -uo pipefail
build=$(cd "${1:?build folder}" && pwd)
run="$build/wine-run"
failures=0
expect() {  # expect DESCRIPTION EXPECTED-RC COMMAND... ; then lines to find on stderr in $want
    local what=$1 rc_expected=$2 err rc line
    shift 2
    err=$("$run" "$@" 2>&1 >/dev/null)
    rc=$?
    if [ "$rc" != "$rc_expected" ]; then
        echo "FAILED: $what: exit code $rc, expected $rc_expected"
        failures=$((failures + 1))
    fi
    for line in "${want[@]}"; do
        if grep -qF -- "$line" <<<"$err"; then
            echo "ok: $what: $line"
        else
            echo "FAILED: $what: no line [$line] in:"
            sed 's/^/    /' <<<"$err"
            failures=$((failures + 1))
        fi
    done
    for line in "${unwanted[@]}"; do
        if grep -qF -- "$line" <<<"$err"; then
            echo "FAILED: $what: [$line] where the program spoke for itself:"
            sed 's/^/    /' <<<"$err"
            failures=$((failures + 1))
        fi
    done
}

want=("wine-run: cmd.exe ended with exit code 7 and printed nothing"
      "wine-run: the Wine server of $build/wineprefix was running (pid "
      "wine-run: the display :$(cat "$build/wine-state/display") was up"
      "wine-run: Wine wrote nothing to stderr")
unwanted=()
expect "silent failure" 7 cmd.exe /c exit 7

missing="$build/bin/no-such-program.exe"
want=("wine-run: $missing ended with exit code "
      "wine-run: the last lines Wine wrote to stderr:"
      "  wine: failed to open \"$missing\"")
expect "a program Wine cannot start" 53 "$missing"

want=()
unwanted=("wine-run: ")
expect "a failure that printed" 3 cmd.exe /c "echo said && exit 3"

[ "$failures" = 0 ] && echo "all checks passed"
[ "$failures" = 0 ]
