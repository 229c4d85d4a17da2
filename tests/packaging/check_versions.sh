#!/bin/sh
# check_versions.sh VERSION CHANGELOG [PROGRAM...]
# The packages' version (the newest debian/changelog entry, a native package)
# and each program's --version are the CMake project version.
set -eu
version=$1 changelog=$2
shift 2
fail=0
entry=$(sed -nE '1s/^[a-z0-9.+-]+ \(([^)]+)\).*/\1/p' "$changelog")
if [ "$entry" != "$version" ]; then
    echo "debian/changelog is at '$entry', the project at $version: add a changelog entry (dch -v $version)" >&2
    fail=1
fi
for prog in "$@"; do
    got=$("$prog" --version)
    want="$(basename "$prog") $version"
    if [ "$got" != "$want" ]; then
        echo "$prog --version printed '$got', expected '$want'" >&2
        fail=1
    fi
done
exit $fail
