"""camkit on the real uvcvideo driver, run inside the VM by python-case.sh.

With --list (on the host) it prints the files the run imports instead, so
that only those are copied into the VM.
"""
import sys
import time

import camkit

if "--list" in sys.argv:
    files = {sys.executable}
    for m in list(sys.modules.values()):
        f = getattr(m, "__file__", None)
        if f:
            files.add(f)
    print("\n".join(sorted(files)))
    sys.exit(0)

(cam_info,) = [c for c in camkit.cameras() if c.node == "/dev/video0"]
print("camera", cam_info.card, f"{cam_info.vendor_id:04x}:{cam_info.product_id:04x}")
with camkit.Camera("/dev/video0", format="MJPG", size=(640, 480), timeout=10) as cam:
    frames = [cam.capture() for _ in range(3)]
    age = time.monotonic() - frames[-1].timestamp
    seqs = [f.sequence for f in frames]
    assert seqs == sorted(seqs) and len(set(seqs)) == 3, seqs
    assert 0 <= age < 2, age
    assert frames[-1].rgb().shape == (480, 640, 3)
    assert int(cam.controls["brightness"]) == cam.controls["brightness"].default
    assert cam.dsp.read(0, 4) == b"SC\x01\x04"
print("python ok", seqs, f"age {age * 1000:.0f} ms")
