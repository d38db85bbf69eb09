#!/usr/bin/env bash
# The shipped 32-bit package read as files, so that a fault only the i686
# build has is caught even where no 32-bit program can run:
#   package_check.sh DIST VERSION FILE...
# DIST holds make dist's zip and setup.exe of the i686 build; FILE... are
# the shipped programs. Each is PE32 for i386 with its subsystem, imports
# system DLLs only (no MinGW runtime DLL) and carries this version; the
# station carries its manifest; xraysim.dll exports the driver's seven
# names undecorated; setup.exe is the x86 NSIS installer of this version.
set -uo pipefail
dist=$1 version=$2
shift 2
. "$(dirname "$0")/../../scripts/station-lib.sh"
objdump=i686-w64-mingw32-objdump
# Without it every import list would read as empty, and so as clean.
if ! command -v "$objdump" >/dev/null; then
    echo "FAILED: $objdump is not installed: the package cannot be read"
    exit 1
fi

zip="$dist/capstation-$version-win32.zip"
setup="$dist/capstation-$version-setup.exe"
if [ ! -s "$zip" ] || [ ! -s "$setup" ]; then
    echo "FAILED: no i686 package in $dist (make dist builds it)"
    exit 1
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unzip -q "$zip" -d "$tmp"
top="$tmp/capstation-$version"

# What Windows itself provides; anything else would have to ship beside
# the programs.
system_dlls=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll psapi.dll shell32.dll user32.dll version.dll "

# The version resource's strings are UTF-16: without the zero bytes the
# value follows its name.
carries_version() {
    # (grep -c, not -q: under pipefail tr's broken pipe would count as no.)
    [ "$(LC_ALL=C tr -d '\000' <"$1" | grep -ac "$2$version")" -gt 0 ] && echo yes || echo no
}

pe_check() {  # pe_check FILE WHAT
    local file=$1 what=$2 dump
    dump=$("$objdump" -p "$file" 2>&1)
    check "$what: PE32 for i386" "pei-i386 010b" \
        "$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$dump" | head -n 1) $(sed -n 's/^Magic[[:space:]]*\([0-9a-f]*\).*/\1/p' <<<"$dump")"
    local dll bad=""
    for dll in $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z'); do
        [[ "$system_dlls" == *" $dll "* ]] || bad="$bad $dll"
    done
    check "$what: imports system DLLs only" "" "${bad# }"
    DUMP=$dump
}

for f in "$@"; do
    file="$top/$f"
    if [ ! -s "$file" ]; then
        check "$f is in the zip" yes no
        continue
    fi
    pe_check "$file" "$f"
    subsystem=$(sed -n 's/^Subsystem[[:space:]]*[0-9a-f]*[[:space:]]*(\(.*\))/\1/p' <<<"$DUMP")
    case "$f" in
    capstation.exe | hostmon.exe) check "$f: subsystem" "Windows GUI" "$subsystem" ;;
    drvcheck.exe) check "$f: subsystem" "Windows CUI" "$subsystem" ;;
    *.dll)
        characteristics=$(sed -n 's/^Characteristics[[:space:]]*0x\([0-9a-f]*\)/\1/p' <<<"$DUMP")
        check "$f: a DLL" yes "$( (( (16#${characteristics:-0} & 0x2000) != 0 )) && echo yes || echo no)" ;;
    *) check "$f: a program this check knows" yes no ;;
    esac
    check "$f: carries version $version" yes "$(carries_version "$file" FileVersion)"
done
station="$top/capstation.exe"
if [ -s "$station" ]; then
    types=$("$objdump" -p "$station" | sed -n 's/^[0-9a-f]*   Entry: ID: 0x0000\([0-9a-f]*\),.*/\1/p' | tr '\n' ' ')
    check "capstation.exe: has a manifest resource (type 24)" yes "$([[ " $types" == *" 18 "* ]] && echo yes || echo no)"
    check "capstation.exe: the manifest is the station's" yes \
        "$(grep -aq '<description>Capture station</description>' "$station" && echo yes || echo no)"
fi

driver="$top/xraysim.dll"
if [ -s "$driver" ]; then
    exports=$("$objdump" -p "$driver" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
    check "xraysim.dll: the seven exports, undecorated" \
        "XRAYClose XRAYOpen XRAYPrepareAcquisition XRAYResolution XRAYSize bXRAYChangeBinningMode bXRAYGetBinningMode " \
        "$exports"
fi

pe_check "$setup" "setup.exe"
check "setup.exe: made by NSIS" yes "$(grep -aq 'Nullsoft' "$setup" && echo yes || echo no)"
check "setup.exe: carries version $version" yes "$(carries_version "$setup" ProductVersion)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
