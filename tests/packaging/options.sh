# Shared by the manual page checks: option words in help text and manual page
# source, and $tmp, a scratch folder removed at exit.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Option words (-x, --long-name) on stdin, one a line, sorted.
option_words() {
    grep -oE '(^|[^A-Za-z0-9-])--?[A-Za-z0-9][-A-Za-z0-9]*' | sed -E 's/^[^-]//' | sort -u
}

# Manual page source on stdin as plain text: escapes for '-' and fonts undone.
man_text() {
    sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g'
}

# Lines of $3 (sorted option words) missing from $2, reported under the name $1.
missing() {
    comm -23 "$3" "$2" | sed "s/^/$1: /"
}
