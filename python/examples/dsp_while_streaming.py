#!/usr/bin/python3
"""Steps the DSP's zoom register (0x0010, 16ths) while another thread streams.

The capture thread waits with the GIL released, so register traffic from
this thread goes on beside it.
"""

import threading
import time

import camkit

ZOOM = 0x0010

with camkit.Camera(latest=True) as cam:
    frames = []

    def stream():
        for frame in cam:  # ends when the camera is closed
            frames.append(frame.sequence)

    t = threading.Thread(target=stream)
    t.start()
    before = cam.dsp.read(ZOOM)[0]
    for zoom in (16, 24, 32, before):
        cam.dsp.write(ZOOM, [zoom])
        time.sleep(0.5)
        print(f"zoom register {cam.dsp.read(ZOOM)[0] / 16:.2f}x, {len(frames)} frames so far")
    cam.close()
    t.join()
