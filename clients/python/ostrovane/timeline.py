"""Audio timelines: where a frame lies in time, given the gaps reported before it."""

from __future__ import annotations

import bisect

from .frames import FRAME_MS
from .lines import AudioGap


class StreamTimeline:
    """One audio stream's gaps since its start.

    The time of frame `s` is s × 20 ms plus the durations of the gaps whose
    sequence is ≤ s, counted from STREAMING:started.
    """

    def __init__(self) -> None:
        self._seqs: list[int] = []
        self._gaps: list[AudioGap] = []
        self._cum: list[float] = []  # _cum[i] = sum of durations of _gaps[:i+1]

    def add_gap(self, gap: AudioGap) -> None:
        i = bisect.bisect_right(self._seqs, gap.sequence)
        self._seqs.insert(i, gap.sequence)
        self._gaps.insert(i, gap)
        self._cum[i:] = []
        total = self._cum[-1] if self._cum else 0.0
        for g in self._gaps[i:]:
            total += g.duration_ms
            self._cum.append(total)

    def gap_ms_before(self, sequence: int) -> float:
        """Total gap duration at or before frame `sequence`."""
        i = bisect.bisect_right(self._seqs, sequence)
        return self._cum[i - 1] if i else 0.0

    def time_ms(self, sequence: int) -> float:
        return sequence * FRAME_MS + self.gap_ms_before(sequence)

    @property
    def gaps(self) -> list[AudioGap]:
        return list(self._gaps)

    @property
    def missing_ms(self) -> float:
        return self._cum[-1] if self._cum else 0.0

    def reset(self) -> None:
        self._seqs.clear()
        self._gaps.clear()
        self._cum.clear()


class Timeline:
    """Both audio streams' timelines. `Helper.timeline` keeps one up to date:
    gaps are added as AUDIO_GAP events arrive, and it is cleared when a stream
    ends (STREAMING:stopped, STREAMING:failed)."""

    def __init__(self) -> None:
        self.streams = {"mic": StreamTimeline(), "system": StreamTimeline()}
        self.started_at: float | None = None  # wall-clock time of STREAMING:started

    def __getitem__(self, stream: str) -> StreamTimeline:
        return self.streams[stream]

    def add_gap(self, gap: AudioGap) -> None:
        self.streams.setdefault(gap.stream, StreamTimeline()).add_gap(gap)

    def time_ms(self, stream: str, sequence: int) -> float:
        """Milliseconds since STREAMING:started of frame `sequence` of `stream`."""
        return self.streams[stream].time_ms(sequence)

    def reset(self) -> None:
        for t in self.streams.values():
            t.reset()
        self.started_at = None
