#!/usr/bin/python3
"""A live window fed by camkit, drawn by OpenCV; q or Esc quits.

latest=True hands over the newest frame even when drawing falls behind,
so the picture never lags. Needs python3-opencv and a display.
"""

import cv2
import numpy as np

import camkit

with camkit.Camera(format="MJPG", size=(1280, 720), latest=True) as cam:
    rgb = np.empty((cam.size[1], cam.size[0], 3), np.uint8)  # reused for every frame
    for frame in cam:
        frame.rgb(out=rgb)
        bgr = cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR)
        cv2.putText(bgr, f"frame {frame.sequence}  dropped {cam.dropped}", (10, 30),
                    cv2.FONT_HERSHEY_SIMPLEX, 0.8, (0, 255, 0), 2)
        cv2.imshow("camkit", bgr)
        if cv2.waitKey(1) in (ord("q"), 27):
            break
cv2.destroyAllWindows()
