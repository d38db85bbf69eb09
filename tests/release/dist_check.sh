#!/usr/bin/env bash
# What `make dist` produced: dist_check.sh ZIP SETUP VERSION DOCS FILE...
# The zip holds exactly one folder capstation-VERSION/ with the programs
# FILE..., the notice, the three guides and the three tools' manuals in
# HTML and every picture of DOCS/img; every page they link to is there, and
# none points at a Markdown file; the installer is an NSIS program of this
# version.
set -uo pipefail
zip=$1 setup=$2 version=$3 docs=$4
shift 4
. "$(dirname "$0")/../../scripts/station-lib.sh"

top="capstation-$version"
pages="operator integrator vendors xraysim hostmon drvcheck"
expected=$( {
    echo "$top/" "$top/docs/" "$top/docs/img/" "$top/THIRD-PARTY-NOTICES.txt"
    for f in "$@"; do echo "$top/$f"; done
    for g in $pages; do echo "$top/docs/$g.html"; done
    for p in "$docs"/img/*.png; do echo "$top/docs/img/$(basename "$p")"; done
} | tr ' ' '\n' | sort | tr '\n' ' ')
check "zip listing" "$expected" "$(unzip -Z1 "$zip" | sort | tr '\n' ' ')"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unzip -q "$zip" -d "$tmp"
for f in "$@"; do
    check "$f is a Windows program" MZ "$(head -c 2 "$tmp/$top/$f")"
done
for g in $pages; do
    html="$tmp/$top/docs/$g.html"
    check "$g.html is rendered" 1 "$(grep -c '^<h1>' "$html")"
    check "$g.html has no Markdown left" 0 "$(grep -c '^|---\|^# ' "$html")"
    for img in $(grep -o 'src="img/[^"]*"' "$html" | sed 's/src="//; s/"$//'); do
        check "$g.html: $img is in the zip" yes "$([ -s "$tmp/$top/docs/$img" ] && echo yes || echo no)"
    done
    for link in $(grep -o 'href="[a-z]*\.[a-z]*\(#[^"]*\)\?"' "$html" | sed 's/href="//; s/#.*//; s/"$//'); do
        check "$g.html: link $link is in the zip" yes "$([ -s "$tmp/$top/docs/$link" ] && echo yes || echo no)"
    done
    check "$g.html: no link to a Markdown file" "" "$(grep -o 'href="[^"]*\.md[#"][^"]*' "$html" | tr '\n' ' ')"
done
check "notice has CRLF lines" yes "$(head -n 1 "$tmp/$top/THIRD-PARTY-NOTICES.txt" | grep -q $'\r$' && echo yes || echo no)"

check "installer is a Windows program" MZ "$(head -c 2 "$setup")"
check "installer is made by NSIS" yes "$(grep -aq 'Nullsoft' "$setup" && echo yes || echo no)"
# The version resource's strings are UTF-16: without the zero bytes the
# value follows its name.
check "installer carries the version" yes \
    "$(LC_ALL=C tr -d '\000' <"$setup" | grep -ac "ProductVersion$version" | sed 's/^[1-9][0-9]*$/yes/')"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
