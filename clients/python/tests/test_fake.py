"""The client against the fake helper: answer matching, frames, events, lifetime."""

import asyncio
import base64
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import wave

from ostrovane import Helper, HelperError, fake_helper

from test_units import EXPECTED, sample_stream, summary

PNG = b"\x89PNG\r\n\x1a\n" + bytes(range(40))
PNG64 = base64.b64encode(PNG).decode()


async def take(subscription, n, timeout=5.0):
    return [await asyncio.wait_for(anext(subscription), timeout) for _ in range(n)]


def reply(*lines, after=0, late=False):
    actions = [{"line": ln} for ln in lines]
    if actions and after:
        actions[0]["after"] = after
    return {"reply": actions, "late": late}


class FakeTestCase(unittest.IsolatedAsyncioTestCase):
    async def spawn(self, commands=None, **script):
        script["commands"] = commands or {}
        h = await Helper.spawn(command=fake_helper.command(script), ready_timeout=10)
        self.addAsyncCleanup(h.close, 2.0)
        return h


class AnswerMatchingTests(FakeTestCase):
    async def test_typed_results_and_errors(self):
        targets = [{"type": "display", "id": 60, "name": "screen", "width": 1280, "height": 720,
                    "thumbnail": "data:image/png;base64," + PNG64},
                   {"type": "window", "id": 7, "name": "Notes", "bundleId": "org.x"}]
        h = await self.spawn({
            "LIST_DEVICES": reply('CMD_RESPONSE:DEVICES_LIST:[{"id":"a","name":"USB \\"S\\" Mic",'
                                  '"type":"input"}]'),
            "GET_CURRENT_MIC": reply("CMD_RESPONSE:CURRENT_MIC:No default microphone found"),
            "LIST_WINDOWS": reply("CMD_RESPONSE:LIST_WINDOWS:" + json.dumps(targets)),
            "TEST_MIC_TAP": reply("CMD_RESPONSE:TEST_MIC_TAP:ok:taps=15 frames=15 avgRMS=0.3536"),
            "TEST_WAV": reply("CMD_RESPONSE:TEST_WAV:started:{arg}"),
            "STOP_VIDEO": reply("CMD_RESPONSE:STOP_VIDEO:not_active"),
            "SNAPSHOT_NOW": reply("CMD_RESPONSE:SNAPSHOT_NOW:error:no_frame"),
            "START_VIDEO": reply('CMD_RESPONSE:START_VIDEO:error:targetNotFound("Display 7 '
                                 'not found")'),
            "SWITCH_VIDEO": reply("CMD_RESPONSE:SWITCH_VIDEO:error:invalid_target_type"),
            "START_MIC_MONITORING": reply("CMD_RESPONSE:MIC_MONITORING:already_active"),
            "SCREENSHOT": reply("CMD_RESPONSE:SCREENSHOT_DATA:" + PNG64),
        })
        devices = await h.list_devices()
        self.assertEqual([(d.id, d.name, d.type) for d in devices], [("a", 'USB "S" Mic', "input")])
        self.assertIsNone(await h.current_mic())
        display, window = await h.list_targets()
        self.assertEqual((display.type, display.id, display.width, display.thumbnail),
                         ("display", 60, 1280, PNG))
        self.assertEqual((window.bundle_id, window.thumbnail), ("org.x", None))
        tap = await h.test_mic_tap()
        self.assertEqual((tap.taps, tap.frames, tap.avg_rms), (15, 15, 0.3536))
        self.assertEqual(await h.test_wav("/tmp/a b:c.wav"), "/tmp/a b:c.wav")
        self.assertFalse(await h.stop_video())
        self.assertEqual(await h.screenshot(), PNG)
        failures = [
            (h.snapshot(640), "no_frame", "SNAPSHOT_NOW:640"),
            (h.start_video(7, width=640), "not_found", 'START_VIDEO:{"type":"display","id":7,'
                                                       '"width":640}'),
            (h.switch_video(7, type="tab"), "invalid_target_type", None),
            (h.start_mic_monitoring(), "already_active", "START_MIC_MONITORING"),
        ]
        for coro, reason, command in failures:
            with self.subTest(reason):
                with self.assertRaises(HelperError) as cm:
                    await coro
                self.assertEqual(cm.exception.reason, reason)
                if command:
                    self.assertEqual(cm.exception.command, command)
        self.assertEqual(h.returncode, None)

    async def test_late_streaming_answer_comes_after_later_answers(self):
        h = await self.spawn({"START_STREAMING": reply("CMD_RESPONSE:STREAMING:started",
                                                       after=300, late=True)})
        start = asyncio.ensure_future(h.start_streaming())
        await h.health()
        self.assertFalse(start.done())
        await start
        self.assertIsNotNone(h.timeline.started_at)

    async def test_already_active_before_the_first_starts_answer(self):
        h = await self.spawn({"START_STREAMING": {"replies": [
            [{"after": 300, "line": "CMD_RESPONSE:STREAMING:failed:system_audio_negotiation_timeout"}],
            [{"line": "CMD_RESPONSE:STREAMING:already_active"}]], "late": True}})
        first = asyncio.ensure_future(h.start_streaming())
        second = asyncio.ensure_future(h.start_streaming())
        with self.assertRaises(HelperError) as cm:
            await second
        self.assertEqual(cm.exception.reason, "already_active")
        self.assertFalse(first.done())
        with self.assertRaises(HelperError) as cm:
            await first
        self.assertEqual(cm.exception.reason, "system_audio_negotiation_timeout")

    async def test_stop_before_the_start_is_decided_cancels_it(self):
        h = await self.spawn({"START_STREAMING": {"reply": [], "late": True},
                              "STOP_STREAMING": reply("CMD_RESPONSE:STREAMING:stopped")})
        start = asyncio.ensure_future(h.start_streaming())
        await asyncio.sleep(0)  # let the start be sent first
        await h.stop_streaming()
        with self.assertRaises(HelperError) as cm:
            await start
        self.assertEqual((cm.exception.reason, cm.exception.command),
                         ("cancelled", "START_STREAMING"))

    async def test_already_active_then_stop_then_a_new_start(self):
        h = await self.spawn({"START_STREAMING": {"replies": [
            [{"line": "CMD_RESPONSE:STREAMING:already_active"}],
            [{"after": 200, "line": "CMD_RESPONSE:STREAMING:started"}]], "late": True},
            "STOP_STREAMING": reply("CMD_RESPONSE:STREAMING:stopped", after=100)})
        calls = [h.start_streaming(), h.stop_streaming(), h.start_streaming()]
        results = await asyncio.gather(*calls, return_exceptions=True)
        self.assertEqual([getattr(r, "reason", r) for r in results],
                         ["already_active", None, None])

    async def test_screenshot_failure_is_only_a_log_line(self):
        h = await self.spawn({"SCREENSHOT": {"replies": [
            [{"line": "ERROR: Failed to capture screenshot: no display"}],
            [{"line": "CMD_RESPONSE:SCREENSHOT_DATA:" + PNG64}]]}})
        with self.assertRaises(HelperError) as cm:
            await h.screenshot()
        self.assertEqual(cm.exception.reason, "error")
        self.assertIn("no display", cm.exception.text)
        self.assertEqual(await h.screenshot(), PNG)

    async def test_unknown_command_times_out_and_a_late_answer_is_not_misplaced(self):
        h = await self.spawn({"LIST_DEVICES": {"replies": [
            [{"after": 400, "line": 'CMD_RESPONSE:DEVICES_LIST:[{"id":"old"}]'}],
            [{"line": 'CMD_RESPONSE:DEVICES_LIST:[{"id":"new"}]'}]]}})
        with self.assertRaises(HelperError) as cm:
            await h.test_mic_tap(timeout=0.3)  # unscripted: "Unknown command", no answer
        self.assertEqual(cm.exception.reason, "timeout")
        self.assertTrue(any(ln.text == "Unknown command: TEST_MIC_TAP" for ln in h.history))
        with self.assertRaises(HelperError):
            await h.list_devices(timeout=0.1)
        self.assertEqual([d.id for d in await h.list_devices()], ["new"])

    async def test_overlapping_samples_each_get_their_record(self):
        h = await self.spawn({"SAMPLE_RUNNING_MICS": {"replies": [[
            {"line": "EVENT:RUNNING_MICS_SAMPLE_STARTED"},
            {"after": 150 + 150 * n, "line": 'RUNNING_MICS_SAMPLE:{"reason":"{arg}","samples":[]}'}]
            for n in range(2)], "late": True},
            "GET_DEVICE_DIAGNOSTIC": reply('DEVICE_DIAGNOSTIC:{"reason":"{arg}","event":"x"}',
                                           "EVENT:DEVICE_DIAGNOSTIC_REQUESTED")})
        a, b = await asyncio.gather(h.sample_running_mics("a"), h.sample_running_mics("b"))
        self.assertEqual((a["reason"], b["reason"]), ("a", "b"))
        self.assertEqual(await h.device_diagnostic("why"), {"reason": "why", "event": "x"})

    async def test_dying_mid_call_rejects_and_reports_the_last_lines(self):
        h = await self.spawn({"LIST_WINDOWS": [{"line": "Capturer: lost the display"},
                                               {"after": 50, "exit": 3}]})
        errors = []
        h.on("error", errors.append)
        with self.assertRaises(HelperError) as cm:
            await h.list_targets()
        self.assertEqual((cm.exception.reason, cm.exception.returncode), ("exited", 3))
        self.assertIn("Capturer: lost the display", cm.exception.text)
        await h.wait()
        self.assertEqual([e.reason for e in errors], ["exited"])
        self.assertIn("lost the display", errors[0].text)
        with self.assertRaises(HelperError) as cm:
            await h.health()
        self.assertEqual(cm.exception.reason, "exited")


class StreamTests(FakeTestCase):
    async def test_frames_written_a_byte_at_a_time(self):
        h = await self.spawn({"GO": [{"stdout_hex": sample_stream().hex(), "chunk": 1}]})
        frames = h.frames()
        videos = h.frames("video")
        await h.send("GO")
        self.assertEqual(summary(await take(frames, 4)), EXPECTED)
        self.assertEqual([f.sequence for f in await take(videos, 2)], [0, 1])

    async def test_a_full_iterator_holds_the_output_until_dropped(self):
        h = await self.spawn({"GO": [{"audio": {"count": 20}}]})
        stalled, everything = h.frames(maxsize=2), h.frames()
        await h.send("GO")
        first = []
        with self.assertRaises(asyncio.TimeoutError):
            while True:
                first.append(await asyncio.wait_for(anext(everything), 0.5))
        self.assertIn(len(first), (2, 3))  # the reader waits once `stalled` holds two
        del stalled
        rest = await take(everything, 20 - len(first))
        self.assertEqual([f.sequence for f in first + rest], list(range(20)))

    async def test_lines_of_several_megabytes(self):
        big = base64.b64encode(os.urandom(3 * 1024 * 1024)).decode()
        h = await self.spawn({"SCREENSHOT": reply("CMD_RESPONSE:SCREENSHOT_DATA:" + big)})
        self.assertEqual(await h.screenshot(), base64.b64decode(big))

    async def test_startup_and_early_records_are_kept_for_late_listeners(self):
        h = await self.spawn({"START_MIC_MONITORING": reply(
            'MIC_EVENT:{"deviceId":"5","deviceName":"Mic","state":"active","timestamp":2.5}',
            "CMD_RESPONSE:MIC_MONITORING:started")}, version="4.5.6")
        self.assertEqual(h.version, "4.5.6")
        self.assertEqual(h.startup_lines[-2:], ["Helper ready, waiting for commands...",
                                                "Ostrovane version 4.5.6"])
        await h.start_mic_monitoring()
        seen = []
        h.on("mic_event", seen.append, replay=True)
        self.assertEqual([(e.device_id, e.state) for e in seen], [("5", "active")])
        events = h.events("record", history=True)
        self.assertEqual((await take(events, 1))[0].value.device_name, "Mic")

    async def test_gaps_shape_the_timeline_and_the_wav_file(self):
        gap = ('EVENT:AUDIO_GAP:{"stream":"mic","sequence":2,"durationMs":40,'
               '"reason":"source_silent","timestamp":1.0}')
        h = await self.spawn({"START_STREAMING": [
            {"line": "CMD_RESPONSE:STREAMING:started"}, {"line": gap},
            {"after": 100, "audio": {"stream": "mic", "count": 5, "level": 0.25}},
            {"audio": {"stream": "system", "count": 2, "level": 0.5}}]})
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        path = os.path.join(tmp.name, "mic.wav")
        writer = h.record_wav("mic", path)
        gaps = []
        h.on("gap", gaps.append)
        frames = h.frames("audio", stream="mic")
        await h.start_streaming()
        mic = await take(frames, 5)
        writer.close()
        self.assertEqual([f.sequence for f in mic], [0, 1, 2, 3, 4])
        self.assertEqual({f.level_raw for f in mic}, {16383})
        self.assertEqual([(g.sequence, g.reason) for g in gaps], [(2, "source_silent")])
        self.assertEqual([h.timeline.time_ms("mic", s) for s in (1, 2)], [20, 80])
        with wave.open(path) as r:
            self.assertEqual(r.getnframes(), (5 * 20 + 40) * 48)


class LifetimeTests(FakeTestCase):
    async def test_close_stops_or_kills(self):
        for name, commands, want in [("answers STOP", {}, 0),
                                     ("ignores STOP", {"STOP": []}, -signal.SIGKILL)]:
            with self.subTest(name):
                h = await self.spawn(commands)
                t0 = time.monotonic()
                self.assertEqual(await h.close(timeout=0.5), want)
                self.assertLess(time.monotonic() - t0, 2.0)

    async def test_start_failures(self):
        for name, script, reason in [("exits early", {"startup": False, "at_start": [{"exit": 4}]},
                                      "exited"),
                                     ("never ready", {"startup": False}, "timeout")]:
            with self.subTest(name):
                with self.assertRaises(HelperError) as cm:
                    await Helper.spawn(command=fake_helper.command(script), ready_timeout=0.5)
                self.assertEqual(cm.exception.reason, reason)
        with self.assertRaises(HelperError) as cm:
            await Helper.spawn("/nonexistent/ostrovane")
        self.assertEqual(cm.exception.reason, "not_found")


class ParentDeathTests(unittest.TestCase):
    def test_helper_ends_when_its_parent_is_killed(self):
        parent = subprocess.Popen([sys.executable, "-c", PARENT], stdout=subprocess.PIPE,
                                  text=True, cwd=os.path.dirname(os.path.dirname(__file__)))
        pid = int(parent.stdout.readline())
        parent.kill()
        parent.wait()
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline and alive(pid):
            time.sleep(0.02)
        self.assertFalse(alive(pid), "helper outlived its parent by a second")
        parent.stdout.close()


def alive(pid):
    """Running: not gone and not a zombie waiting for its new parent to reap it."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(") ")[2][:1] not in ("Z", "X")
    except FileNotFoundError:
        return False


PARENT = """
import asyncio, time
from ostrovane import Helper, fake_helper
async def main():
    h = await Helper.spawn(command=fake_helper.command({}))
    print(h.pid, flush=True)
    await asyncio.sleep(60)
asyncio.run(main())
"""

if __name__ == "__main__":
    unittest.main()
