"""A camera opened for capture: defaults as camctl chooses them, frames,
controls and registers."""

import asyncio
import errno
import warnings
from fractions import Fraction
from typing import AsyncIterator, Iterator, Optional, Tuple, Union

import numpy as np

from . import _native
from ._controls import Controls
from ._frame import Frame
from ._registers import Dsp, Sensor

_FORMATS = {"MJPG": _native.FOURCC_MJPG, "MJPEG": _native.FOURCC_MJPG,
            "YUYV": _native.FOURCC_YUYV, "YUY2": _native.FOURCC_YUYV}


class FormatWarning(UserWarning):
    """The driver granted another format, size or rate than asked for."""


class FormatNotGranted(OSError):
    """With exact=True: the driver granted another format, size or rate."""


def _fourcc(format: Union[str, int, None]) -> int:
    if format is None:
        return 0
    if isinstance(format, int) and not isinstance(format, bool):
        return format
    if not isinstance(format, str):
        raise TypeError(f"format is a name such as 'MJPG' or 'YUYV', not {type(format).__name__}")
    try:
        return _FORMATS[format.upper()]
    except KeyError:
        raise ValueError(f"unknown format {format!r}; use MJPG or YUYV") from None


def _size(size) -> Tuple[int, int]:
    if size is None:
        return 0, 0
    if isinstance(size, str):
        try:
            w, h = (int(v) for v in size.lower().split("x"))
        except ValueError:
            raise ValueError(f"size {size!r} is not WIDTHxHEIGHT") from None
    else:
        try:
            w, h = size
        except (TypeError, ValueError):
            raise TypeError("size is (width, height) or 'WIDTHxHEIGHT'") from None
    if not (isinstance(w, int) and isinstance(h, int)) or w <= 0 or h <= 0 or w > 65535 or h > 65535:
        raise ValueError(f"bad size {size!r}")
    return w, h


def _rate(fps) -> Tuple[int, int]:
    """fps as (denominator, numerator) seconds per frame; (0, 1) for the default."""
    if fps is None:
        return 0, 1
    if isinstance(fps, bool) or not isinstance(fps, (int, float, Fraction)) or not 0 < fps <= 1000:
        raise ValueError(f"bad frame rate {fps!r}")
    f = Fraction(fps).limit_denominator(1001)
    return f.numerator, f.denominator


class Camera:
    """A camera streaming into one of the two capture slots.

    What is left None comes from the catalogue as ``camctl`` chooses it: the
    first camera, its first format, its largest size, the fastest rate.
    The driver may grant something else: a FormatWarning, or with
    ``exact=True`` FormatNotGranted. ``latest=True`` makes every capture
    hand out the newest frame, taking and dropping the older ones queued
    (``dropped`` counts them). ``timeout`` (seconds, None for ever) bounds
    each wait. Use it in ``with``, or call close().

    ``control_only=True`` opens the camera for its controls and registers
    alone (no format, no frames), so they can be adjusted while another
    program streams from it.
    """

    def __init__(self, device: Optional[str] = None, format: Union[str, int, None] = None,
                 size=None, fps: Union[int, float, None] = None, slot: Optional[int] = None,
                 *, exact: bool = False, latest: bool = False, timeout: Optional[float] = 2.0,
                 control_only: bool = False):
        if slot is not None and (isinstance(slot, bool) or slot not in (0, 1)):
            raise ValueError(f"slot is 0, 1 or None, not {slot!r}")
        if device is not None and not isinstance(device, str):
            raise TypeError("device is a path such as '/dev/video0'")
        fourcc = _fourcc(format)
        width, height = _size(size)
        den, num = _rate(fps)
        if control_only and (fourcc or width or num != 1 or den):
            raise ValueError("a control_only camera takes no format, size or fps")
        chosen = _native.choose(device, fourcc, width, height, den if num == 1 else 0)
        if num != 1:
            chosen["denominator"], chosen["numerator"] = den, num
        self.latest = latest
        self.timeout = timeout
        self.dropped = 0
        self._last_sequence: Optional[int] = None
        self._scratch: Optional[np.ndarray] = None
        self._slot = _native.Slot(-1 if slot is None else slot, chosen["device"], chosen["fourcc"],
                                  chosen["width"], chosen["height"], chosen["denominator"],
                                  chosen["numerator"], control_only)
        self.device: str = chosen["device"]
        self.card: str = chosen["card"]
        self.fourcc, w, h, gden, gnum = self._slot.granted()
        self.size: Tuple[int, int] = (w, h)
        self.fps: float = gden / gnum if gnum else 0.0
        self.controls = Controls(self._slot)
        self.dsp = Dsp(self._slot)
        self.sensor = Sensor(self._slot)
        if control_only:
            return
        wanted = (chosen["fourcc"], chosen["width"], chosen["height"])
        if wanted != (self.fourcc, w, h) or (gnum and Fraction(gden, gnum) != Fraction(
                chosen["denominator"], chosen["numerator"] or 1)):
            text = (f"{self.device}: asked for {_native.fourcc_text(chosen['fourcc'])} "
                    f"{chosen['width']}x{chosen['height']} at "
                    f"{chosen['denominator'] / (chosen['numerator'] or 1):g} fps, the driver granted "
                    f"{self.format} {w}x{h} at {self.fps:g} fps")
            if exact:
                self.close()
                raise FormatNotGranted(errno.EINVAL, text)
            warnings.warn(text, FormatWarning, stacklevel=2)

    @property
    def format(self) -> str:
        """The pixel format granted: "MJPG" or "YUY2" ("" when control_only)."""
        return _native.fourcc_text(self.fourcc) if self.fourcc else ""

    @property
    def control_only(self) -> bool:
        """Opened for controls and registers only: no frames."""
        return self._slot.control_only

    @property
    def slot(self) -> int:
        """The capture slot (0 or 1) the camera holds."""
        return self._slot.index

    @property
    def closed(self) -> bool:
        return self._slot.closed

    def __repr__(self):
        state = "closed" if self.closed else f"slot {self.slot}"
        if self.control_only:
            return f"<camkit.Camera {self.device} controls and registers only, {state}>"
        return (f"<camkit.Camera {self.device} {self.format} {self.size[0]}x{self.size[1]} "
                f"at {self.fps:g} fps, {state}>")

    def close(self) -> None:
        """Stops streaming and frees the slot; waits in other threads end with ValueError."""
        self._slot.close()

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def fileno(self) -> int:
        """The video node's descriptor: readable when a frame is queued (select, asyncio)."""
        return self._slot.fileno()

    def _frame(self, grabbed) -> Frame:
        data, sequence, timestamp, _taken, _flags = grabbed
        gap = 0
        if self._last_sequence is not None and sequence > self._last_sequence:
            gap = sequence - self._last_sequence - 1
        self._last_sequence = sequence
        self.dropped += gap
        return Frame(data, sequence, timestamp, self.fourcc, self.size, gap)

    def capture(self, timeout: Optional[float] = None, latest: Optional[bool] = None) -> Frame:
        """The next frame (the newest with latest=True); TimeoutError after timeout seconds
        (default: the camera's), OSError when the device fails or is unplugged."""
        t = self.timeout if timeout is None else timeout
        return self._frame(self._slot.grab(-1.0 if t is None else float(t),
                                           self.latest if latest is None else latest))

    def capture_rgb(self, out: Optional[np.ndarray] = None, timeout: Optional[float] = None) -> np.ndarray:
        """capture().rgb(out): the next frame as height x width x 3 RGB.

        The frame's bytes go through a buffer the camera reuses, so a loop
        that passes the same ``out`` allocates nothing per frame."""
        if self._scratch is None:
            self._scratch = np.empty(self._slot.capacity, np.uint8)
        t = self.timeout if timeout is None else timeout
        frame = self._frame(self._slot.grab(-1.0 if t is None else float(t), self.latest,
                                            self._scratch))
        return frame.rgb(out)

    def __iter__(self) -> Iterator[Frame]:
        """Frames until the camera is closed (break out to stop)."""
        if self.control_only:
            self.capture()  # says why there are none
        while not self.closed:
            try:
                yield self.capture()
            except ValueError:
                if self.closed:
                    return
                raise

    async def acapture(self) -> Frame:
        """capture() for asyncio: waits on the event loop for the descriptor."""
        loop = asyncio.get_running_loop()
        while True:
            try:
                return self._frame(self._slot.grab(0.0, self.latest))
            except TimeoutError:
                pass
            ready = loop.create_future()
            fd = self.fileno()
            loop.add_reader(fd, lambda: ready.done() or ready.set_result(None))
            try:
                if self.timeout is None:
                    await ready
                else:
                    await asyncio.wait_for(ready, self.timeout)
            finally:
                loop.remove_reader(fd)

    async def __aiter__(self) -> AsyncIterator[Frame]:
        """``async for frame in cam``: acapture() until the camera is closed."""
        while not self.closed:
            yield await self.acapture()
