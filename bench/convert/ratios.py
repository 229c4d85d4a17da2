#!/usr/bin/env python3
"""Prints each converter's time over its reference's, from convert_bench's JSON,
and flags a ratio over its target (exit status 1 when one is).

    convert_bench --benchmark_filter='Yuyv|Libyuv' --benchmark_repetitions=9 \\
        --benchmark_enable_random_interleaving=true --benchmark_format=json | ratios.py

With repetitions the ratio is of the medians, and min/median/max of each side
are shown.
"""
import json
import statistics
import sys

REF_YUYV = "BM_Libyuv_Yuy2ToRgb24"
# (ours, reference, target ratio or None)
PAIRS = [("BM_Yuyv2Rgb", REF_YUYV, 0.7),
         ("BM_Yuyv2Rgb_avx512", REF_YUYV, 0.7),
         ("BM_Yuyv2Rgb_avx512bw", REF_YUYV, 0.7),
         ("BM_Yuyv2Rgb_avx2", REF_YUYV, 0.7),
         ("BM_Yuyv2Rgb_sse2", REF_YUYV, None),
         ("BM_Yuyv2Rgb_neon", REF_YUYV, None),
         ("BM_Yuyv2Rgb_scalar", REF_YUYV, None),
         ("BM_Jpg2Rgb", "BM_Turbojpeg_tjDecompress2", None),
         ("BM_SaveBmp", "BM_Fwrite", None)]

report = json.load(sys.stdin)
context = report.get("context", {})
print(f"CPU: {context.get('cpu_model', '?')}   Yuyv2Rgb kernel: {context.get('yuyv_kernel', '?')}")
times = {}
for b in report["benchmarks"]:
    if b.get("run_type") == "iteration":
        times.setdefault(b["run_name"], []).append(b["real_time"])

over = False
for ours, ref, target in PAIRS:
    for size in ("1920/1080", "640/480"):
        a, b = times.get(f"{ours}/{size}"), times.get(f"{ref}/{size}")
        if not a or not b:
            continue
        ratio = statistics.median(a) / statistics.median(b)
        flag = ""
        if target is not None and ratio > target:
            flag = f"  OVER TARGET {target}"
            over = True
        print(f"{ours}/{size}: {min(a):8.1f} {statistics.median(a):8.1f} {max(a):8.1f} us"
              f"  {ref}: {min(b):8.1f} {statistics.median(b):8.1f} {max(b):8.1f} us"
              f"  (min median max)  ratio {ratio:.2f}{flag}")
sys.exit(1 if over else 0)
