#!/usr/bin/env bash
# Builds the release package from a build tree:
#   make-dist.sh VERSION PUBLISHER BIN WORK OUT FILE...
# FILE... are the shipped programs in BIN. The guides in docs/ are rendered
# to HTML (cmark-gfm, for its tables) with their pictures; the third-party
# notice comes from the mingw-w64 runtime linked into every program.
# Results, in OUT:
#   capstation-VERSION-win32.zip   one folder capstation-VERSION/
#   capstation-VERSION-setup.exe   the NSIS installer of the same files
set -euo pipefail
version=$1 publisher=$2 bin=$3 work=$4 out=$5
shift 5
root=$(cd "$(dirname "$0")/.." && pwd)
name="capstation-$version"
stage="$work/$name"
zip="$out/$name-win32.zip"
setup="$out/$name-setup.exe"

rm -rf "$work"
mkdir -p "$stage/docs/img" "$out"

for f in "$@"; do
    cp "$bin/$f" "$stage/$f"
done

# Text for Windows: CRLF line ends.
crlf() { sed 's/\r*$/\r/'; }

render() {  # render GUIDE.md TITLE LANG
    local md=$1 title=$2 lang=$3 base
    base=$(basename "$md" .md)
    {
        printf '<!DOCTYPE html>\n<html lang="%s">\n<head>\n<meta charset="utf-8">\n' "$lang"
        printf '<title>%s</title>\n' "$title"
        cat "$root/installer/guide.css"
        printf '</head>\n<body>\n'
        # Links between the guides point at their HTML form.
        cmark-gfm --to html -e table "$md" | sed -E 's/href="([a-z]+)\.md(#[^"]*)?"/href="\1.html\2"/g'
        printf '</body>\n</html>\n'
    } | crlf >"$stage/docs/$base.html"
}
render "$root/docs/operator.md" "Stazione di acquisizione: guida per l'operatore" it
render "$root/docs/integrator.md" "Capture station: integrator's guide" en
render "$root/docs/vendors.md" "Capture station: driver and host vendors' guide" en
cp "$root"/docs/img/*.png "$stage/docs/img/"

{
    cat "$root/installer/notices.txt"
    echo
    cat /usr/share/doc/mingw-w64-i686-dev/copyright
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

rm -f "$zip" "$setup"
(cd "$work" && TZ=UTC zip -q -X -r "$zip" "$name")
makensis -V2 -INPUTCHARSET UTF8 \
    "-DVERSION=$version" "-DPUBLISHER=$publisher" "-DSTAGE=$work" "-DOUTFILE=$setup" \
    "$root/installer/capstation.nsi"
echo "dist: $zip ($(stat -c %s "$zip") bytes)"
echo "dist: $setup ($(stat -c %s "$setup") bytes)"
