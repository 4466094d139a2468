"""Text lines on the helper's standard error, classified and typed."""

from __future__ import annotations

import json
import re
import time
from dataclasses import dataclass, field
from typing import Any

ANSWER_PREFIX = "CMD_RESPONSE:"
EVENT_PREFIX = "EVENT:"
_RECORD = re.compile(r"^([A-Z][A-Z0-9_]*):(\{.*\})\s*$", re.S)
_RECOVERY = ("RECOVERY_ATTEMPT", "RECOVERY_SUCCESS", "RECOVERY_FAILED")


@dataclass(slots=True)
class Answer:
    """A `CMD_RESPONSE:<tag>:<payload>` line."""
    tag: str
    payload: str


@dataclass(slots=True)
class Event:
    """An `EVENT:<name>[:<payload>]` line without a more specific type."""
    name: str
    payload: str


@dataclass(slots=True)
class AudioGap:
    """Audio missing from a stream's timeline before frame `sequence`."""
    stream: str
    sequence: int
    duration_ms: float
    reason: str
    timestamp: float | None
    data: dict = field(default_factory=dict)


@dataclass(slots=True)
class MicEvent:
    device_id: str
    device_name: str
    state: str  # "active", "inactive" or "device_changed"
    timestamp: float | None
    data: dict = field(default_factory=dict)


@dataclass(slots=True)
class Record:
    """A `NAME:{json}` record (MIC_APP_EVENT, DEVICE_DIAGNOSTIC, RUNNING_MICS_SAMPLE, …)."""
    name: str
    data: dict


@dataclass(slots=True)
class Recovery:
    """Microphone recovery: kind is "attempt", "success" or "failed"."""
    kind: str
    detail: str


@dataclass(slots=True)
class SystemAudioEvent:
    """EVENT:SYSTEM_AUDIO_*: kind is the lower-case rest of the name, e.g.
    "start_failed", "stream_error", "recovery_scheduled", "contention",
    "contention_resolved", "contention_exhausted"."""
    kind: str
    detail: str


@dataclass(slots=True)
class VideoStreamError:
    message: str


@dataclass(slots=True)
class Line:
    """One line from standard error.

    `topic` names what it is ("answer", "gap", "mic_event", "log", …; see
    README), `value` is its typed content, `text` the line as written.
    """
    text: str
    topic: str
    value: Any
    received: float = field(default_factory=time.time)

    @property
    def topics(self) -> tuple[str, ...]:
        if isinstance(self.value, (Record, MicEvent)):
            return (self.topic, "record", "line")
        return (self.topic, "line")


def _split(text: str) -> tuple[str, str]:
    name, _, rest = text.partition(":")
    return name, rest


def _num(v: Any) -> float | None:
    return float(v) if isinstance(v, (int, float)) and not isinstance(v, bool) else None


def parse_line(text: str) -> Line:
    if text.startswith(ANSWER_PREFIX):
        tag, payload = _split(text[len(ANSWER_PREFIX):])
        return Line(text, "answer", Answer(tag, payload))
    body = text
    is_event = text.startswith(EVENT_PREFIX)
    if is_event:
        body = text[len(EVENT_PREFIX):]
    name, payload = _split(body)
    if name in _RECOVERY:
        return Line(text, "recovery", Recovery(name[len("RECOVERY_"):].lower(), payload))
    if is_event:
        if name == "AUDIO_GAP":
            gap = _gap(payload)
            if gap is not None:
                return Line(text, "gap", gap)
        elif name.startswith("SYSTEM_AUDIO_"):
            return Line(text, "system_audio",
                        SystemAudioEvent(name[len("SYSTEM_AUDIO_"):].lower(), payload))
        elif name == "VIDEO_STREAM_ERROR":
            return Line(text, "video_stream_error", VideoStreamError(payload))
        return Line(text, "event", Event(name, payload))
    m = _RECORD.match(text)
    if m:
        try:
            data = json.loads(m.group(2))
        except ValueError:
            data = None
        if isinstance(data, dict):
            rname = m.group(1)
            if rname == "MIC_EVENT":
                return Line(text, "mic_event", MicEvent(
                    device_id=str(data.get("deviceId", "")),
                    device_name=str(data.get("deviceName", "")),
                    state=str(data.get("state", "")),
                    timestamp=_num(data.get("timestamp")), data=data))
            return Line(text, rname.lower(), Record(rname, data))
    return Line(text, "log", text)


def _gap(payload: str) -> AudioGap | None:
    try:
        data = json.loads(payload)
    except ValueError:
        return None
    if not isinstance(data, dict):
        return None
    seq = data.get("sequence")
    dur = _num(data.get("durationMs"))
    if not isinstance(seq, int) or dur is None:
        return None
    return AudioGap(stream=str(data.get("stream", "")), sequence=seq, duration_ms=dur,
                    reason=str(data.get("reason", "")),
                    timestamp=_num(data.get("timestamp")), data=data)
