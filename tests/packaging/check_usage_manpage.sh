#!/bin/sh
# check_usage_manpage.sh PROGRAM MANPAGE [PENDING_OPTION...]
# Every option the program's usage text names (the program run without
# arguments) is in its manual page, and every option the page names is in the
# usage text, or is --version and the program answers it, or is PENDING (an
# option the page names that the usage text leaves out, such as --timeout).
set -eu
prog=$1 page=$2
shift 2
. "$(dirname "$0")/options.sh"

{ "$prog" 2>&1 || true; } | option_words >"$tmp/usage"
man_text <"$page" | sed -n '/^\.SH SYNOPSIS/,/^\.SH \(EXIT\|SEE\|FILES\|EXAMPLES\)/p' | option_words >"$tmp/man"
{
    cat "$tmp/usage"
    printf '%s\n' "$@"
    if "$prog" --version >/dev/null 2>&1; then echo --version; fi
} | sed '/^$/d' | sort -u >"$tmp/known"
{
    missing "$(basename "$prog"): option missing from the manual page" "$tmp/man" "$tmp/usage"
    missing "$(basename "$prog"): option in the manual page but not in the program" "$tmp/known" "$tmp/man"
} >"$tmp/out"
if [ -s "$tmp/out" ]; then
    cat "$tmp/out" >&2
    exit 1
fi
echo "$(basename "$page") matches the usage of $(basename "$prog")"
