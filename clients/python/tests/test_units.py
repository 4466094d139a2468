"""Parsing and file writing, without a process."""

import os
import tempfile
import unittest
import wave

from ostrovane import (AudioGap, FrameParser, MicEvent, Record, StreamTimeline, WavWriter,
                       parse_line, parse_sps, reason_word)
from ostrovane.frames import encode_audio, encode_video

# SPS NAL units from x264, with the picture size each describes
SPS_CASES = [
    ("baseline 640x360 (cropped)", "6742c016d900a02ff97011000003000100000300140f162e48", 640, 360),
    ("high 1280x720", "6764001facd9405005bb011000000300100000030140f1831960", 1280, 720),
    ("high 4:4:4 odd 641x361", "67f40016919b281485fc21118088000003000800000300a078b16cb0",
     641, 361),
    ("high 4:2:2 with scaling matrix 1918x1080",
     "677a0028bcd940780227a89c0440000003004000000503c60c6580", 1918, 1080),
    ("interlaced 720x576", "67640016acd940b424d80880000003008000000a0f8a14cb", 720, 576),
    ("scaling matrix 1920x1080", "67640028acd940780227e5c044000003000400000300503c60c658",
     1920, 1080),
]

SPS_1280 = bytes.fromhex(SPS_CASES[1][1])
KEYFRAME = b"\x00\x00\x00\x01" + SPS_1280 + b"\x00\x00\x00\x01\x68\xeb\xe3\xcb" \
    + b"\x00\x00\x00\x01\x65\x88\x84\x00\x33"
P_FRAME = b"\x00\x00\x00\x01\x41\x9a\x00\x10"


def pcm(value):
    return value.to_bytes(2, "little", signed=True) * 1920


def sample_stream():
    return b"".join([
        encode_audio("mic", 7, pcm(100), 32767),
        encode_video(KEYFRAME, width=1920, height=1080, fps=10, keyframe=True, pts=0, sequence=0),
        encode_audio("system", 0, pcm(-5), 12),
        encode_video(P_FRAME, width=1920, height=1080, fps=10, keyframe=False, pts=100000,
                     sequence=1),
    ])


def summary(frames):
    out = []
    for f in frames:
        if f.kind == "audio":
            out.append(("audio", f.stream, f.sequence, f.level_raw, len(f.pcm), f.pcm[:2]))
        else:
            out.append(("video", f.sequence, f.keyframe, f.pts, f.width, f.height, f.fps,
                        f.decoded_width, f.decoded_height, f.data))
    return out


EXPECTED = [
    ("audio", "mic", 7, 32767, 3840, pcm(100)[:2]),
    ("video", 0, True, 0, 1920, 1080, 10, 1280, 720, KEYFRAME),
    ("audio", "system", 0, 12, 3840, pcm(-5)[:2]),
    ("video", 1, False, 100000, 1920, 1080, 10, 1280, 720, P_FRAME),
]


class FrameTests(unittest.TestCase):
    def test_header_layouts_match_the_protocol_examples(self):
        header = encode_audio("mic", 7, bytes(3840), 0x7FFF)[:24]
        self.assertEqual(header.hex(" ").upper(),
                         "41 50 4C 44 01 01 80 BB 02 10 FF 7F 00 0F 00 00 07 00 00 00 00 00 00 00")
        video = encode_video(b"", width=1920, height=1080, fps=10, keyframe=True, pts=0,
                             sequence=0)
        self.assertEqual(video[6:12].hex(" ").upper(), "80 07 38 04 0A 01")

    def test_split_at_every_byte(self):
        data = sample_stream()
        for cut in range(len(data) + 1):
            p = FrameParser()
            frames = p.feed(data[:cut]) + p.feed(data[cut:])
            self.assertEqual(summary(frames), EXPECTED, f"cut at {cut}")
            self.assertEqual(p.buffered, 0)

    def test_byte_by_byte_and_resync_after_garbage(self):
        data = b"junkAPL" + sample_stream()
        p = FrameParser()
        frames = []
        for i in range(len(data)):
            frames += p.feed(data[i:i + 1])
        self.assertEqual(summary(frames), EXPECTED)
        self.assertEqual(p.skipped_bytes, 7)


class SpsTests(unittest.TestCase):
    def test_sizes(self):
        for name, hexdata, w, h in SPS_CASES:
            with self.subTest(name):
                self.assertEqual(parse_sps(bytes.fromhex(hexdata)), (w, h))

    def test_rejects_truncated_and_non_sps(self):
        with self.assertRaises(ValueError):
            parse_sps(SPS_1280[:6])
        with self.assertRaises(ValueError):
            parse_sps(b"\x68\xeb")


class LineTests(unittest.TestCase):
    def test_classification(self):
        gap = ('EVENT:AUDIO_GAP:{"stream":"mic","sequence":12,"durationMs":60,'
               '"reason":"output_too_slow","timestamp":1765012345.5}')
        cases = [
            ("CMD_RESPONSE:STREAMING:failed:x:y", "answer", lambda v: (v.tag, v.payload),
             ("STREAMING", "failed:x:y")),
            (gap, "gap", lambda v: (v.stream, v.sequence, v.duration_ms, v.reason, v.timestamp),
             ("mic", 12, 60.0, "output_too_slow", 1765012345.5)),
            ("EVENT:AUDIO_GAP:not json", "event", lambda v: v.name, "AUDIO_GAP"),
            ('MIC_EVENT:{"deviceId":"73","deviceName":"USB","state":"active","timestamp":1.5}',
             "mic_event", lambda v: (type(v), v.device_id, v.state, v.timestamp),
             (MicEvent, "73", "active", 1.5)),
            ('MIC_APP_STOP_EVENT:{"bundleId":"a"}', "mic_app_stop_event",
             lambda v: (type(v), v.name, v.data), (Record, "MIC_APP_STOP_EVENT", {"bundleId": "a"})),
            ("RECOVERY_ATTEMPT:1/3", "recovery", lambda v: (v.kind, v.detail), ("attempt", "1/3")),
            ("EVENT:RECOVERY_SUCCESS", "recovery", lambda v: (v.kind, v.detail), ("success", "")),
            ("EVENT:SYSTEM_AUDIO_CONTENTION:-3805", "system_audio", lambda v: (v.kind, v.detail),
             ("contention", "-3805")),
            ("EVENT:SYSTEM_AUDIO_START_FAILED:no_permission", "system_audio",
             lambda v: (v.kind, v.detail), ("start_failed", "no_permission")),
            ("EVENT:VIDEO_STREAM_ERROR:display gone: bye", "video_stream_error",
             lambda v: v.message, "display gone: bye"),
            ("EVENT:RUNNING_MICS_SAMPLE_STARTED", "event", lambda v: (v.name, v.payload),
             ("RUNNING_MICS_SAMPLE_STARTED", "")),
            ("ERROR: screenshot failed: {x}", "log", lambda v: v, "ERROR: screenshot failed: {x}"),
            ("NOT_RECORD:{broken", "log", lambda v: v, "NOT_RECORD:{broken"),
        ]
        for text, topic, get, expected in cases:
            with self.subTest(text):
                line = parse_line(text)
                self.assertEqual(line.topic, topic)
                self.assertEqual(get(line.value), expected)
                self.assertIn("line", line.topics)

    def test_reason_words(self):
        for text, word in [("already_active", "already_active"),
                           ('targetNotFound("Display 7 not found")', "not_found"),
                           ("encoderCreationFailed(-12902)", "encoder_creation_failed"),
                           ("system_audio_negotiation_timeout", "system_audio_negotiation_timeout"),
                           ("Unexpected character at 3", "error")]:
            self.assertEqual(reason_word(text), word, text)


def gap(seq, ms, stream="mic"):
    return AudioGap(stream=stream, sequence=seq, duration_ms=ms, reason="x", timestamp=None)


class TimelineAndWavTests(unittest.TestCase):
    def test_time_counts_gaps_at_or_before_a_sequence(self):
        t = StreamTimeline()
        for g in (gap(10, 45), gap(0, 100), gap(10, 5)):  # out of order, two at one sequence
            t.add_gap(g)
        self.assertEqual([t.time_ms(s) for s in (0, 9, 10, 11)], [100, 280, 350, 370])
        self.assertEqual(t.missing_ms, 150)
        t.reset()
        self.assertEqual(t.time_ms(10), 200)

    def frame(self, seq, value=1000):
        return next(iter(FrameParser().feed(encode_audio("mic", seq, pcm(value), 0))))

    def write_wav(self, seqs, gaps, fill, gaps_after=0):
        """Writes frames `seqs`; the gaps become known after `gaps_after` frames."""
        t = StreamTimeline()
        path = os.path.join(self.tmp.name, "a.wav")
        with WavWriter(path, timeline=t, fill_gaps=fill, hold=3) as w:
            for i, s in enumerate(seqs):
                if i == gaps_after:
                    for g in gaps:
                        t.add_gap(g)
                w.write(self.frame(s))
        with wave.open(path) as r:
            self.assertEqual((r.getframerate(), r.getnchannels(), r.getsampwidth()), (48000, 2, 2))
            return r.getnframes(), r.readframes(r.getnframes())

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def test_gaps_become_silence_in_place(self):
        # frames 0,1 then a reported 30 ms gap before 2, frame 3 lost, frame 4;
        # the gap is known only after frame 2 arrived (stderr lags stdout)
        n, data = self.write_wav([0, 1, 2, 4], [gap(2, 30)], fill=True, gaps_after=3)
        self.assertEqual(n, (5 * 20 + 30) * 48)
        silent_start = 2 * 960 * 4
        self.assertEqual(data[silent_start:silent_start + 30 * 48 * 4], bytes(30 * 48 * 4))
        self.assertEqual(data[silent_start + 30 * 48 * 4:][:2], pcm(1000)[:2])

    def test_late_start_is_leading_silence(self):
        n, data = self.write_wav([0, 1], [gap(0, 500)], fill=True, gaps_after=1)
        self.assertEqual(n, (500 + 40) * 48)
        self.assertEqual(data[:500 * 48 * 4], bytes(500 * 48 * 4))

    def test_without_filling_and_from_mid_stream(self):
        self.assertEqual(self.write_wav([0, 1, 2, 4], [gap(2, 30)], fill=False)[0], 4 * 960)
        # starting at frame 50 adds no leading silence; a restart continues at the end
        self.assertEqual(self.write_wav([50, 51, 0, 1], [], fill=True)[0], 4 * 960)


if __name__ == "__main__":
    unittest.main()
