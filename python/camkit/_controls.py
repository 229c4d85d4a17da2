"""The camera's V4L2 controls as a mapping, by the names ``camctl ctrl list`` shows."""

from collections.abc import MutableMapping
from typing import Dict, Iterator, List, Optional, Union

from . import _native

_IDS = dict(_native.CONTROLS)
_NAMES = {i: n for n, i in _native.CONTROLS}

# V4L2_CTRL_FLAG_*
_READ_ONLY = 0x0004
_INACTIVE = 0x0010


class ControlValue(int):
    """A control's value (an int) that also carries its range and menu."""

    name: str
    id: int
    min: int
    max: int
    step: int
    default: int
    flags: int
    menu: Dict[int, str]

    def __new__(cls, value, name, cid, query, menu):
        self = super().__new__(cls, value)
        self.name, self.id = name, cid
        self.min, self.max, self.default, self.step, self.flags, _ = query
        self.menu = menu
        return self

    @property
    def inactive(self) -> bool:
        """Set now only after another control changes (e.g. manual exposure)."""
        return bool(self.flags & _INACTIVE)

    @property
    def read_only(self) -> bool:
        return bool(self.flags & _READ_ONLY)

    def __repr__(self):
        menu = f" menu={self.menu}" if self.menu else ""
        return (f"<{self.name}={int(self)} min={self.min} max={self.max} step={self.step} "
                f"default={self.default}{menu}>")


class Controls(MutableMapping):
    """``cam.controls["brightness"] = 10``; reading gives a ControlValue.

    Keys are the names of the controls the camera offers (or a V4L2 id).
    Values outside the range, or not in the menu, raise ValueError.
    """

    def __init__(self, slot):
        self._slot = slot
        self._offered: Optional[List[str]] = None

    def _id(self, key: Union[str, int]) -> int:
        if isinstance(key, bool) or not isinstance(key, (str, int)):
            raise TypeError(f"a control is named by a string or a V4L2 id, not {type(key).__name__}")
        if isinstance(key, int):
            return key
        try:
            return _IDS[key]
        except KeyError:
            raise KeyError(f"{key!r}: no such control; the camera offers {', '.join(self)}") from None

    def _query(self, cid: int, key) -> tuple:
        try:
            return self._slot.control_query(cid)
        except OSError as e:
            if isinstance(key, str):
                raise KeyError(f"{key!r}: the camera does not offer this control") from e
            raise

    def __getitem__(self, key: Union[str, int]) -> ControlValue:
        cid = self._id(key)
        query = self._query(cid, key)
        return ControlValue(self._slot.control_get(cid), _NAMES.get(cid, hex(cid)), cid, query,
                            self._slot.control_menu(cid))

    def __setitem__(self, key: Union[str, int], value: int) -> None:
        cid = self._id(key)
        if isinstance(value, bool):
            value = int(value)
        if not isinstance(value, int):
            raise TypeError(f"a control's value is an int, not {type(value).__name__}")
        lo, hi, _, step, flags, _ = self._query(cid, key)
        name = _NAMES.get(cid, hex(cid))
        if not lo <= value <= hi:
            raise ValueError(f"{name} takes {lo}..{hi} (step {step}), not {value}")
        menu = self._slot.control_menu(cid)
        if menu and value not in menu:
            raise ValueError(f"{name} takes one of {menu}, not {value}")
        if flags & _READ_ONLY:
            raise ValueError(f"{name} is read-only")
        self._slot.control_set(cid, value)

    def __delitem__(self, key):
        raise TypeError("controls cannot be deleted")

    def __iter__(self) -> Iterator[str]:
        if self._offered is None:
            offered = []
            for name, cid in _native.CONTROLS:
                try:
                    self._slot.control_query(cid)
                except OSError:
                    continue
                offered.append(name)
            self._offered = offered
        return iter(self._offered)

    def __len__(self) -> int:
        return sum(1 for _ in self)

    def __contains__(self, key) -> bool:
        return key in list(self) if isinstance(key, str) else MutableMapping.__contains__(self, key)

    def __repr__(self):
        return "{" + ", ".join(f"{n!r}: {int(self[n])}" for n in self) + "}"
