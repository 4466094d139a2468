"""Which line answers which command, and what the answer means.

This table is the one place that knows the protocol's answers: the tag (or
event/record) that answers each command, which payload words belong to it when
two commands share a tag, whether the answer may come late (after answers to
later commands), the default timeout, and how the payload decodes.
"""

from __future__ import annotations

import base64
import binascii
import json
import re
from dataclasses import dataclass
from typing import Any, Callable

from .errors import HelperError
from .results import Device, MicTap, Target


@dataclass(frozen=True)
class Entry:
    command: str
    decode: Callable[[str, str], Any]  # (payload, command) -> result, or raises HelperError
    tag: str | None = None  # answered by CMD_RESPONSE:<tag>:…
    words: frozenset[str] | None = None  # first payload words that are this command's (shared tags)
    event: str | None = None  # answered by EVENT:<event> instead of an answer line
    record: str | None = None  # …and then by this record
    late: bool = False  # may arrive after answers to later commands
    silences: str | None = None  # its answer means that command's open calls get none
    log_failure: str | None = None  # a log line with this prefix fails the oldest such call
    timeout: float = 10.0


_WORD = re.compile(r"([A-Za-z][A-Za-z0-9_]*)(\(.*\))?", re.S)
_SPECIAL_REASONS = {"targetNotFound": "not_found"}


def reason_word(text: str, default: str = "error") -> str:
    """A short reason word for a helper's reason text.

    `already_active` stays as is, `encoderCreationFailed(-1)` becomes
    `encoder_creation_failed`, `targetNotFound("…")` becomes `not_found`; a
    free-form description (a parser message, an OS error text) gives `default`.
    """
    m = _WORD.fullmatch(text.strip())
    if not m:
        return default
    word = m.group(1)
    if word in _SPECIAL_REASONS:
        return _SPECIAL_REASONS[word]
    return re.sub(r"(?<=[a-z0-9])([A-Z])", r"_\1", word).lower()


def _fail(command: str, text: str, default: str = "error") -> HelperError:
    return HelperError(reason_word(text, default), text, command)


def _status(ok: dict[str, Any], *, error_prefixes=("error", "failed")):
    """Decoder for status payloads: a word from `ok` gives its value; `error:…`
    / `failed:…` and any other word raise."""
    def decode(payload: str, command: str) -> Any:
        if payload in ok:
            return ok[payload]
        word, sep, rest = payload.partition(":")
        if sep and word in error_prefixes:
            raise _fail(command, rest, word)
        raise _fail(command, payload)
    return decode


def _png(payload: str, command: str) -> bytes:
    if payload.startswith("error:"):
        raise _fail(command, payload[len("error:"):])
    try:
        data = base64.b64decode(payload, validate=True)
    except (binascii.Error, ValueError):
        raise HelperError("bad_answer", payload[:200], command) from None
    return data


def _json_list(payload: str, command: str) -> list:
    try:
        value = json.loads(payload)
    except ValueError:
        raise HelperError("bad_answer", payload[:200], command) from None
    if not isinstance(value, list):
        raise HelperError("bad_answer", payload[:200], command)
    return value


def _devices(payload: str, command: str) -> list[Device]:
    return [Device.from_json(d) for d in _json_list(payload, command) if isinstance(d, dict)]


def _targets(payload: str, command: str) -> list[Target]:
    return [Target.from_json(d) for d in _json_list(payload, command) if isinstance(d, dict)]


def _current_mic(payload: str, command: str) -> str | None:
    return None if payload == "No default microphone found" else payload


def _health(payload: str, command: str) -> float:
    try:
        return float(payload)
    except ValueError:
        raise HelperError("bad_answer", payload, command) from None


def _test_wav(payload: str, command: str) -> str:
    word, _, rest = payload.partition(":")
    if word == "started":
        return rest
    if word == "error":
        raise _fail(command, rest)
    raise _fail(command, payload)


_TAP = re.compile(r"taps=(\d+)\s+frames=(\d+)\s+avgRMS=([-+0-9.eE]+|nan|inf)")


def _mic_tap(payload: str, command: str) -> MicTap:
    word, _, rest = payload.partition(":")
    if word == "ok":
        m = _TAP.search(rest)
        if m:
            return MicTap(int(m.group(1)), int(m.group(2)), float(m.group(3)))
        raise HelperError("bad_answer", payload, command)
    if word == "error":
        raise _fail(command, rest)
    raise _fail(command, payload)


def _record(value: Any, command: str) -> Any:
    # the record (or None) collected for the call
    return value


_ENTRIES = [
    Entry("START_STREAMING", _status({"started": None}), tag="STREAMING",
         words=frozenset({"started", "failed", "already_active"}), late=True, timeout=20.0),
    Entry("STOP_STREAMING", _status({"stopped": None}), tag="STREAMING",
         words=frozenset({"stopped"}), silences="START_STREAMING", timeout=15.0),
    Entry("START_MIC_MONITORING", _status({"started": None}), tag="MIC_MONITORING",
         words=frozenset({"started", "already_active"})),
    Entry("STOP_MIC_MONITORING", _status({"stopped": True, "not_active": False}),
         tag="MIC_MONITORING", words=frozenset({"stopped", "not_active"})),
    Entry("STOP", _status({"ok": None}), tag="STOPPED"),
    Entry("SCREENSHOT", _png, tag="SCREENSHOT_DATA", log_failure="ERROR:", timeout=20.0),
    Entry("LIST_DEVICES", _devices, tag="DEVICES_LIST"),
    Entry("GET_CURRENT_MIC", _current_mic, tag="CURRENT_MIC"),
    Entry("HEALTH_CHECK", _health, tag="HEALTH_OK", timeout=5.0),
    Entry("TEST_WAV", _test_wav, tag="TEST_WAV", timeout=15.0),
    Entry("TEST_MIC_TAP", _mic_tap, tag="TEST_MIC_TAP"),
    Entry("GET_DEVICE_DIAGNOSTIC", _record, event="DEVICE_DIAGNOSTIC_REQUESTED"),
    Entry("SAMPLE_RUNNING_MICS", _record, event="RUNNING_MICS_SAMPLE_STARTED",
         record="RUNNING_MICS_SAMPLE", late=True, timeout=15.0),
    Entry("LIST_WINDOWS", _targets, tag="LIST_WINDOWS", timeout=15.0),
    Entry("SNAPSHOT_NOW", _png, tag="SNAPSHOT_NOW"),
    # a display start may wait up to 25 s for the user to answer a consent dialog
    Entry("START_VIDEO", _status({"started": None}), tag="START_VIDEO", timeout=40.0),
    Entry("STOP_VIDEO", _status({"stopped": True, "not_active": False}), tag="STOP_VIDEO",
         timeout=15.0),
    Entry("SWITCH_VIDEO", _status({"switched": None}), tag="SWITCH_VIDEO", timeout=40.0),
]

ANSWERS: dict[str, Entry] = {s.command: s for s in _ENTRIES}


def commands_for_answer(tag: str, payload: str) -> list[str]:
    """The commands a `CMD_RESPONSE:<tag>:<payload>` line can answer."""
    word = payload.partition(":")[0]
    return [s.command for s in _ENTRIES
            if s.tag == tag and (s.words is None or word in s.words)]
