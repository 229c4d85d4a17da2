#!/usr/bin/env bash
# Builds every test configuration and runs all tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

# tsan runs the threaded tests only; armhf and i686 are the 32-bit cross
# builds of the targets, their tests run under qemu-arm and qemu-i386 and
# include the ABI baselines.
presets=(dev asan tsan armhf i686)
times=()
for preset in "${presets[@]}"; do
  echo "=== preset $preset"
  start=$SECONDS
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
  times+=("$preset $((SECONDS - start)) s")
done
# The real uvcvideo driver: Debian's kernel under qemu (fetched into
# /var/cache/camkit-kernel at first use), the dev build's programs in the VM;
# the i686 build's through the 64-bit kernel's compat path, the armhf build's
# on Debian's 32-bit ARM kernel.
echo "=== real-kernel stage"
start=$SECONDS
ctest --preset kernel
ctest --preset kernel-i686
ctest --preset kernel-armhf
times+=("kernel $((SECONDS - start)) s")
# The Debian packages: built for amd64, armhf and i386, installed, tried and
# purged (as root only; it says so and skips otherwise).
start=$SECONDS
bash tools/package-test.sh
times+=("packages $((SECONDS - start)) s")
start=$SECONDS
bash tools/reliability.sh 20  # libFuzzer targets, 20 s each
times+=("fuzz $((SECONDS - start)) s")
echo "=== time per step (configure, build, test)"
printf '  %s\n' "${times[@]}"
