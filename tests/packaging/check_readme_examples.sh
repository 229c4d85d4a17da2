#!/bin/sh
# check_readme_examples.sh README SIMCAM_RUN CAMERA_FILE BINDIR
# The camctl examples of the README ("With a real camera, run the same
# commands ...") run as written, each on the simulated cameras of
# CAMERA_FILE, with BINDIR's camctl first on PATH. 127: no umockdev.
set -eu
readme=$1 run=$2 cameras=$3 bindir=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sed -n '/^With a real camera, run the same commands/,/^With the simulated camera/p' "$readme" |
    sed -n 's/^    //p' >"$tmp/examples"
if [ ! -s "$tmp/examples" ]; then
    echo "$readme: no camctl examples found" >&2
    exit 1
fi
cd "$tmp"
fail=0
while read -r line; do
    status=0
    PATH="$bindir:$PATH" "$run" --camera "$cameras" -- sh -c "$line" >out 2>&1 </dev/null || status=$?
    [ $status -ne 127 ] || exit 127
    if [ $status -ne 0 ]; then
        echo "README example '$line' failed (exit $status):" >&2
        sed 's/^/    /' out >&2
        fail=1
    fi
done <"$tmp/examples"
[ $fail -ne 0 ] || echo "$(wc -l <"$tmp/examples") README examples ran"
exit $fail
