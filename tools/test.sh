#!/usr/bin/env bash
# Builds every test configuration and runs all tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

# tsan runs the threaded tests only; i686 is the 32-bit x86 cross build,
# its tests run under qemu-i386.
for preset in dev asan tsan i686; do
  echo "=== preset $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done
bash tools/reliability.sh 20  # libFuzzer targets, 20 s each
