"""A scriptable stand-in for the Ostrovane helper, for parents' tests.

Run it as `python3 -m ostrovane.fake_helper SCRIPT` (or as a file), where
SCRIPT is a JSON file, inline JSON text, or `@FILE` (a file it deletes once
read). It speaks the helper's pipes: it
writes the start-up lines, echoes every command as `Received command: …`, and
answers each command as the script says. A command the script does not name
gets the helper's treatment of an unknown command: the log line
`Unknown command: <line>` and no answer (except STOP and HEALTH_CHECK, which
have working defaults). Like the helper, it keeps running after its input
closes and exits with status 0 when the process that started it ends.

Script:

    {
      "version": "1.2.3",            # for "Ostrovane version …" (default 0.0.0)
      "startup": true,               # write the start-up lines (false: none)
      "startup_delay_ms": 0,
      "at_start": [ACTION, …],       # run after the start-up lines, in the background
      "commands": {
        "HEALTH_CHECK": [ACTION, …],                  # the same reply every time
        "START_STREAMING": {"replies": [[…], […]],    # one per occurrence, last repeats
                            "late": true},            # reply on its own thread
        "START_VIDEO:{\"id\":1}": […]                 # a whole line matches first
      }
    }

A reply runs in the command loop, holding later commands as the helper's
in-order answers do, unless "late" is set: then it runs beside the loop and
later commands are answered meanwhile.

ACTION is an object with one of:
    {"line": "text"} / {"lines": ["…", …]}   a line on standard error; "{now}"
                                             becomes the time, "{arg}" the
                                             command's argument
    {"audio": {"stream": "mic", "sequence": 0, "count": 1, "level": 0.5,
               "interval_ms": 0}}            audio frames (a square wave of that RMS)
    {"video": {"width": 640, "height": 360, "fps": 10, "keyframe": true,
               "pts": 0, "sequence": 0, "data_hex": "…" | "data_b64": "…",
               "count": 1, "interval_ms": 0}}
    {"stdout_hex": "…"}                      raw bytes on standard output
    {"exit": 0}                              exit at once with that status
and optionally "after": ms (wait first) and, for output, "chunk": n (write n
bytes at a time, flushing each).
"""

from __future__ import annotations

import base64
import json
import os
import sys
import tempfile
import threading
import time

if __package__ in (None, ""):  # run as a file: make the package importable
    _here = os.path.dirname(os.path.abspath(__file__))
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != _here]
    sys.path.insert(0, os.path.dirname(_here))

from ostrovane.frames import encode_audio, encode_video, level_raw  # noqa: E402

STARTUP_LINES = [
    "Ostrovane starting...",
    "✅ macOS version check passed, creating Task...",
    "🟢 About to start RunLoop.main.run()...",
    "🔵 Task executing, about to call runApp()...",
    "runApp() called - helper in IDLE mode",
    "Helper ready, waiting for commands...",
]

DEFAULT_COMMANDS = {
    "STOP": [{"line": "CMD_RESPONSE:STOPPED:ok"}, {"after": 100, "exit": 0}],
    "HEALTH_CHECK": [{"line": "CMD_RESPONSE:HEALTH_OK:{now}"}],
}

_out_lock = threading.Lock()
_err_lock = threading.Lock()


def _write_out(data: bytes, chunk: int = 0) -> None:
    out = sys.stdout.buffer
    try:
        with _out_lock:
            if chunk > 0:
                for i in range(0, len(data), chunk):
                    out.write(data[i:i + chunk])
                    out.flush()
            else:
                out.write(data)
                out.flush()
    except (BrokenPipeError, ValueError):
        os._exit(1)


def _write_err(text: str) -> None:
    try:
        with _err_lock:
            sys.stderr.buffer.write(text.encode("utf-8") + b"\n")
            sys.stderr.buffer.flush()
    except (BrokenPipeError, ValueError):
        pass  # a closed standard error is ignored


def _square(level: float) -> bytes:
    a = max(0, min(32767, round(level * 32767)))
    return (a.to_bytes(2, "little", signed=True) * 2
            + (-a).to_bytes(2, "little", signed=True) * 2) * 480


def _subst(text: str, arg: str) -> str:
    return text.replace("{now}", repr(time.time())).replace("{arg}", arg)


def run_actions(actions: list, arg: str = "") -> None:
    for act in actions:
        if act.get("after"):
            time.sleep(act["after"] / 1000)
        chunk = int(act.get("chunk", 0))
        if "line" in act:
            _write_err(_subst(act["line"], arg))
        if "lines" in act:
            for text in act["lines"]:
                _write_err(_subst(text, arg))
        if "audio" in act:
            a = act["audio"]
            level = float(a.get("level", 0.5))
            pcm = _square(level)
            raw = level_raw(level)
            for i in range(int(a.get("count", 1))):
                if i and a.get("interval_ms"):
                    time.sleep(a["interval_ms"] / 1000)
                _write_out(encode_audio(a.get("stream", "mic"),
                                        int(a.get("sequence", 0)) + i, pcm, raw), chunk)
        if "video" in act:
            v = act["video"]
            if "data_b64" in v:
                data = base64.b64decode(v["data_b64"])
            else:
                data = bytes.fromhex(v.get("data_hex", "00000001650000"))
            fps = int(v.get("fps", 10))
            for i in range(int(v.get("count", 1))):
                if i and v.get("interval_ms"):
                    time.sleep(v["interval_ms"] / 1000)
                _write_out(encode_video(
                    data, width=int(v.get("width", 640)), height=int(v.get("height", 360)),
                    fps=fps, keyframe=bool(v.get("keyframe", True)) and i == 0,
                    pts=int(v.get("pts", 0)) + i * 1_000_000 // max(1, fps),
                    sequence=int(v.get("sequence", 0)) + i), chunk)
        if "stdout_hex" in act:
            _write_out(bytes.fromhex(act["stdout_hex"]), chunk)
        if "exit" in act:
            try:
                sys.stdout.flush()
                sys.stderr.flush()
            finally:
                os._exit(int(act["exit"]))


def _in_background(actions: list, arg: str = "") -> None:
    threading.Thread(target=run_actions, args=(actions, arg), daemon=True).start()


def _watch_parent() -> None:
    parent = os.getppid()
    while True:
        time.sleep(0.1)
        if os.getppid() != parent:
            os._exit(0)


def load_script(source: str) -> dict:
    """Inline JSON, a file's path, or "@path": a file to delete once read."""
    if source.lstrip().startswith("{"):
        return json.loads(source)
    temporary = source.startswith("@")
    path = source[1:] if temporary else source
    with open(path, encoding="utf-8") as f:
        script = json.load(f)
    if temporary:
        os.unlink(path)
    return script


def main(argv: list[str]) -> int:
    script = load_script(argv[1]) if len(argv) > 1 else {}
    threading.Thread(target=_watch_parent, daemon=True).start()
    rules = dict(DEFAULT_COMMANDS)
    rules.update(script.get("commands", {}))
    seen: dict[str, int] = {}
    if script.get("startup_delay_ms"):
        time.sleep(script["startup_delay_ms"] / 1000)
    if script.get("startup", True):
        for text in STARTUP_LINES:
            _write_err(text)
        _write_err(f"Ostrovane version {script.get('version', '0.0.0')}")
    if script.get("at_start"):
        _in_background(script["at_start"])
    for raw in sys.stdin.buffer:
        line = raw.rstrip(b"\n").rstrip(b"\r").decode("utf-8", "replace")
        _write_err(f"Received command: {line}")
        name, _, arg = line.partition(":")
        key = line if line in rules else name.upper() if name.upper() in rules else None
        if key is None:
            _write_err(f"Unknown command: {line}")
            continue
        rule = rules[key]
        if isinstance(rule, list):
            rule = {"reply": rule}
        n = seen.get(key, 0)
        seen[key] = n + 1
        replies = rule.get("replies")
        actions = (replies[min(n, len(replies) - 1)] if replies else rule.get("reply", []))
        if rule.get("late"):
            _in_background(actions, arg)
        else:
            run_actions(actions, arg)
    # end of input: like the helper, keep running until killed or orphaned
    while True:
        time.sleep(3600)


def command(script: dict | str) -> list[str]:
    """The argument vector that runs the fake helper with `script` (a dict,
    JSON text or a path), e.g. for `Helper.spawn(command=...)`. A script too
    large for the command line goes through a temporary file that the fake
    helper deletes once it has read it (so each returned command runs once)."""
    arg = json.dumps(script) if isinstance(script, dict) else str(script)
    if arg.lstrip().startswith("{") and len(arg) > 64 * 1024:
        fd, path = tempfile.mkstemp(prefix="ostrovane-fake-", suffix=".json")
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(arg)
        arg = "@" + path
    return [sys.executable, os.path.abspath(__file__), arg]


def _console_main() -> int:
    return main(sys.argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
