#!/usr/bin/env python3
"""Prints each converter's time over its reference's, from convert_bench's JSON.

    convert_bench --benchmark_repetitions=5 --benchmark_format=json | ratios.py
"""
import json
import sys

PAIRS = [("BM_Yuyv2Rgb", "BM_Libyuv_Yuy2ToRgb24"),
         ("BM_Jpg2Rgb", "BM_Turbojpeg_tjDecompress2"),
         ("BM_SaveBmp", "BM_Fwrite")]

runs = json.load(sys.stdin)["benchmarks"]
# Medians when repeated, plain runs otherwise.
median = {b["run_name"]: b["real_time"] for b in runs if b.get("aggregate_name") == "median"}
if not median:
    median = {b["run_name"]: b["real_time"] for b in runs if b.get("run_type") == "iteration"}
for ours, ref in PAIRS:
    for size in ("1920/1080", "640/480"):
        a, b = median.get(f"{ours}/{size}"), median.get(f"{ref}/{size}")
        if a and b:
            print(f"{ours}/{size}: {a:10.1f} us  {ref}: {b:10.1f} us  ratio {a / b:.2f}")
