"""A frame as the driver delivered it, and its conversions."""

import os
import struct
import zlib
from typing import Optional, Tuple

import numpy as np

from . import _native


class Frame:
    """One frame: ``data`` holds the bytes as delivered (its own copy, valid
    after the camera is closed), ``sequence`` the driver's frame number,
    ``timestamp`` the driver's time in seconds (CLOCK_MONOTONIC), ``dropped``
    the frames lost or skipped just before this one."""

    __slots__ = ("data", "sequence", "timestamp", "format", "fourcc", "size", "dropped")

    def __init__(self, data: np.ndarray, sequence: int, timestamp: float, fourcc: int,
                 size: Tuple[int, int], dropped: int = 0):
        self.data = data
        self.sequence = sequence
        self.timestamp = timestamp
        self.fourcc = fourcc
        self.format = _native.fourcc_text(fourcc)
        self.size = size
        self.dropped = dropped

    def __repr__(self):
        w, h = self.size
        return (f"<Frame {self.sequence} {self.format} {w}x{h} {self.data.size} bytes "
                f"at {self.timestamp:.6f}>")

    def rgb(self, out: Optional[np.ndarray] = None) -> np.ndarray:
        """The picture as a height x width x 3 uint8 RGB array.

        ``out`` (that shape, C-contiguous uint8) is filled instead of a new
        array, so a loop can reuse one. ValueError for a damaged frame.
        """
        w, h = self.size
        if out is None:
            out = np.empty((h, w, 3), np.uint8)
        if self.fourcc == _native.FOURCC_MJPG:
            _native.jpeg_to_rgb(self.data, w, h, out)
        elif self.fourcc == _native.FOURCC_YUYV:
            _native.yuyv_to_rgb(self.data, w, h, out)
        else:
            raise ValueError(f"camkit cannot convert {self.format} frames")
        return out

    def jpeg(self, quality: int = 90) -> bytes:
        """The frame as a JPEG file's bytes (an MJPG frame as delivered)."""
        if self.fourcc == _native.FOURCC_MJPG:
            return self.data.tobytes()
        if self.fourcc == _native.FOURCC_YUYV:
            return _native.yuyv_to_jpeg(self.data, self.size[0], self.size[1], quality)
        raise ValueError(f"camkit cannot convert {self.format} frames")

    def save(self, path: "os.PathLike[str] | str", quality: int = 90) -> None:
        """Writes the picture to path as .bmp, .png or .jpg/.jpeg (by its suffix)."""
        suffix = os.path.splitext(os.fspath(path))[1].lower()
        writers = {".bmp": _bmp, ".png": _png}
        if suffix in (".jpg", ".jpeg"):
            if self.fourcc == _native.FOURCC_MJPG:
                self.rgb()  # refuses a damaged frame before it is written
            body = self.jpeg(quality)
        elif suffix in writers:
            body = writers[suffix](self.rgb())
        else:
            raise ValueError(f"{os.fspath(path)}: use a .bmp, .png or .jpg name")
        with open(path, "wb") as f:
            f.write(body)


def _bmp(rgb: np.ndarray) -> bytes:
    h, w, _ = rgb.shape
    stride = (w * 3 + 3) & ~3
    rows = np.zeros((h, stride), np.uint8)
    rows[:, :w * 3] = rgb[::-1, :, ::-1].reshape(h, w * 3)  # bottom-up BGR
    header = struct.pack("<2sIHHI", b"BM", 54 + rows.size, 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, rows.size, 2835, 2835, 0, 0)
    return header + info + rows.tobytes()


def _png(rgb: np.ndarray) -> bytes:
    h, w, _ = rgb.shape
    raw = np.zeros((h, w * 3 + 1), np.uint8)  # filter byte 0 on each row
    raw[:, 1:] = rgb.reshape(h, w * 3)

    def chunk(kind: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw.tobytes(), 6)) + chunk(b"IEND", b""))
