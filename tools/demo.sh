#!/usr/bin/env bash
# The main job: build the kit and run a real V4L2 client against the
# simulated camera.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

cmake --preset release >/dev/null
cmake --build --preset release
run=build/release/simcam/simcam-run

echo "=== Formats of the simulated camera"
"$run" -- v4l2-ctl -d /dev/video0 --list-formats-ext
echo "=== Streaming 60 frames (MJPG 640x480 at 30 fps)"
"$run" -- v4l2-ctl -d /dev/video0 --set-fmt-video=width=640,height=480,pixelformat=MJPG \
  --set-parm=30 --stream-mmap --stream-count=60
