"""camkit: the UVC camera module from Python.

Frames arrive as numpy arrays, with the driver's sequence number and
timestamp; the camera's V4L2 controls read and set like a dict, and its DSP
and sensor registers are a method call away::

    import camkit

    print(camkit.cameras())
    with camkit.Camera() as cam:              # camctl's defaults
        frame = cam.capture()                 # the bytes as delivered
        rgb = frame.rgb()                     # height x width x 3 uint8
        frame.save("picture.png")
        cam.controls["brightness"] = 10
        print(cam.dsp.read(0x0000, 4))

``Camera(latest=True)`` always hands out the newest frame however slow the
consumer; waits release the GIL, and ``cam.fileno()`` suits ``select`` and
``asyncio``. Errors from the device are ``OSError`` (with its errno), bad
arguments ``ValueError`` or ``TypeError``, a closed camera ``ValueError``.
"""

from ._camera import Camera, FormatNotGranted, FormatWarning
from ._catalogue import CameraInfo, FormatInfo, SizeInfo, cameras
from ._controls import ControlValue, Controls
from ._frame import Frame
from ._registers import Dsp, Sensor

__all__ = [
    "Camera",
    "CameraInfo",
    "ControlValue",
    "Controls",
    "Dsp",
    "FormatInfo",
    "FormatNotGranted",
    "FormatWarning",
    "Frame",
    "Sensor",
    "SizeInfo",
    "cameras",
]
