#!/usr/bin/env bash
# The main job: build the kit and run camctl against the simulated camera:
# list the cameras, then photograph a few MJPG and YUYV frames into BMP files.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

cmake --preset release >/dev/null
cmake --build --preset release
run=build/release/simcam/simcam-run
camctl=build/release/tools/camctl/camctl
out=build/demo

rm -rf "$out"
mkdir -p "$out"
echo "=== The attached cameras (camctl list)"
"$run" -- "$camctl" list
echo "=== Three MJPG frames: the first camera's first format, largest size, fastest rate"
"$run" -- "$camctl" snap -n 3 -o "$out/mjpg-%03d.bmp"
echo "=== Three YUYV frames at 640x480"
"$run" -- "$camctl" snap -f YUY2 -s 640x480 -n 3 -o "$out/yuyv-%03d.bmp"
echo "=== Streaming 30 frames (camctl stream)"
"$run" -- "$camctl" stream -n 30
echo
echo "The pictures are in $(cd "$out" && pwd):"
ls -1 "$out"
echo "Each shows the simulated camera's test pattern: colour bars, a red block"
echo "that moves from frame to frame, and the frame number at the bottom left."
echo
echo "=== Live view in a browser (camctl serve)"
echo "Start the server on the simulated camera:"
echo "  $run -- $camctl serve -f MJPG -s 1280x720 -r 30"
echo "then open http://127.0.0.1:8080/ (it listens on loopback only; stop it with Ctrl-C)."
