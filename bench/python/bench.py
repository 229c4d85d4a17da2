#!/usr/bin/python3
"""camkit beside OpenCV's VideoCapture on the same simulated camera, in one run.

usage: bench.py [--build DIR] [--runs N] [--seconds S]

Each measurement is a fresh process under simcam-run on a camera of
`paced yes` and `still yes` (frames at 30 fps, drawn once, so the camera's
own cost stays small), alternating camkit and OpenCV, N runs each; the
script prints min/median/max over the runs:

  cpu ms/frame  process CPU (user+system) per frame over S seconds after a
                one-second warm-up, for MJPG 1280x720 to an RGB array
                (camkit capture_rgb into a reused array; OpenCV read(), BGR)
                and YUYV 640x480 the same way
  lost          frames lost while the consumer keeps up: camkit from the
                driver's sequence numbers, OpenCV (which gives none) as the
                frames due in the time minus the frames read
  age ms        a consumer that takes 100 ms per frame: now - driver
                timestamp of each frame handed over (camkit latest=True
                frame.timestamp; OpenCV's CAP_PROP_POS_MSEC, its driver
                timestamp), median and max of each run

Run it on a quiet machine: the load average is printed before and after.
Uses Debian's /usr/bin/python3 (numpy, cv2) and the build tree's camkit.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CAMERA = """camera /dev/video0
  usb_id 5ca1:ab1e
  manufacturer Simulated Optics
  product SimCam Module
  serial SC0001
  paced yes
  still yes
  format MJPG
    size 1280x720 1/30
    size 640x480 1/30
  format YUYV
    size 640x480 1/30
"""
CASES = {"mjpg": ("MJPG", 1280, 720), "yuyv": ("YUYV", 640, 480)}
FPS = 30
PROCESSING = 0.1


# ---- the workers: one measurement each, in the process under simcam-run ----

def open_camkit(fmt, w, h, latest=False):
    import camkit
    return camkit.Camera("/dev/video0", format=fmt, size=(w, h), fps=FPS, latest=latest)


def open_opencv(fmt, w, h):
    import cv2
    c = cv2.VideoCapture("/dev/video0", cv2.CAP_V4L2)
    c.set(cv2.CAP_PROP_FOURCC, cv2.VideoWriter_fourcc(*fmt))
    c.set(cv2.CAP_PROP_FRAME_WIDTH, w)
    c.set(cv2.CAP_PROP_FRAME_HEIGHT, h)
    c.set(cv2.CAP_PROP_FPS, FPS)
    if not c.isOpened():
        sys.exit("opencv: cannot open /dev/video0")
    return c


def cpu_worker(lib, case, seconds):
    import numpy as np
    fmt, w, h = CASES[case]
    if lib == "camkit":
        cam = open_camkit(fmt, w, h)
        rgb = np.empty((h, w, 3), np.uint8)

        def read():
            return cam.capture_rgb(out=rgb)
    else:
        cam = open_opencv(fmt, w, h)

        def read():
            ok, img = cam.read()
            if not ok:
                sys.exit("opencv: read failed")
            return img
    end = time.monotonic() + 1.0
    while time.monotonic() < end:
        read()
    dropped0 = cam.dropped if lib == "camkit" else 0
    t0, c0, n = time.monotonic(), time.process_time(), 0
    while time.monotonic() - t0 < seconds:
        img = read()
        n += 1
    cpu, wall = time.process_time() - c0, time.monotonic() - t0
    assert img.shape == (h, w, 3)
    lost = cam.dropped - dropped0 if lib == "camkit" else max(0, round(wall * FPS) - n)
    return {"cpu_ms": cpu / n * 1000, "fps": n / wall, "lost": lost}


def age_worker(lib, case, seconds):
    fmt, w, h = CASES[case]
    cam = open_camkit(fmt, w, h, latest=True) if lib == "camkit" else open_opencv(fmt, w, h)
    import cv2  # noqa: F401 (both sides pay the import)
    ages = []
    end = time.monotonic() + 1.0 + seconds
    while time.monotonic() < end:
        if lib == "camkit":
            f = cam.capture()
            stamp = f.timestamp
        else:
            ok, _ = cam.read()
            stamp = cam.get(cv2.CAP_PROP_POS_MSEC) / 1000
        age = time.monotonic() - stamp
        if end - time.monotonic() < seconds:  # after the warm-up
            ages.append(age * 1000)
        time.sleep(PROCESSING)  # the consumer's work
    return {"age_median_ms": statistics.median(ages), "age_max_ms": max(ages)}


# ---- the driver ----

def run(build, camera, kind, lib, case, seconds):
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"), SIMCAM_LOG_ENTRIES="0")
    cmd = [os.path.join(build, "simcam", "simcam-run"), "--camera", camera, "--",
           "/usr/bin/python3", os.path.abspath(__file__), "--worker", kind, lib, case,
           "--seconds", str(seconds)]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=False)
    if out.returncode != 0:
        sys.exit(f"bench: {' '.join(cmd)} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def spread(values, fmt="{:.2f}"):
    return "/".join(fmt.format(v) for v in (min(values), statistics.median(values), max(values)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "dev"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--seconds", type=float, default=5)
    ap.add_argument("--worker", nargs=3, metavar=("KIND", "LIB", "CASE"))
    a = ap.parse_args()
    if a.worker:
        kind, lib, case = a.worker
        print(json.dumps((cpu_worker if kind == "cpu" else age_worker)(lib, case, a.seconds)))
        return

    print(f"load average before: {os.getloadavg()}; {a.runs} runs of {a.seconds:g} s; "
          "min/median/max over the runs")
    with tempfile.NamedTemporaryFile("w", suffix=".conf") as cam:
        cam.write(CAMERA)
        cam.flush()
        results = {}
        plan = [("cpu", "mjpg"), ("cpu", "yuyv"), ("age", "mjpg")]
        for _ in range(a.runs):
            for kind, case in plan:
                for lib in ("camkit", "opencv"):
                    r = run(a.build, cam.name, kind, lib, case, a.seconds)
                    for key, v in r.items():
                        results.setdefault((kind, case, lib, key), []).append(v)
    for kind, case in plan:
        w, h = CASES[case][1:]
        print(f"\n{kind} {CASES[case][0]} {w}x{h} at {FPS} fps"
              + (f", consumer {PROCESSING * 1000:g} ms per frame" if kind == "age" else ""))
        for lib in ("camkit", "opencv"):
            keys = sorted(k[3] for k in results if k[:3] == (kind, case, lib))
            cells = [f"{k} {spread(results[(kind, case, lib, k)], '{:.0f}' if k == 'lost' else '{:.2f}')}"
                     for k in keys]
            label = "camkit latest=True" if kind == "age" and lib == "camkit" else lib
            print(f"  {label:20s} " + "  ".join(cells))
    print(f"\nload average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
