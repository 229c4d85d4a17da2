"""The camera catalogue as plain objects."""

from dataclasses import dataclass
from typing import List, Tuple

from . import _native


@dataclass(frozen=True)
class SizeInfo:
    """A frame size and the rates offered at it (frames per second, fastest last as listed)."""

    width: int
    height: int
    fps: Tuple[float, ...]


@dataclass(frozen=True)
class FormatInfo:
    """A pixel format ("MJPG", "YUY2") and its sizes."""

    name: str
    fourcc: int
    sizes: Tuple[SizeInfo, ...]


@dataclass(frozen=True)
class CameraInfo:
    """One camera: its video node, card name, USB identity and formats."""

    node: str
    card: str
    manufacturer: str
    product: str
    serial: str
    vendor_id: int
    product_id: int
    formats: Tuple[FormatInfo, ...]


def _fps(denominator: int, numerator: int) -> float:
    return denominator / numerator if numerator else 0.0


def cameras() -> List[CameraInfo]:
    """The cameras attached now, as ``camctl list`` shows them (nodes that
    capture: a camera's metadata node is left out).

    Raises OSError when the catalogue cannot be read (no udev).
    """
    out = []
    for d in _native.cameras():
        if not d["formats"]:
            continue
        formats = tuple(
            FormatInfo(name, fourcc,
                       tuple(SizeInfo(w, h, tuple(_fps(*r) for r in rates)) for w, h, rates in sizes))
            for name, fourcc, sizes in d["formats"])
        out.append(CameraInfo(d["node"], d["card"], d["manufacturer"], d["product"], d["serial"],
                              d["vendor_id"], d["product_id"], formats))
    return out
