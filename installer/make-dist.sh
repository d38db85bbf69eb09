#!/usr/bin/env bash
# Builds the release package from a build tree:
#   make-dist.sh FLAVOUR VERSION PUBLISHER BIN WORK OUT FILE...
# FLAVOUR is the build tree's: i686 is the release; x86_64 is the test
# flavour's package (a win64 zip and an amd64 installer of the same script),
# which is never shipped. FILE... are the shipped programs in BIN. The guides in docs/ and
# the manuals of the simulated driver, the host monitor and the driver
# checker are rendered to HTML (cmark-gfm, for its tables) side by side in
# docs\, with the guides' pictures; the third-party notice comes from the
# mingw-w64 runtime linked into every program.
# Results, in OUT:
#   capstation-VERSION-win32.zip   one folder capstation-VERSION/ (win64: x86_64)
#   capstation-VERSION-setup.exe   the NSIS installer of the same files
set -euo pipefail
flavour=$1 version=$2 publisher=$3 bin=$4 work=$5 out=$6
shift 6
root=$(cd "$(dirname "$0")/.." && pwd)
case "$flavour" in
i686) suffix=win32 target=x86-unicode runtime=mingw-w64-i686-dev ;;
x86_64) suffix=win64 target=amd64-unicode runtime=mingw-w64-x86-64-dev ;;
*) echo "make-dist: unknown flavour $flavour" >&2; exit 2 ;;
esac
name="capstation-$version"
stage="$work/$name"
zip="$out/$name-$suffix.zip"
setup="$out/$name-setup.exe"

rm -rf "$work"
mkdir -p "$stage/docs/img" "$out"

for f in "$@"; do
    cp "$bin/$f" "$stage/$f"
done

# Text for Windows: CRLF line ends.
crlf() { sed 's/\r*$/\r/'; }

render() {  # render GUIDE.md TITLE LANG [NAME]
    local md=$1 title=$2 lang=$3 base=${4:-}
    [ -n "$base" ] || base=$(basename "$md" .md)
    {
        printf '<!DOCTYPE html>\n<html lang="%s">\n<head>\n<meta charset="utf-8">\n' "$lang"
        printf '<title>%s</title>\n' "$title"
        cat "$root/installer/guide.css"
        printf '</head>\n<body>\n'
        # Links between the guides and to the tools' manuals point at their
        # HTML form beside them.
        cmark-gfm --to html -e table "$md" | sed -E \
            -e 's#href="\.\./sim/README\.md(\#[^"]*)?"#href="xraysim.html\1"#g' \
            -e 's#href="(\.\./)*tools/(hostmon|drvcheck)/README\.md(\#[^"]*)?"#href="\2.html\3"#g' \
            -e 's/href="([a-z]+)\.md(#[^"]*)?"/href="\1.html\2"/g'
        printf '</body>\n</html>\n'
    } | crlf >"$stage/docs/$base.html"
}
render "$root/docs/operator.md" "Stazione di acquisizione: guida per l'operatore" it
render "$root/docs/integrator.md" "Capture station: integrator's guide" en
render "$root/docs/vendors.md" "Capture station: driver and host vendors' guide" en
render "$root/sim/README.md" "xraysim.dll: the simulated sensor driver" en xraysim
render "$root/tools/hostmon/README.md" "hostmon.exe: host stand-in" en hostmon
render "$root/tools/drvcheck/README.md" "drvcheck.exe: driver conformance checker" en drvcheck
cp "$root"/docs/img/*.png "$stage/docs/img/"

{
    cat "$root/installer/notices.txt"
    echo
    cat "/usr/share/doc/$runtime/copyright"
} | crlf >"$stage/THIRD-PARTY-NOTICES.txt"

# The installer's two file lists, from what is staged.
(
    cd "$stage"
    {
        find . -type d | sort | while read -r d; do
            d=${d#./}
            [ "$d" = "." ] && d=""
            printf 'SetOutPath "$INSTDIR%s"\n' "${d:+\\${d//\//\\}}"
            find "./$d" -maxdepth 1 -type f | sort | while read -r f; do
                printf 'File "%s"\n' "$stage/${f#./}"
            done
        done
        printf 'SetOutPath "$INSTDIR"\n'
    } >"$work/files.nsh"
    {
        find . -type f | sort | while read -r f; do
            f=${f#./}
            printf 'Delete "$INSTDIR\\%s"\n' "${f//\//\\}"
        done
        find . -mindepth 1 -type d | sort -r | while read -r d; do
            d=${d#./}
            printf 'RMDir "$INSTDIR\\%s"\n' "${d//\//\\}"
        done
    } >"$work/unfiles.nsh"
)

# The installer test builds an older version of the same script for the
# same target.
echo "$target" >"$work/nsis-target"

rm -f "$zip" "$setup"
(cd "$work" && TZ=UTC zip -q -X -r "$zip" "$name")
makensis -V2 -INPUTCHARSET UTF8 "-XTarget $target" \
    "-DVERSION=$version" "-DPUBLISHER=$publisher" "-DSTAGE=$work" "-DOUTFILE=$setup" \
    "$root/installer/capstation.nsi"
echo "dist: $zip ($(stat -c %s "$zip") bytes)"
echo "dist: $setup ($(stat -c %s "$setup") bytes)"
