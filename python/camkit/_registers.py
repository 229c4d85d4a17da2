"""The module's DSP and image sensor registers, through its extension unit."""

from typing import Iterable, Union


class Dsp:
    """The DSP's byte registers, 0x0000..0xffff; transfers of any length (split in 8s)."""

    def __init__(self, slot):
        self._slot = slot

    def read(self, addr: int, n: int = 1) -> bytes:
        """Reads n bytes from addr on."""
        if n < 0:
            raise ValueError(f"cannot read {n} bytes")
        return self._slot.dsp_read(addr, n)

    def write(self, addr: int, data: Union[bytes, bytearray, Iterable[int]]) -> None:
        """Writes data (bytes, or an iterable of 0..255) from addr on."""
        if isinstance(data, int):
            raise TypeError("data must be bytes or a sequence of byte values, not int")
        self._slot.dsp_write(addr, bytes(data))


class Sensor:
    """The image sensor's registers: 16-bit words (8-bit registers are the word's high byte)."""

    def __init__(self, slot):
        self._slot = slot

    def read16(self, addr: int) -> int:
        """The 16-bit register at addr."""
        return self._slot.sensor_read(addr, 16)

    def read8(self, addr: int) -> int:
        """The 8-bit register at addr."""
        return self._slot.sensor_read(addr, 8)

    def write16(self, addr: int, value: int) -> None:
        """Sets the 16-bit register at addr (value 0..0xffff)."""
        self._slot.sensor_write(addr, value, 16)

    def write8(self, addr: int, value: int) -> None:
        """Sets the 8-bit register at addr (value 0..0xff)."""
        self._slot.sensor_write(addr, value, 8)
