# Type stubs of the camkit package's public face.
import os
from collections.abc import MutableMapping
from dataclasses import dataclass
from fractions import Fraction
from typing import AsyncIterator, Dict, Iterable, Iterator, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

_Size = Union[Tuple[int, int], str, None]

@dataclass(frozen=True)
class SizeInfo:
    width: int
    height: int
    fps: Tuple[float, ...]

@dataclass(frozen=True)
class FormatInfo:
    name: str
    fourcc: int
    sizes: Tuple[SizeInfo, ...]

@dataclass(frozen=True)
class CameraInfo:
    node: str
    card: str
    manufacturer: str
    product: str
    serial: str
    vendor_id: int
    product_id: int
    formats: Tuple[FormatInfo, ...]

def cameras() -> List[CameraInfo]: ...

class FormatWarning(UserWarning): ...
class FormatNotGranted(OSError): ...

class Frame:
    data: npt.NDArray[np.uint8]
    sequence: int
    timestamp: float
    format: str
    fourcc: int
    size: Tuple[int, int]
    dropped: int
    def rgb(self, out: Optional[npt.NDArray[np.uint8]] = ...) -> npt.NDArray[np.uint8]: ...
    def jpeg(self, quality: int = ...) -> bytes: ...
    def save(self, path: Union[str, os.PathLike[str]], quality: int = ...) -> None: ...

class ControlValue(int):
    name: str
    id: int
    min: int
    max: int
    step: int
    default: int
    flags: int
    menu: Dict[int, str]
    @property
    def inactive(self) -> bool: ...
    @property
    def read_only(self) -> bool: ...

class Controls(MutableMapping[Union[str, int], int]):
    def __getitem__(self, key: Union[str, int]) -> ControlValue: ...
    def __setitem__(self, key: Union[str, int], value: int) -> None: ...
    def __delitem__(self, key: Union[str, int]) -> None: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...

class Dsp:
    def read(self, addr: int, n: int = ...) -> bytes: ...
    def write(self, addr: int, data: Union[bytes, bytearray, Iterable[int]]) -> None: ...

class Sensor:
    def read16(self, addr: int) -> int: ...
    def read8(self, addr: int) -> int: ...
    def write16(self, addr: int, value: int) -> None: ...
    def write8(self, addr: int, value: int) -> None: ...

class Camera:
    device: str
    card: str
    fourcc: int
    size: Tuple[int, int]
    fps: float
    latest: bool
    timeout: Optional[float]
    dropped: int
    controls: Controls
    dsp: Dsp
    sensor: Sensor
    def __init__(
        self,
        device: Optional[str] = ...,
        format: Union[str, int, None] = ...,
        size: _Size = ...,
        fps: Union[int, float, Fraction, None] = ...,
        slot: Optional[int] = ...,
        *,
        exact: bool = ...,
        latest: bool = ...,
        timeout: Optional[float] = ...,
        control_only: bool = ...,
    ) -> None: ...
    @property
    def control_only(self) -> bool: ...
    @property
    def format(self) -> str: ...
    @property
    def slot(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> Camera: ...
    def __exit__(self, *exc: object) -> None: ...
    def fileno(self) -> int: ...
    def capture(self, timeout: Optional[float] = ..., latest: Optional[bool] = ...) -> Frame: ...
    def capture_rgb(
        self, out: Optional[npt.NDArray[np.uint8]] = ..., timeout: Optional[float] = ...
    ) -> npt.NDArray[np.uint8]: ...
    def __iter__(self) -> Iterator[Frame]: ...
    async def acapture(self) -> Frame: ...
    def __aiter__(self) -> AsyncIterator[Frame]: ...
