"""The asyncio client: starts the helper, sends commands, matches answers, fans out
frames and lines."""

from __future__ import annotations

import asyncio
import collections
import inspect
import json
import logging
import os
import shutil
import sys
import weakref
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable, Mapping

from .answers import ANSWERS, Entry, commands_for_answer
from .errors import HelperError
from .frames import AudioFrame, FrameParser, VideoFrame
from .lines import Answer, Event, Line, Record, parse_line
from .results import Device, MicTap, Target
from .timeline import Timeline
from .writers import H264Writer, WavWriter

log = logging.getLogger("ostrovane")

READY_LINE = "Helper ready, waiting for commands..."
VERSION_PREFIX = "Ostrovane version "
# A call that timed out keeps its place in its answer queue this long, so that
# its late answer is not taken for the next call's.
ABANDONED_KEEP_S = 60.0
# Without a version line after the ready line (an older helper), start anyway.
VERSION_GRACE_S = 2.0
STDERR_TAIL = 40
# Longer lines (screenshots) are kept in `history` shortened.
HISTORY_LINE_MAX = 64 * 1024
READ_CHUNK = 1 << 16

PACKAGE_DIR = Path(__file__).resolve().parent


def find_binary(binary: str | os.PathLike | None = None) -> str:
    """The helper executable: `binary`, else $OSTROVANE_BINARY, else one shipped
    inside the package or in the bin folder of its installation prefix, else
    the build tree of a source checkout (build/default/src/ostrovane), else
    `ostrovane` on PATH."""
    if binary:
        return os.fspath(binary)
    env = os.environ.get("OSTROVANE_BINARY")
    if env:
        return env
    candidates = [PACKAGE_DIR / "bin" / "ostrovane", Path(sys.prefix) / "bin" / "ostrovane",
                  PACKAGE_DIR.parent.parent.parent / "build" / "default" / "src" / "ostrovane"]
    for c in candidates:
        if c.is_file() and os.access(c, os.X_OK):
            return str(c)
    found = shutil.which("ostrovane")
    if found:
        return found
    raise HelperError("not_found", "no ostrovane binary: pass binary= or set OSTROVANE_BINARY")


def _trimmed(line: Line) -> Line:
    note = f"… ({len(line.text)} characters)"
    value = line.value
    if isinstance(value, Answer):
        value = Answer(value.tag, value.payload[:200] + note)
    elif isinstance(value, str):
        value = value[:200] + note
    return Line(line.text[:200] + note, line.topic, value, line.received)


@dataclass(eq=False)
class _Call:
    command: str
    line: str
    future: asyncio.Future
    order: int
    abandoned_until: float | None = None  # set when the caller gave up
    stage: int = 0  # SAMPLE_RUNNING_MICS: 1 once its "started" event came
    records: list = field(default_factory=list)  # DEVICE_DIAGNOSTIC records seen meanwhile
    reason: str = ""

    @property
    def live(self) -> bool:
        return self.abandoned_until is None and not self.future.done()


class Subscription:
    """An async iterator over frames or lines, fed by the helper's readers.

    Frame subscriptions are bounded: while one is full, standard output is not
    read (the helper then buffers and, in the end, drops audio). A subscription
    that is closed, or no longer referenced, stops receiving. Iteration ends
    after the helper has exited and the items already received are consumed.
    """

    def __init__(self, wants: Callable[[Any], bool], maxsize: int, on_close: Callable) -> None:
        self._wants = wants
        self._maxsize = maxsize
        self._items: collections.deque = collections.deque()
        self._ready = asyncio.Event()
        self._space = asyncio.Event()
        self._ended = False
        self._on_close = on_close

    def _offer(self, item: Any) -> bool:
        """False when full; True when taken (or not wanted)."""
        if self._ended or not self._wants(item):
            return True
        if self._maxsize and len(self._items) >= self._maxsize:
            self._space.clear()
            return False
        self._items.append(item)
        self._ready.set()
        return True

    def _end(self) -> None:
        self._ended = True
        self._ready.set()
        self._space.set()

    def __aiter__(self) -> "Subscription":
        return self

    async def __anext__(self) -> Any:
        while not self._items:
            if self._ended:
                raise StopAsyncIteration
            self._ready.clear()
            await self._ready.wait()
        item = self._items.popleft()
        self._space.set()
        return item

    def close(self) -> None:
        self._items.clear()
        self._end()
        self._on_close(self)

    async def __aenter__(self) -> "Subscription":
        return self

    async def __aexit__(self, *exc) -> None:
        self.close()


class Helper:
    """A running helper. Create it with `await Helper.spawn()`; use it as an
    async context manager (`async with await Helper.spawn() as h:`) or call
    `await h.close()`."""

    def __init__(self, proc: asyncio.subprocess.Process, *, history: int = 500,
                 frame_buffer: int = 1500) -> None:
        self._proc = proc
        self._loop = asyncio.get_running_loop()
        self.pid = proc.pid
        self.version: str | None = None
        self.returncode: int | None = None
        self.startup_lines: list[str] = []
        self.history: collections.deque[Line] = collections.deque(maxlen=history)
        self.timeline = Timeline()
        self._tail: collections.deque[str] = collections.deque(maxlen=STDERR_TAIL)
        self._frame_buffer = frame_buffer
        self._pending: dict[str, collections.deque[_Call]] = collections.defaultdict(
            collections.deque)
        self._order = 0
        self._listeners: dict[str, list[Callable]] = collections.defaultdict(list)
        self._frame_subs: weakref.WeakSet[Subscription] = weakref.WeakSet()
        self._line_subs: weakref.WeakSet[Subscription] = weakref.WeakSet()
        self._ready: asyncio.Future = self._loop.create_future()
        self._stopping = False
        self._exit_error: HelperError | None = None
        self._tasks: set[asyncio.Task] = set()
        self._stdout_task = self._loop.create_task(self._read_stdout())
        self._stderr_task = self._loop.create_task(self._read_stderr())
        self._watch_task = self._loop.create_task(self._watch())

    # ---- start and lifetime -------------------------------------------------

    @classmethod
    async def spawn(cls, binary: str | os.PathLike | None = None, *,
                    command: Iterable[str] | None = None,
                    env: Mapping[str, str] | None = None, cwd: str | None = None,
                    ready_timeout: float = 15.0, history: int = 500,
                    frame_buffer: int = 1500) -> "Helper":
        """Starts the helper and returns once it is ready (its version line seen).

        `binary` defaults as `find_binary` says; `command` replaces the whole
        argument vector (e.g. a fake helper). `env` is added to this process's
        environment for the helper only. Raises HelperError ("timeout",
        "exited", "not_found") when it does not get ready.
        """
        argv = list(command) if command is not None else [find_binary(binary)]
        full_env = dict(os.environ)
        full_env.update(env or {})
        try:
            proc = await asyncio.create_subprocess_exec(
                *argv, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE, env=full_env, cwd=cwd)
        except OSError as e:
            raise HelperError("not_found", f"{argv[0]}: {e}") from e
        helper = cls(proc, history=history, frame_buffer=frame_buffer)
        try:
            await asyncio.wait_for(asyncio.shield(helper._ready), ready_timeout)
        except (asyncio.TimeoutError, HelperError, asyncio.CancelledError) as e:
            await helper._kill()
            if helper._ready.done() and not helper._ready.cancelled():
                helper._ready.exception()  # retrieved: the error is raised here
            if isinstance(e, asyncio.TimeoutError):
                raise HelperError("timeout", "helper not ready within "
                                  f"{ready_timeout:g} s; last lines:\n{helper.stderr_tail}") from None
            raise
        return helper

    @property
    def running(self) -> bool:
        return self.returncode is None and self._exit_error is None

    @property
    def stderr_tail(self) -> str:
        """The last lines the helper wrote on standard error."""
        return "\n".join(self._tail)

    async def close(self, timeout: float = 3.0) -> int | None:
        """Stops the helper: sends STOP, waits up to `timeout` s for it to exit,
        then kills it. Returns its exit status."""
        self._stopping = True
        if self.running:
            deadline = self._loop.time() + timeout
            try:
                await self._call("STOP", timeout=timeout)
            except HelperError:
                pass
            try:
                # it exits about 100 ms after answering
                await asyncio.wait_for(asyncio.shield(self._watch_task),
                                       max(0.5, deadline - self._loop.time()))
            except asyncio.TimeoutError:
                await self._kill()
        await self._watch_task
        return self.returncode

    async def wait(self) -> int | None:
        """Waits until the helper has exited; returns its exit status."""
        await asyncio.shield(self._watch_task)
        return self.returncode

    async def _kill(self) -> None:
        self._stopping = True
        if self._proc.returncode is None:
            try:
                self._proc.kill()
            except ProcessLookupError:
                pass
        await self._watch_task

    async def __aenter__(self) -> "Helper":
        return self

    async def __aexit__(self, *exc) -> None:
        await self.close()

    # ---- readers --------------------------------------------------------------

    async def _read_stdout(self) -> None:
        parser = FrameParser()
        stream = self._proc.stdout
        while True:
            chunk = await stream.read(READ_CHUNK)
            if not chunk:
                break
            for frame in parser.feed(chunk):
                await self._deliver_frame(frame)
        if parser.buffered:
            log.debug("helper stdout ended inside a frame (%d bytes)", parser.buffered)

    async def _deliver_frame(self, frame: AudioFrame | VideoFrame) -> None:
        self._emit(frame.kind, frame)
        self._emit("frame", frame)
        # hold subscriptions only weakly while waiting for room, so that a
        # dropped iterator does not stall the reader
        for ref in [weakref.ref(s) for s in self._frame_subs]:
            while True:
                sub = ref()
                if sub is None or sub._offer(frame):
                    break
                space = sub._space
                del sub
                try:
                    await asyncio.wait_for(space.wait(), 0.25)
                except asyncio.TimeoutError:
                    pass

    async def _read_stderr(self) -> None:
        stream = self._proc.stderr
        buf = bytearray()
        while True:
            chunk = await stream.read(READ_CHUNK)
            if not chunk:
                break
            start = len(buf)
            buf += chunk
            if b"\n" not in chunk:
                continue
            begin = 0
            while True:
                nl = buf.find(b"\n", max(begin, start))
                if nl < 0:
                    break
                raw = bytes(buf[begin:nl])
                begin = nl + 1
                self._take_line(raw)
            del buf[:begin]
        if buf:
            self._take_line(bytes(buf))

    def _take_line(self, raw: bytes) -> None:
        try:
            self._on_line(raw.decode("utf-8", "replace").rstrip("\r"))
        except Exception:  # one bad line must not stop the reader
            log.exception("while handling a line from the helper")

    async def _watch(self) -> None:
        rc = await self._proc.wait()
        try:
            await asyncio.wait_for(asyncio.gather(self._stdout_task, self._stderr_task,
                                                  return_exceptions=True), 2.0)
        except asyncio.TimeoutError:
            pass
        self.returncode = rc
        tail = self.stderr_tail
        expected = self._stopping
        err = HelperError("closed" if expected else "exited",
                          f"helper exited with status {rc}; last lines:\n{tail}",
                          returncode=rc)
        self._exit_error = err
        for q in self._pending.values():
            for call in q:
                if not call.future.done():
                    call.future.set_exception(HelperError(
                        "exited", f"helper exited with status {rc}; last lines:\n{tail}",
                        call.line, returncode=rc))
            q.clear()
        if not self._ready.done():
            self._ready.set_exception(HelperError(
                "exited", f"helper exited with status {rc} before it was ready; "
                f"last lines:\n{tail}", returncode=rc))
        if not expected:
            self._emit("error", err)
        self._emit("exit", rc)
        for sub in list(self._frame_subs) + list(self._line_subs):
            sub._end()
        if self._proc.stdin and not self._proc.stdin.is_closing():
            self._proc.stdin.close()

    # ---- lines and answers ----------------------------------------------------

    def _on_line(self, text: str) -> None:
        line = parse_line(text)
        self.history.append(line if len(text) <= HISTORY_LINE_MAX else _trimmed(line))
        self._tail.append(text if len(text) <= 300 else text[:300] + "…")
        if not self._ready.done():
            self.startup_lines.append(text)
            if text == READY_LINE:
                self._loop.call_later(VERSION_GRACE_S, self._set_ready)
            elif text.startswith(VERSION_PREFIX):
                self.version = text[len(VERSION_PREFIX):].strip()
                self._set_ready()
        self._match(line)
        for topic in line.topics:
            self._emit(topic, line if topic == "line" else line.value)
        for sub in list(self._line_subs):
            sub._offer(line)

    def _set_ready(self) -> None:
        if not self._ready.done():
            self._ready.set_result(None)

    def _match(self, line: Line) -> None:
        v = line.value
        if isinstance(v, Answer):
            if v.tag == "STREAMING":
                self._streaming_state(v.payload)
            for command in commands_for_answer(v.tag, v.payload):
                entry = ANSWERS[command]
                if entry.late:
                    self._answer_late(entry, v.payload)
                else:
                    self._answer_in_order(entry, v.payload)
                break
        elif line.topic == "gap":
            self.timeline.add_gap(v)
        elif isinstance(v, Event):
            for entry in ANSWERS.values():
                if entry.event == v.name:
                    self._answer_event(entry)
        elif isinstance(v, Record):
            if v.name == "DEVICE_DIAGNOSTIC":
                for call in self._pending["GET_DEVICE_DIAGNOSTIC"]:
                    call.records.append(v.data)
            for entry in ANSWERS.values():
                if entry.record == v.name:
                    self._answer_record(entry, v)
        elif line.topic == "log":
            for entry in ANSWERS.values():
                if entry.log_failure and line.text.startswith(entry.log_failure):
                    call = self._take(entry.command, live_only=True)
                    if call:
                        call.future.set_exception(HelperError("error", line.text, call.line))

    def _queue(self, command: str) -> collections.deque[_Call]:
        q = self._pending[command]
        now = self._loop.time()
        if any(c.abandoned_until is not None and c.abandoned_until < now for c in q):
            kept = [c for c in q if c.abandoned_until is None or c.abandoned_until >= now]
            q.clear()
            q.extend(kept)
        return q

    def _take(self, command: str, *, live_only: bool = False) -> _Call | None:
        q = self._queue(command)
        for i, call in enumerate(q):
            if not live_only or call.live:
                del q[i]
                return call
        return None

    def _resolve(self, call: _Call | None, payload: Any) -> None:
        if call is None:
            log.debug("answer %r matches no call", str(payload)[:100])
            return
        if call.future.done():
            return  # abandoned: the answer is consumed and dropped
        entry = ANSWERS[call.command]
        try:
            call.future.set_result(entry.decode(payload, call.line))
        except HelperError as e:
            call.future.set_exception(e)

    def _streaming_state(self, payload: str) -> None:
        word = payload.partition(":")[0]
        if word == "started":
            self.timeline.started_at = self.history[-1].received if self.history else None
        elif word in ("failed", "stopped"):
            self.timeline.reset()

    def _answer_late(self, entry: Entry, payload: str) -> None:
        # An `already_active` is written at once, so it cannot belong to a
        # start still being decided, which is the earliest open one when there
        # are several (unless a stop between them ended that stream); a
        # decision (`started`, `failed`) belongs to the earliest.
        q = self._queue(entry.command)
        if not q:
            return
        word = payload.partition(":")[0]
        idx = 0
        if word == "already_active" and len(q) >= 2:
            first, second = q[0].order, q[1].order
            stops = [c for other in ANSWERS.values() if other.silences == entry.command
                     for c in self._pending[other.command] if first < c.order < second]
            idx = 0 if stops else 1
        call = q[idx]
        del q[idx]
        self._resolve(call, payload)

    def _answer_in_order(self, entry: Entry, payload: str) -> None:
        call = self._take(entry.command)
        if call is not None and entry.silences:
            # calls sent before this one that were still waiting get no answer
            q = self._queue(entry.silences)
            for early in [c for c in q if c.order < call.order]:
                q.remove(early)
                if not early.future.done():
                    early.future.set_exception(HelperError(
                        "cancelled", f"cancelled by {entry.command}", early.line))
        self._resolve(call, payload)

    def _answer_event(self, entry: Entry) -> None:
        if entry.record:
            for call in self._queue(entry.command):
                if call.stage == 0:
                    call.stage = 1
                    return
            return
        call = self._take(entry.command)
        if call is None:
            return
        mine = [r for r in call.records if r.get("reason") == call.reason]
        self._resolve(call, mine[-1] if mine else None)

    def _answer_record(self, entry: Entry, record: Record) -> None:
        q = self._queue(entry.command)
        # each request gets its own record, in order; prefer requests whose
        # "started" event came, but do not insist on it
        chosen = next((c for c in q if c.stage == 1), None) or (q[0] if q else None)
        if chosen is None:
            return
        q.remove(chosen)
        self._resolve(chosen, record.data)

    # ---- sending --------------------------------------------------------------

    async def send(self, line: str) -> None:
        """Writes one raw command line (no answer is awaited)."""
        if "\n" in line or "\r" in line:
            raise HelperError("invalid_argument", "a command cannot contain a line break", line)
        if not self.running:
            raise self._exit_error or HelperError("exited", "helper is not running", line)
        stdin = self._proc.stdin
        try:
            stdin.write(line.encode("utf-8") + b"\n")
            await stdin.drain()
        except (BrokenPipeError, ConnectionResetError, RuntimeError) as e:
            raise HelperError("exited", f"cannot write to the helper: {e}", line) from None

    async def _call(self, command: str, arg: str | None = None, *,
                    timeout: float | None = None, reason: str = "") -> Any:
        entry = ANSWERS[command]
        line = command if arg is None else f"{command}:{arg}"
        if "\n" in line or "\r" in line:
            raise HelperError("invalid_argument", "a command cannot contain a line break", line)
        if not self.running:
            e = self._exit_error
            raise HelperError(e.reason if e else "exited", e.text if e else "", line)
        if command == "STOP":
            self._stopping = True
        self._order += 1
        call = _Call(command, line, self._loop.create_future(), self._order, reason=reason)
        self._pending[command].append(call)
        limit = entry.timeout if timeout is None else timeout
        timer = self._loop.call_later(limit, self._expire, call, limit)
        try:
            try:
                await self.send(line)
            except HelperError as e:
                if not call.future.done():
                    call.future.set_exception(e)
            return await call.future
        finally:
            timer.cancel()
            if call.abandoned_until is None and (call.future.cancelled()
                                                 or not call.future.done()):
                # the caller went away: keep the place for its answer
                call.future.cancel()
                call.abandoned_until = self._loop.time() + ABANDONED_KEEP_S

    def _expire(self, call: _Call, limit: float) -> None:
        if call.future.done():
            return
        call.abandoned_until = self._loop.time() + ABANDONED_KEEP_S
        call.future.set_exception(HelperError(
            "timeout", f"no answer within {limit:g} s", call.line))

    # ---- commands -------------------------------------------------------------

    async def start_streaming(self, *, timeout: float | None = None) -> None:
        """START_STREAMING: microphone and system audio frames. Raises
        HelperError "already_active", the failure's reason, or "cancelled"
        when a stop_streaming() overtook the start."""
        await self._call("START_STREAMING", timeout=timeout)

    async def stop_streaming(self, *, timeout: float | None = None) -> None:
        """STOP_STREAMING (also ends a test_wav() stream)."""
        await self._call("STOP_STREAMING", timeout=timeout)

    async def start_mic_monitoring(self, *, timeout: float | None = None) -> None:
        """START_MIC_MONITORING; raises "already_active" when it runs."""
        await self._call("START_MIC_MONITORING", timeout=timeout)

    async def stop_mic_monitoring(self, *, timeout: float | None = None) -> bool:
        """STOP_MIC_MONITORING; False when it was not running."""
        return await self._call("STOP_MIC_MONITORING", timeout=timeout)

    async def list_devices(self, *, timeout: float | None = None) -> list[Device]:
        return await self._call("LIST_DEVICES", timeout=timeout)

    async def current_mic(self, *, timeout: float | None = None) -> str | None:
        """The default microphone's name, None when there is none."""
        return await self._call("GET_CURRENT_MIC", timeout=timeout)

    async def list_targets(self, *, timeout: float | None = None) -> list[Target]:
        """LIST_WINDOWS: displays first, then windows; thumbnails as PNG bytes."""
        return await self._call("LIST_WINDOWS", timeout=timeout)

    async def start_video(self, id: int | None = None, *, type: str = "display",
                          width: int | None = None, height: int | None = None,
                          fps: int | None = None, bitrate: int | None = None,
                          timeout: float | None = None) -> None:
        """START_VIDEO of a display or window (ids from list_targets())."""
        args = {"type": type, "id": id, "width": width, "height": height,
                "fps": fps, "bitrate": bitrate}
        arg = json.dumps({k: v for k, v in args.items() if v is not None},
                         separators=(",", ":"))
        await self._call("START_VIDEO", arg, timeout=timeout)

    async def switch_video(self, id: int, *, type: str = "display",
                           timeout: float | None = None) -> None:
        arg = json.dumps({"type": type, "id": id}, separators=(",", ":"))
        await self._call("SWITCH_VIDEO", arg, timeout=timeout)

    async def stop_video(self, *, timeout: float | None = None) -> bool:
        """STOP_VIDEO; False when no capture was running."""
        return await self._call("STOP_VIDEO", timeout=timeout)

    async def snapshot(self, max_width: int = 320, *, timeout: float | None = None) -> bytes:
        """SNAPSHOT_NOW: PNG bytes of the capture's latest image; raises
        "no_capture" or "no_frame"."""
        return await self._call("SNAPSHOT_NOW", str(int(max_width)), timeout=timeout)

    async def screenshot(self, *, timeout: float | None = None) -> bytes:
        """SCREENSHOT: PNG bytes of the first display. A failure (a log line
        beginning ERROR:) raises reason "error" with that line as text."""
        return await self._call("SCREENSHOT", timeout=timeout)

    async def sample_running_mics(self, reason: str = "requested", *,
                                  timeout: float | None = None) -> dict:
        """SAMPLE_RUNNING_MICS: the RUNNING_MICS_SAMPLE record (a dict)."""
        return await self._call("SAMPLE_RUNNING_MICS", reason, timeout=timeout)

    async def device_diagnostic(self, reason: str = "requested", *,
                                timeout: float | None = None) -> dict | None:
        """GET_DEVICE_DIAGNOSTIC: the DEVICE_DIAGNOSTIC record written for it
        (None when the microphone does not stream)."""
        return await self._call("GET_DEVICE_DIAGNOSTIC", reason, timeout=timeout,
                                reason=reason)

    async def test_wav(self, path: str, *, timeout: float | None = None) -> str:
        """TEST_WAV: streams a WAV file as both audio streams; returns the path
        the helper reports. Stop it with stop_streaming()."""
        return await self._call("TEST_WAV", str(path), timeout=timeout)

    async def test_mic_tap(self, *, timeout: float | None = None) -> MicTap:
        return await self._call("TEST_MIC_TAP", timeout=timeout)

    async def health(self, *, timeout: float | None = None) -> float:
        """HEALTH_CHECK: the helper's wall-clock time (seconds since 1970)."""
        return await self._call("HEALTH_CHECK", timeout=timeout)

    async def stop(self, *, timeout: float | None = None) -> None:
        """STOP: the helper stops its services and exits (see also close())."""
        await self._call("STOP", timeout=timeout)

    # ---- events ---------------------------------------------------------------

    def on(self, topic: str, callback: Callable[[Any], Any], *,
           replay: bool = False) -> Callable[[], None]:
        """Calls `callback(value)` for each item of `topic`; returns a function
        that unsubscribes. Coroutine functions are run as tasks. With `replay`,
        lines of that topic still in `history` are passed first."""
        self._listeners[topic].append(callback)
        if replay:
            for line in list(self.history):
                if topic in line.topics:
                    self._invoke(callback, line if topic == "line" else line.value)

        def off() -> None:
            try:
                self._listeners[topic].remove(callback)
            except ValueError:
                pass
        return off

    def _emit(self, topic: str, value: Any) -> None:
        for cb in list(self._listeners.get(topic, ())):
            self._invoke(cb, value)

    def _invoke(self, cb: Callable, value: Any) -> None:
        try:
            result = cb(value)
            if inspect.isawaitable(result):
                task = asyncio.ensure_future(result)
                self._tasks.add(task)
                task.add_done_callback(self._tasks.discard)
        except Exception:
            log.exception("listener %r failed", cb)

    def frames(self, kind: str | None = None, *, stream: str | None = None,
               maxsize: int | None = None) -> Subscription:
        """Async iterator of frames from now on: `kind` "audio" or "video",
        `stream` "mic" or "system" (audio only)."""
        def wants(f: Any) -> bool:
            return ((kind is None or f.kind == kind)
                    and (stream is None or getattr(f, "stream", None) == stream))
        sub = Subscription(wants, self._frame_buffer if maxsize is None else maxsize,
                           self._frame_subs.discard)
        if not self.running and self.returncode is not None:
            sub._end()
        self._frame_subs.add(sub)
        return sub

    def events(self, *topics: str, history: bool = False) -> Subscription:
        """Async iterator of `Line`s whose topics include one of `topics` (all
        lines when none are given); with `history`, the kept lines first."""
        wanted = set(topics)

        def wants(line: Line) -> bool:
            return not wanted or not wanted.isdisjoint(line.topics)
        sub = Subscription(wants, 0, self._line_subs.discard)
        if history:
            for line in list(self.history):
                sub._offer(line)
        if self.returncode is not None:
            sub._end()
        self._line_subs.add(sub)
        return sub

    async def wait_for(self, topic: str, predicate: Callable[[Any], bool] | None = None, *,
                       timeout: float = 10.0, replay: bool = False) -> Any:
        """The next value of `topic` (that `predicate` accepts). With `replay`,
        a matching line still in history counts. Raises HelperError "timeout"
        or "exited"."""
        fut = self._loop.create_future()

        def cb(value: Any) -> None:
            if not fut.done() and (predicate is None or predicate(value)):
                fut.set_result(value)

        def on_exit(_rc: Any) -> None:
            if not fut.done():
                fut.set_exception(self._exit_error or HelperError("exited"))
        off = self.on(topic, cb, replay=replay)
        off_exit = self.on("exit", on_exit)
        try:
            if self.returncode is not None and not fut.done():
                on_exit(None)
            return await asyncio.wait_for(fut, timeout)
        except asyncio.TimeoutError:
            raise HelperError("timeout", f"no {topic} within {timeout:g} s") from None
        finally:
            off()
            off_exit()

    # ---- recording helpers ----------------------------------------------------

    def record_wav(self, stream: str, path: str, *, fill_gaps: bool = True) -> WavWriter:
        """Writes `stream`'s ("mic" or "system") frames from now on to a WAV
        file, gaps filled with silence from this helper's timeline. Call
        `close()` on the writer to finish the file."""
        writer = WavWriter(path, timeline=self.timeline[stream], fill_gaps=fill_gaps)

        def cb(frame: AudioFrame) -> None:
            if frame.stream == stream:
                writer.write(frame)
        writer._detach = self.on("audio", cb)
        return writer

    def record_h264(self, path: str, *, wait_for_keyframe: bool = True) -> H264Writer:
        """Writes video frames from now on to a raw H.264 file; `close()` it."""
        writer = H264Writer(path, wait_for_keyframe=wait_for_keyframe)
        writer._detach = self.on("video", writer.write)
        return writer
