#!/bin/sh
# check_versions.sh VERSION CHANGELOG README MANDIR [PROGRAM...]
# The packages' version (the newest debian/changelog entry, a native package),
# the manual pages' footers, the package names in the README's install lines
# and each program's --version are the CMake project version.
set -eu
version=$1 changelog=$2 readme=$3 mandir=$4
shift 4
fail=0
entry=$(sed -nE '1s/^[a-z0-9.+-]+ \(([^)]+)\).*/\1/p' "$changelog")
if [ "$entry" != "$version" ]; then
    echo "debian/changelog is at '$entry', the project at $version: add a changelog entry (dch -v $version)" >&2
    fail=1
fi
for page in "$mandir"/*.[1-8]; do
    got=$(sed -nE 's/^\.TH +[^ ]+ +[0-9] +"[^"]*" +"camkit ([^"]*)".*/\1/p' "$page")
    if [ "$got" != "$version" ]; then
        echo "$page: the .TH line gives version '$got', expected $version" >&2
        fail=1
    fi
done
# Package file names: NAME_VERSION_ARCH.deb
for got in $(grep -oE '[a-z0-9.+-]+_[^_ ]+_[a-z0-9]+\.deb' "$readme" | cut -d_ -f2 | sort -u); do
    if [ "$got" != "$version" ]; then
        echo "$readme: a package of version $got, expected $version" >&2
        fail=1
    fi
done
for prog in "$@"; do
    got=$("$prog" --version)
    want="$(basename "$prog") $version"
    if [ "$got" != "$want" ]; then
        echo "$prog --version printed '$got', expected '$want'" >&2
        fail=1
    fi
done
exit $fail
