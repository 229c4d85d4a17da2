#!/bin/sh
# check_symbols.sh ABI_LIST DEBIAN_SYMBOLS
# The Debian symbols file lists exactly the exported symbols of the committed
# ABI list (dpkg-gensymbols then holds the built library to both).
set -eu
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
grep -v '^#' "$1" | awk '{print $2}' | sort >"$tmp/abi"
sed -nE 's/^ ([^@ ]+)@Base .*/\1/p' "$2" | sort >"$tmp/deb"
if ! diff -u "$tmp/abi" "$tmp/deb" >"$tmp/diff"; then
    echo "$2 differs from $1 (- only in the ABI list, + only in the symbols file):" >&2
    tail -n +3 "$tmp/diff" | grep '^[-+]' >&2
    exit 1
fi
echo "$(wc -l <"$tmp/abi") symbols agree"
