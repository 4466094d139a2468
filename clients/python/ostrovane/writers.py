"""Files from frames: WAV for an audio stream, raw H.264 for video."""

from __future__ import annotations

import collections
import struct
from typing import Callable

from .frames import CHANNELS, SAMPLE_RATE, AudioFrame, VideoFrame
from .timeline import StreamTimeline

_BYTES_PER_FRAME = CHANNELS * 2  # s16le stereo
_SAMPLES_PER_MS = SAMPLE_RATE // 1000


def _wav_header(data_bytes: int) -> bytes:
    return (b"RIFF" + struct.pack("<I", 36 + data_bytes) + b"WAVE"
            + b"fmt " + struct.pack("<IHHIIHH", 16, 1, CHANNELS, SAMPLE_RATE,
                                    SAMPLE_RATE * _BYTES_PER_FRAME, _BYTES_PER_FRAME, 16)
            + b"data" + struct.pack("<I", data_bytes))


class WavWriter:
    """Writes one audio stream as a 48 kHz, 2-channel, 16-bit WAV file.

    With `fill_gaps`, each frame is placed at its time on the stream's
    timeline: missing frames (a jump in sequence numbers) and the gaps the
    helper reported (from `timeline`) become silence, so the file's length
    matches the time that passed. Gap events and frames come on different
    pipes, so the last `hold` frames are kept back until a gap reported a
    little after its frame can still be placed before it; a gap known later
    than that is filled at the next frame written. A stream restart
    (sequence going back) continues at the end of the file. Without
    `fill_gaps` the PCM is written back to back.
    """

    def __init__(self, path: str, *, timeline: StreamTimeline | None = None,
                 fill_gaps: bool = True, hold: int = 25) -> None:
        self.path = path
        self._hold = hold if fill_gaps else 0
        self._held: collections.deque[AudioFrame] = collections.deque()
        self._timeline = timeline
        self._fill = fill_gaps
        self._file = open(path, "wb")
        self._file.write(_wav_header(0))
        self._samples = 0  # sample frames written
        self._origin: float | None = None  # stream time (ms) of the file's start
        self._last_seq: int | None = None
        self.frames_written = 0
        self.silence_ms = 0.0
        self._detach: Callable[[], None] | None = None

    @property
    def duration_ms(self) -> float:
        return self._samples / _SAMPLES_PER_MS

    def write(self, frame: AudioFrame) -> None:
        if self._file.closed:
            return
        self._held.append(frame)
        while len(self._held) > self._hold:
            self._commit(self._held.popleft())

    def flush(self) -> None:
        """Writes the frames held back."""
        while self._held and not self._file.closed:
            self._commit(self._held.popleft())

    def _commit(self, frame: AudioFrame) -> None:
        if self._fill:
            seq = frame.sequence
            t = self._timeline.time_ms(seq) if self._timeline else seq * 20.0
            if self._origin is None or (self._last_seq is not None and seq <= self._last_seq):
                # a stream's first frame keeps its offset from the stream's start
                # (a late start is leading silence); joining later starts at once
                self._origin = (0.0 if seq == 0 else t) - self.duration_ms
            target = round((t - self._origin) * _SAMPLES_PER_MS)
            if target > self._samples:
                self.write_silence((target - self._samples) / _SAMPLES_PER_MS)
            self._last_seq = seq
        pcm = frame.pcm[: len(frame.pcm) - len(frame.pcm) % _BYTES_PER_FRAME]
        self._file.write(pcm)
        self._samples += len(pcm) // _BYTES_PER_FRAME
        self.frames_written += 1

    def write_silence(self, ms: float) -> None:
        n = round(ms * _SAMPLES_PER_MS)
        if n <= 0 or self._file.closed:
            return
        self._file.write(bytes(n * _BYTES_PER_FRAME))
        self._samples += n
        self.silence_ms += n / _SAMPLES_PER_MS

    def close(self) -> None:
        if self._detach:
            self._detach()
            self._detach = None
        if self._file.closed:
            return
        self.flush()
        self._file.seek(0)
        self._file.write(_wav_header(self._samples * _BYTES_PER_FRAME))
        self._file.close()

    def __enter__(self) -> "WavWriter":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class H264Writer:
    """Writes video frames' payloads back to back: a raw H.264 Annex B file.

    With `wait_for_keyframe` (the default) frames before the first keyframe
    are skipped, so the file starts decodable.
    """

    def __init__(self, path: str, *, wait_for_keyframe: bool = True) -> None:
        self.path = path
        self._file = open(path, "wb")
        self._waiting = wait_for_keyframe
        self.frames_written = 0
        self.keyframes = 0
        self.decoded_size: tuple[int, int] | None = None
        self._detach: Callable[[], None] | None = None

    def write(self, frame: VideoFrame) -> None:
        if self._file.closed:
            return
        if self._waiting and not frame.keyframe:
            return
        self._waiting = False
        self._file.write(frame.data)
        self.frames_written += 1
        if frame.keyframe:
            self.keyframes += 1
        if frame.decoded_width:
            self.decoded_size = (frame.decoded_width, frame.decoded_height)

    def close(self) -> None:
        if self._detach:
            self._detach()
            self._detach = None
        if not self._file.closed:
            self._file.close()

    def __enter__(self) -> "H264Writer":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
