#!/bin/sh
# Compares two probe outputs ("probe.field = value" lines) field by field.
#   compare.sh [--subset] A B ALLOW
# Every field whose value differs, or that one side lacks, is a difference,
# unless its name matches an entry of ALLOW (an extended regular expression
# over field names, then "# reason"; an entry without a reason is refused).
# --subset: only the fields of A count (A holds known answers, B a full run).
# Prints each difference; status 0 when none is left, 1 otherwise, 2 on misuse.
subset=0
if [ "$1" = "--subset" ]; then subset=1; shift; fi
if [ $# -ne 3 ] || [ ! -r "$1" ] || [ ! -r "$2" ] || [ ! -r "$3" ]; then
    echo "usage: compare.sh [--subset] A B ALLOW" >&2
    exit 2
fi
exec awk -v subset="$subset" '
    function field(line) { sub(/ = .*/, "", line); return line }
    function value(line) { if (!sub(/^[^=]* = /, "", line)) return ""; return line }
    FILENAME == ARGV[1] && FNR == 1 { file = 1 }
    FILENAME == ARGV[2] && FNR == 1 { file = 2 }
    FILENAME == ARGV[3] && FNR == 1 { file = 3 }
    file == 3 {
        if ($0 ~ /^[ \t]*(#|$)/) next
        if ($0 !~ /[ \t]#[ \t]*[^ \t]/) { printf "allow-list entry without a reason: %s\n", $0; bad = 1; next }
        pat = $0; sub(/[ \t]+#.*/, "", pat); sub(/^[ \t]+/, "", pat)
        allow[++nallow] = pat
        next
    }
    /^[ \t]*(#|$)/ { next }
    file == 1 { k = field($0); a[k] = value($0); ina[k] = 1; order[++n] = k; next }
    file == 2 { k = field($0); b[k] = value($0); inb[k] = 1; if (!(k in ina)) order[++n] = k; next }
    END {
        if (bad) exit 2
        for (i = 1; i <= n; ++i) {
            k = order[i]
            if (k in seen) continue
            seen[k] = 1
            if (subset && !(k in ina)) continue
            if ((k in ina) && (k in inb) && a[k] == b[k]) continue
            allowed = 0
            for (j = 1; j <= nallow; ++j) if (k ~ ("^" allow[j] "$")) allowed = 1
            if (allowed) { ++skipped; continue }
            printf "%s: %s | %s\n", k, (k in ina) ? a[k] : "(none)", (k in inb) ? b[k] : "(none)"
            ++diffs
        }
        printf "%d difference%s, %d allowed\n", diffs, diffs == 1 ? "" : "s", skipped + 0
        exit diffs ? 1 : 0
    }' "$1" "$2" "$3"
