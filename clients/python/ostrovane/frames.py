"""Binary frames on the helper's standard output: layouts, parsing and encoding."""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

from . import h264

MAGIC = b"APLD"
AUDIO_HEADER = struct.Struct("<4sBBHBBHII4x")  # 24 bytes
VIDEO_HEADER = struct.Struct("<4sBBHHBBQII4x")  # 32 bytes
AUDIO_VERSION = 1
VIDEO_VERSION = 2
VIDEO_TYPE = 3
STREAM_TYPES = {1: "mic", 2: "system"}
STREAM_CODES = {name: code for code, name in STREAM_TYPES.items()}
FRAME_MS = 20  # every audio frame holds 20 ms
SAMPLE_RATE = 48000
CHANNELS = 2

# A frame larger than this is taken as a corrupt header rather than waited for.
MAX_PAYLOAD = 256 * 1024 * 1024


@dataclass(slots=True)
class AudioFrame:
    stream: str  # "mic" or "system"
    pcm: bytes  # interleaved s16le
    sequence: int
    level: float  # RMS on 0…1
    level_raw: int  # the header's 0…65535 value
    sample_rate: int = SAMPLE_RATE
    channels: int = CHANNELS
    bits: int = 16

    kind = "audio"


@dataclass(slots=True)
class VideoFrame:
    data: bytes  # H.264 Annex B access unit
    keyframe: bool
    pts: int  # microseconds since the start of the capture
    sequence: int
    width: int  # as requested by START_VIDEO (the header's value)
    height: int
    fps: int
    # the encoded picture's size, read from the SPS of the latest keyframe
    decoded_width: int | None = None
    decoded_height: int | None = None

    kind = "video"


class FrameError(ValueError):
    pass


@dataclass
class FrameParser:
    """Incremental parser: feed bytes as they come, get whole frames back.

    Frames may be split at any byte boundary. Bytes that do not start with the
    magic are skipped up to the next magic (counted in `skipped_bytes`).
    """

    _buf: bytearray = field(default_factory=bytearray)
    _decoded_size: tuple[int, int] | None = None
    skipped_bytes: int = 0

    def feed(self, data: bytes) -> list[AudioFrame | VideoFrame]:
        buf = self._buf
        buf += data
        frames: list[AudioFrame | VideoFrame] = []
        pos = 0
        n = len(buf)
        while n - pos >= 5:
            if buf[pos:pos + 4] != MAGIC:
                nxt = buf.find(MAGIC, pos + 1)
                if nxt < 0:
                    # keep a possible partial magic at the end
                    keep = max(pos, n - 3)
                    self.skipped_bytes += keep - pos
                    pos = keep
                    break
                self.skipped_bytes += nxt - pos
                pos = nxt
                continue
            version = buf[pos + 4]
            if version == AUDIO_VERSION:
                header = AUDIO_HEADER
            elif version == VIDEO_VERSION:
                header = VIDEO_HEADER
            else:
                self.skipped_bytes += 1
                pos += 1
                continue
            if n - pos < header.size:
                break
            fields = header.unpack_from(buf, pos)
            length = fields[7] if version == AUDIO_VERSION else fields[8]
            if length > MAX_PAYLOAD:
                self.skipped_bytes += 1
                pos += 1
                continue
            end = pos + header.size + length
            if end > n:
                break
            payload = bytes(buf[pos + header.size:end])
            frames.append(self._make(version, fields, payload))
            pos = end
        if pos:
            del buf[:pos]
        return frames

    @property
    def buffered(self) -> int:
        return len(self._buf)

    def _make(self, version: int, f: tuple, payload: bytes) -> AudioFrame | VideoFrame:
        if version == AUDIO_VERSION:
            _, _, typ, rate, channels, bits, level, _, seq = f
            return AudioFrame(
                stream=STREAM_TYPES.get(typ, str(typ)), pcm=payload, sequence=seq,
                level=level / 65535, level_raw=level, sample_rate=rate,
                channels=channels, bits=bits)
        _, _, _, width, height, fps, key, pts, _, seq = f
        keyframe = key == 1
        if keyframe:
            size = h264.picture_size(payload)
            if size:
                self._decoded_size = size
        dw, dh = self._decoded_size or (None, None)
        return VideoFrame(data=payload, keyframe=keyframe, pts=pts, sequence=seq,
                          width=width, height=height, fps=fps,
                          decoded_width=dw, decoded_height=dh)


def level_raw(rms: float) -> int:
    """The header's level for an RMS on 0…1, as the helper computes it."""
    return min(65535, int(max(0.0, rms) * 65535))


def encode_audio(stream: str, sequence: int, pcm: bytes, level: int) -> bytes:
    return AUDIO_HEADER.pack(MAGIC, AUDIO_VERSION, STREAM_CODES[stream], SAMPLE_RATE,
                             CHANNELS, 16, level, len(pcm), sequence & 0xFFFFFFFF) + pcm


def encode_video(data: bytes, *, width: int, height: int, fps: int, keyframe: bool,
                 pts: int, sequence: int) -> bytes:
    return VIDEO_HEADER.pack(MAGIC, VIDEO_VERSION, VIDEO_TYPE, width, height, fps,
                             1 if keyframe else 2, pts, len(data),
                             sequence & 0xFFFFFFFF) + data
