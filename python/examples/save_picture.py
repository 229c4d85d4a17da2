#!/usr/bin/python3
"""Saves one picture from the first camera: python3 save_picture.py [picture.png]"""

import sys

import camkit

path = sys.argv[1] if len(sys.argv) > 1 else "picture.png"
with camkit.Camera() as cam:  # first camera, first format, largest size, fastest rate
    frame = cam.capture()
    frame.save(path)  # .png, .bmp or .jpg
    print(f"{path}: {cam.format} {frame.size[0]}x{frame.size[1]} from {cam.device}, "
          f"frame {frame.sequence}")
