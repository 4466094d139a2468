"""Typed results of commands."""

from __future__ import annotations

import base64
import binascii
from dataclasses import dataclass, field
from typing import Any


@dataclass(slots=True)
class Device:
    """A microphone from LIST_DEVICES."""
    id: str
    name: str
    type: str

    @classmethod
    def from_json(cls, d: dict) -> "Device":
        return cls(str(d.get("id", "")), str(d.get("name", "")), str(d.get("type", "")))


def _int(v: Any) -> int | None:
    return int(v) if isinstance(v, (int, float)) and not isinstance(v, bool) else None


def decode_data_url(url: Any) -> bytes | None:
    """The bytes of a `data:…;base64,…` URL (a LIST_WINDOWS thumbnail)."""
    if not isinstance(url, str) or not url.startswith("data:"):
        return None
    _, sep, b64 = url.partition(";base64,")
    if not sep:
        return None
    try:
        return base64.b64decode(b64, validate=True)
    except (binascii.Error, ValueError):
        return None


@dataclass(slots=True)
class Target:
    """A display or window from LIST_WINDOWS; `thumbnail` holds PNG bytes."""
    type: str  # "display" or "window"
    id: int
    name: str
    app_name: str = ""
    bundle_id: str | None = None
    width: int | None = None
    height: int | None = None
    x: int | None = None
    y: int | None = None
    thumbnail: bytes | None = None
    data: dict = field(default_factory=dict, repr=False)

    @classmethod
    def from_json(cls, d: dict) -> "Target":
        return cls(type=str(d.get("type", "")), id=_int(d.get("id")) or 0,
                   name=str(d.get("name", "")), app_name=str(d.get("appName", "")),
                   bundle_id=d.get("bundleId") if isinstance(d.get("bundleId"), str) else None,
                   width=_int(d.get("width")), height=_int(d.get("height")),
                   x=_int(d.get("x")), y=_int(d.get("y")),
                   thumbnail=decode_data_url(d.get("thumbnail")), data=d)


@dataclass(slots=True)
class MicTap:
    """The TEST_MIC_TAP self-test's result."""
    taps: int
    frames: int
    avg_rms: float
