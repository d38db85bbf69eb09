#!/usr/bin/env bash
# winerun_test.sh BUILD: the suite's Wine runner says why a program failed
# when the program itself said nothing: one that printed nothing and ended
# with a code (run once more, as nothing of it ran), and one that Wine could
# not start at all. A program that printed something and failed is left to
# speak for itself.
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

runs=$(mktemp)
trap 'rm -f "$runs"' EXIT
runs_win="Z:${runs//\//\\}"  # the same file as Wine's programs name it
count_runs() { check_runs=$(grep -c x "$runs"); : >"$runs"; }
check_runs_are() {
    count_runs
    if [ "$check_runs" = "$2" ]; then echo "ok: $1: run $2 time(s)"; else
        echo "FAILED: $1: run $check_runs time(s), expected $2"; failures=$((failures + 1)); fi
}

want=("wine-run: cmd.exe ended with exit code 7 and printed nothing"
      "wine-run: the Wine server of $build/wineprefix was running (pid "
      "wine-run: the display :$(cat "$build/wine-state/display") was up"
      "wine-run: Wine wrote nothing to stderr"
      "wine-run: nothing of cmd.exe ran, so it is run once more")
unwanted=()
expect "silent failure" 7 cmd.exe /c "echo x>>$runs_win& exit 7"
check_runs_are "silent failure" 2

want=("wine-run: cmd.exe ended with exit code 7 and printed nothing"
      "wine-run: nothing of cmd.exe ran, so it is run once more")
expect "silent failure once, then a pass" 0 cmd.exe /c "echo x>>$runs_win& if exist $runs_win.1 (exit 0) else (type nul >$runs_win.1& exit 7)"
check_runs_are "silent failure once, then a pass" 2
rm -f "$runs.1"

missing="$build/bin/no-such-program.exe"
want=("wine-run: $missing ended with exit code "
      "wine-run: the last lines Wine wrote to stderr:"
      "  wine: failed to open \"$missing\"")
expect "a program Wine cannot start" 53 "$missing"

want=()
unwanted=("wine-run: ")
expect "a failure that printed" 3 cmd.exe /c "echo x>>$runs_win& echo said& exit 3"
check_runs_are "a failure that printed" 1

[ "$failures" = 0 ] && echo "all checks passed"
[ "$failures" = 0 ]
