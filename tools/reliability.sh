#!/usr/bin/env bash
# Fuzzes each target for a bounded time: builds the libFuzzer programs with
# clang (AddressSanitizer + UndefinedBehaviorSanitizer) in build/fuzz, runs
# each from a scratch copy of its committed corpus, and keeps any crashing
# input in fuzz/crashes/<target>/ so that the regression runners replay it.
#   tools/reliability.sh [seconds per target, default 20, at most 60]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${CAMKIT_FUZZ_SECONDS:-20}}
if [ "$seconds" -gt 60 ]; then seconds=60; fi
targets=(jpg2rgb convert strings serve_request)
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

cmake -S . -B build/fuzz -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_FLAGS="$san -fsanitize=fuzzer-no-link" \
  -DCMAKE_CXX_FLAGS="$san -fsanitize=fuzzer-no-link" \
  -DCMAKE_EXE_LINKER_FLAGS="$san -shared-libsan" \
  -DCMAKE_SHARED_LINKER_FLAGS="$san -shared-libsan" \
  -DCAMKIT_BUILD_FUZZ=ON -DBUILD_TESTING=OFF -DCAMKIT_BUILD_BENCH=OFF \
  -DCAMKIT_BUILD_BOARDFLASH=OFF -DCAMKIT_BUILD_DOVIVUZO=OFF >/dev/null
cmake --build build/fuzz --target "${targets[@]/#/fuzz_}"

# The sanitizer runtime is shared (the libraries are), and lives in clang's own directory.
export LD_LIBRARY_PATH="$(clang++-14 -print-runtime-dir)${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:verify_asan_link_order=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for t in "${targets[@]}"; do
  work=build/fuzz/run/$t
  rm -rf "$work" && mkdir -p "$work/corpus" "fuzz/crashes/$t"
  cp fuzz/corpus/$t/* "$work/corpus/"
  dict=()
  if [ -f fuzz/$t.dict ]; then dict=(-dict="fuzz/$t.dict"); fi
  echo "=== fuzz $t for ${seconds}s"
  # The libraries print one line per rejected image; only libFuzzer's own
  # status lines are of interest here.
  if ! build/fuzz/fuzz/fuzz_$t -max_total_time="$seconds" -max_len=65536 -timeout=10 \
      -rss_limit_mb=2048 -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="fuzz/crashes/$t/" \
      "${dict[@]}" "$work/corpus" >"$work/log" 2>&1; then
    status=1
    echo "fuzz_$t failed; the input is in fuzz/crashes/$t/"
    grep -E "ERROR|SUMMARY|check failed" "$work/log" | head -20 || true
  fi
  grep -E "INITED|DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" \
    "$work/log" || tail -5 "$work/log"
done
exit $status
