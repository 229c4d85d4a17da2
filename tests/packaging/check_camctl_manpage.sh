#!/bin/sh
# check_camctl_manpage.sh CAMCTL MANPAGE [PENDING_COMMAND...]
# The manual page and camctl's help list the same commands and, per command,
# the same options. PENDING commands are described in the page but not
# (yet) listed by the program.
set -eu
camctl=$1 page=$2
shift 2
. "$(dirname "$0")/options.sh"

# "default VALUE" phrases on stdin, one a line, sorted.
defaults() {
    grep -oE 'default +[^ ),;]+' | sed -E 's/ +/ /g' | sort -u
}

"$camctl" --help | sed -nE 's/^  ([a-z]+) .*/\1/p' | sort -u >"$tmp/cmds.help"
sed -nE 's/^\.SS ([a-z]+)$/\1/p' "$page" | sort -u >"$tmp/cmds.man"
printf '%s\n' "$@" | sed '/^$/d' | sort -u >"$tmp/pending"
comm -23 "$tmp/cmds.help" "$tmp/cmds.man" | sed 's/^/command missing from the manual page: /' >"$tmp/out"
comm -23 "$tmp/cmds.man" "$tmp/cmds.help" | comm -23 - "$tmp/pending" |
    sed 's/^/command in the manual page but not in camctl: /' >>"$tmp/out"

# The page's text before COMMANDS against the general help, then each command's section.
man_text <"$page" | sed '/^\.SH COMMANDS/,$d' | option_words >"$tmp/opts.man"
"$camctl" --help | option_words >"$tmp/opts.help"
missing "general option missing from the manual page" "$tmp/opts.man" "$tmp/opts.help" >>"$tmp/out"
missing "general option not in camctl --help" "$tmp/opts.help" "$tmp/opts.man" >>"$tmp/out"
while read -r cmd; do
    man_text <"$page" | sed -n "/^\.SS $cmd\$/,/^\.S[SH] /p" | sed '1d;$d' | option_words >"$tmp/opts.man"
    "$camctl" "$cmd" --help | option_words >"$tmp/opts.help"
    missing "camctl $cmd: option missing from the manual page" "$tmp/opts.man" "$tmp/opts.help" >>"$tmp/out"
    missing "camctl $cmd: option not in its --help" "$tmp/opts.help" "$tmp/opts.man" >>"$tmp/out"
    # Defaults the help gives ("(default 8)") are the page's too.
    man_text <"$page" | sed -n "/^\.SS $cmd\$/,/^\.S[SH] /p" | tr '\n' ' ' | defaults >"$tmp/def.man"
    "$camctl" "$cmd" --help | tr '\n' ' ' | defaults >"$tmp/def.help"
    missing "camctl $cmd: a default of its --help not in the manual page" "$tmp/def.man" "$tmp/def.help" >>"$tmp/out"
done <"$tmp/cmds.help"

if [ -s "$tmp/out" ]; then
    cat "$tmp/out" >&2
    exit 1
fi
echo "camctl(1) matches the help of $(wc -l <"$tmp/cmds.help") commands"
