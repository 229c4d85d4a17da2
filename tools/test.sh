#!/usr/bin/env bash
# Builds every test configuration and runs all tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

for preset in dev asan; do
  echo "=== preset $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done
