"""The client against the real helper on a private PulseAudio and Xvfb.

The helper comes from $OSTROVANE_BINARY (default: the source tree's
build/default/src/ostrovane). Without it the tests skip, except under CI
(CI set), where they fail; servers that cannot start always fail.
"""

import asyncio
import json
import os
import re
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import wave

from ostrovane import Helper, HelperError

from rig import PACKAGE_ROOT, Rig, helper_binary

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_size(data: bytes) -> tuple[int, int]:
    assert data[:8] == PNG_SIGNATURE, data[:16]
    assert data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def probe_h264(path: str) -> dict:
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-f", "h264", "-count_frames", "-select_streams", "v:0",
         "-show_entries", "stream=width,height,nb_read_frames", "-of", "json", path],
        capture_output=True, text=True, timeout=60, check=True).stdout
    return json.loads(out)["streams"][0]


class RealHelperTest(unittest.IsolatedAsyncioTestCase):
    rig: Rig

    @classmethod
    def setUpClass(cls):
        binary = helper_binary()
        if not os.access(binary, os.X_OK):
            message = f"helper binary {binary} missing: set OSTROVANE_BINARY"
            if os.environ.get("CI"):
                raise AssertionError(message)
            raise unittest.SkipTest(message)
        cls.binary = binary
        cls.rig = Rig().start()  # raises (fails the tests) when the servers cannot start

    @classmethod
    def tearDownClass(cls):
        cls.rig.stop()

    async def spawn(self) -> Helper:
        h = await Helper.spawn(self.binary, env=self.rig.env)
        self.addAsyncCleanup(h.close)
        return h

    def tmpdir(self) -> str:
        d = tempfile.TemporaryDirectory()
        self.addCleanup(d.cleanup)
        return d.name

    async def test_streaming_levels_and_sequences(self):
        h = await self.spawn()
        self.assertRegex(h.version or "", r"^\d+\.\d+\.\d+")
        frames = h.frames("audio")
        await h.start_streaming()
        got = {"mic": [], "system": []}
        deadline = time.monotonic() + 10  # the first buffers take about 2 s
        while min(map(len, got.values())) < 60 and time.monotonic() < deadline:
            f = await asyncio.wait_for(anext(frames), 10)
            got[f.stream].append(f)
        with self.assertRaises(HelperError) as cm:
            await h.start_streaming()
        self.assertEqual(cm.exception.reason, "already_active")
        await h.stop_streaming()
        for stream, frames_ in got.items():
            with self.subTest(stream):
                self.assertGreaterEqual(len(frames_), 60)
                self.assertEqual([f.sequence for f in frames_], list(range(len(frames_))))
                self.assertTrue(all(len(f.pcm) == 3840 for f in frames_))
                # the sines play at about 0.35 RMS; skip the first frames (ramp-up)
                level = statistics.median(f.level for f in frames_[10:])
                self.assertGreater(level, 0.1)
                self.assertLess(level, 0.8)
        self.assertAlmostEqual(await h.health(), time.time(), delta=5)

    async def test_screenshot_targets_and_video(self):
        h = await self.spawn()
        self.assertEqual(png_size(await h.screenshot()), (1280, 720))
        displays = [t for t in await h.list_targets() if t.type == "display"]
        self.assertEqual(len(displays), 1)
        self.assertEqual((displays[0].width, displays[0].height), (1280, 720))
        self.assertEqual(displays[0].thumbnail[:8], PNG_SIGNATURE)
        path = os.path.join(self.tmpdir(), "video.h264")
        writer = h.record_h264(path)
        video = h.frames("video")
        # the header repeats the request; the picture is half the display
        await h.start_video(displays[0].id, width=1280, height=720, fps=10)
        # A still display: the first frame at once, then one a second.
        frames = [await asyncio.wait_for(anext(video), 10) for _ in range(3)]
        self.assertEqual(png_size(await h.snapshot(0))[0], 640)
        self.assertTrue(await h.stop_video())
        writer.close()
        self.assertTrue(frames[0].keyframe)
        self.assertEqual([f.sequence for f in frames], list(range(3)))
        self.assertEqual({(f.width, f.height, f.fps) for f in frames}, {(1280, 720, 10)})
        self.assertEqual({(f.decoded_width, f.decoded_height) for f in frames}, {(640, 360)})
        self.assertEqual(sorted(f.pts for f in frames), [f.pts for f in frames])
        info = probe_h264(path)
        self.assertEqual((info["width"], info["height"]), (640, 360))
        self.assertGreaterEqual(int(info["nb_read_frames"]), 3)

    async def test_answers_of_the_other_commands(self):
        h = await self.spawn()
        self.assertEqual([d.type for d in await h.list_devices()], ["input"])
        self.assertEqual(await h.current_mic(), (await h.list_devices())[0].name)
        tap = await h.test_mic_tap()
        self.assertEqual((tap.taps, tap.frames), (15, 15))
        self.assertAlmostEqual(tap.avg_rms, 0.3536, delta=0.01)
        self.assertFalse(await h.stop_video())
        failures = [(h.snapshot(), "no_capture"), (h.start_video(7), "not_found"),
                    (h.switch_video(7), "not_active"), (h.test_wav("/nonexistent.wav"), "error")]
        for coro, reason in failures:
            with self.subTest(reason):
                with self.assertRaises(HelperError) as cm:
                    await coro
                self.assertEqual(cm.exception.reason, reason)
        sample = await h.sample_running_mics("probe")
        self.assertEqual((sample["reason"], sample["samples"]), ("probe", []))
        self.assertIsNone(await h.device_diagnostic())
        await h.send("NO_SUCH_COMMAND")
        await h.wait_for("log", lambda t: t == "Unknown command: NO_SUCH_COMMAND", replay=True)
        await h.stop()
        self.assertEqual(await asyncio.wait_for(h.wait(), 3), 0)

    def test_readme_example_runs_as_written(self):
        readme = (PACKAGE_ROOT / "README.md").read_text()
        code = re.search(r"```python\n(.*?asyncio\.run\(main\(\)\)\n)```", readme, re.S).group(1)
        self.assertLessEqual(len(code.strip().splitlines()), 15)
        cwd = self.tmpdir()
        env = dict(os.environ, **self.rig.env, OSTROVANE_BINARY=self.binary,
                   PYTHONPATH=str(PACKAGE_ROOT))
        subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, check=True, timeout=60)
        for name in ("mic.wav", "system.wav"):
            with wave.open(os.path.join(cwd, name)) as w:
                self.assertGreater(w.getnframes() / w.getframerate(), 2.5, name)
        info = probe_h264(os.path.join(cwd, "video.h264"))
        self.assertEqual((info["width"], info["height"]), (640, 360))
        # the rig's display stands still: a frame at once, then one a second
        self.assertGreaterEqual(int(info["nb_read_frames"]), 3)


if __name__ == "__main__":
    unittest.main()
