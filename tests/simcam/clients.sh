#!/bin/sh
# Real V4L2 clients against the simulated camera: simcam-run RUN TOOL...
set -eu
run=$1
case $2 in
list)
    out=$("$run" -- v4l2-ctl -d /dev/video0 --list-formats-ext)
    echo "$out"
    echo "$out" | grep -q "'MJPG' (Motion-JPEG, compressed)"
    echo "$out" | grep -q "'YUYV' (YUYV 4:2:2)"
    [ "$(echo "$out" | grep -c 'Size: Discrete')" -eq 5 ]
    [ "$(echo "$out" | grep -c 'Interval: Discrete')" -eq 13 ]
    ;;
stream)
    start=$(date +%s%N)
    out=$("$run" -- v4l2-ctl -d /dev/video0 --set-fmt-video=width=640,height=480,pixelformat=YUYV \
        --set-parm=30 --stream-mmap --stream-count=30 2>&1)
    end=$(date +%s%N)
    echo "$out"
    [ "$(echo "$out" | tr -cd '<' | wc -c)" -eq 30 ]
    echo "$out" | grep -q "Frame rate set to 30.000 fps"
    ms=$(( (end - start) / 1000000 ))
    echo "30 frames in $ms ms"
    # 30 frames at 30 fps: about a second.
    [ "$ms" -ge 900 ] && [ "$ms" -lt 5000 ]
    ;;
esac
