# Pure helpers of the Debian guest, sourced by scripts/guest.sh on the host
# and by inside.sh in the guest (and by tests/guest); no side effects.

# guest_mirrors ETC SUITE: the Debian mirrors that the apt configuration in
# ETC (normally /etc/apt) uses for SUITE, its updates and its security
# suite, one "URI SUITE" a line, from one-line and deb822 sources alike.
guest_mirrors() {
    local etc=$1 suite=$2
    {
        cat "$etc/sources.list" "$etc"/sources.list.d/*.list 2>/dev/null |
            awk -v s="$suite" '$1 == "deb" {
                i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                if ($(i + 1) ~ ("^" s "(-updates|-security|/updates)?$")) print $i, $(i + 1) }'
        # A stanza ends at a blank line or with its file.
        awk -v s="$suite" '
                function flush(  n, a, k) {
                    if (deb && uri != "") {
                        n = split(suites, a, /[ \t]+/)
                        for (k = 2; k <= n; k++) if (a[k] ~ ("^" s "(-updates|-security)?$")) print uri, a[k]
                    }
                    deb = 0; uri = ""; suites = ""
                }
                FNR == 1 { flush() }
                /^[ \t]*$/ { flush(); next }
                tolower($1) == "types:" { deb = / deb( |$)/ }
                tolower($1) == "uris:" { uri = $2 }
                tolower($1) == "suites:" { suites = $0 }
                END { flush() }' "$etc"/sources.list.d/*.sources 2>/dev/null
    } | awk '!seen[$0]++'
}

# guest_bind_units HOSTUSR [ROOT]: reads absolute paths under /usr (what
# make rules depend on), and prints what of the host's /usr (mounted at
# HOSTUSR) must be bound over the guest's (at ROOT/usr) for every one of
# them to be there with the host's time stamp: for a path the guest lacks,
# the topmost folder on its way that the guest lacks; for one it has with
# another time, the file alone; nothing for one the host lacks too. One a
# line, sorted, each once (paths in one missing folder share it).
guest_bind_units() {
    local hostusr=$1 root=${2:-} p h unit folder=""
    # The make rules name each header many times over (some 24000 lines
    # for 900 files), and each test of a path is a round trip to the host
    # under emulation: each path once, in order, so that the paths in a
    # folder the guest lacks follow it and need no test at all.
    LC_ALL=C sort -u | while IFS= read -r p; do
        [ -n "$folder" ] && [ "${p#"$folder"/}" != "$p" ] && continue
        h="$hostusr${p#/usr}"
        [ -e "$h" ] || continue
        if [ -e "$root$p" ]; then
            { [ "$root$p" -nt "$h" ] || [ "$root$p" -ot "$h" ]; } || continue
            unit=$p
        else
            unit=$p
            while [ ! -e "$root${unit%/*}" ]; do unit=${unit%/*}; done
            [ "$unit" != "$p" ] && folder=$unit
        fi
        echo "$unit"
    done | sort -u
}
