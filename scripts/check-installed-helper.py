#!/usr/bin/env python3
"""Drives an installed helper as a parent would: HEALTH_CHECK, then
START_STREAMING, and waits until microphone and system-audio frames arrive.
Exits 0 when they do, 1 (with the helper's lines) when they do not.

Usage: check-installed-helper.py <helper> <expected version>
The sound server is the one PULSE_SERVER names."""
import queue
import struct
import subprocess
import sys
import threading
import time

FRAMES_WANTED = 25  # half a second of each stream
LIMIT_S = 20.0


def main() -> int:
    helper, version = sys.argv[1], sys.argv[2]
    proc = subprocess.Popen([helper], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    lines: "queue.Queue[str]" = queue.Queue()
    transcript: list[str] = []
    counts = {1: 0, 2: 0}
    loud = {1: 0, 2: 0}

    def read_lines() -> None:
        for raw in proc.stderr:
            lines.put(raw.decode("utf-8", "replace").rstrip("\n"))

    def read_frames() -> None:
        out = proc.stdout
        while True:
            header = out.read(24)
            if len(header) < 24 or header[:4] != b"APLD":
                return
            if header[4] == 2:  # video: a 32-byte header
                header += out.read(8)
                length = struct.unpack_from("<I", header, 20)[0]
            else:
                length = struct.unpack_from("<I", header, 12)[0]
                kind, level = header[5], struct.unpack_from("<H", header, 10)[0]
                if kind in counts:
                    counts[kind] += 1
                    loud[kind] += level > 0
            if len(out.read(length)) < length:
                return

    threading.Thread(target=read_lines, daemon=True).start()
    threading.Thread(target=read_frames, daemon=True).start()

    def send(command: str) -> None:
        proc.stdin.write((command + "\n").encode())
        proc.stdin.flush()

    def wait_for(prefix: str) -> str | None:
        deadline = time.monotonic() + LIMIT_S
        while time.monotonic() < deadline:
            try:
                line = lines.get(timeout=0.1)
            except queue.Empty:
                continue
            transcript.append(line)
            if line.startswith(prefix):
                return line
        return None

    failure = None
    if not wait_for(f"Ostrovane version {version}"):
        failure = f"no start-up line naming version {version}"
    else:
        send("HEALTH_CHECK")
        if not wait_for("CMD_RESPONSE:HEALTH_OK:"):
            failure = "no HEALTH_OK answer"
    if not failure:
        send("START_STREAMING")
        answer = wait_for("CMD_RESPONSE:STREAMING:")
        if answer != "CMD_RESPONSE:STREAMING:started":
            failure = f"streaming did not start: {answer}"
    if not failure:
        deadline = time.monotonic() + LIMIT_S
        while min(counts.values()) < FRAMES_WANTED and time.monotonic() < deadline:
            time.sleep(0.1)
        if min(counts.values()) < FRAMES_WANTED:
            failure = f"too few frames: microphone {counts[1]}, system audio {counts[2]}"
        elif loud[1] == 0 or loud[2] == 0:
            failure = f"silent frames only: microphone {loud[1]}, system audio {loud[2]} with a level"
    if not failure:
        send("STOP")
        wait_for("CMD_RESPONSE:STOPPED:ok")
    else:
        proc.kill()
    try:
        status = proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        proc.kill()
        status = proc.wait()
    if not failure and status != 0:
        failure = f"exit status {status} after STOP"
    while not lines.empty():
        transcript.append(lines.get())
    if failure:
        print(f"check-installed-helper: {failure}", file=sys.stderr)
        print("\n".join(transcript), file=sys.stderr)
        return 1
    print(f"check-installed-helper: {helper} {version}: HEALTH_OK, streaming started, "
          f"{counts[1]} microphone and {counts[2]} system-audio frames")
    return 0


if __name__ == "__main__":
    sys.exit(main())
