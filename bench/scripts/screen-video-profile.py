#!/usr/bin/env python3
"""Where the helper's screen video CPU goes, per thread and per stage.

Starts a private Xvfb showing the animated test pattern (or, with --scene,
one of the scenes of bench/scene: still, slides, grid), the helper filming
it (START_VIDEO of the pattern window or of the display), and samples the
helper with `perf record` for the measured window. Prints each thread's CPU
per frame (from /proc/<pid>/task/*/schedstat) and, per thread, the share of
perf's samples by library and function.

Usage: bench/scripts/screen-video-profile.py [--build build/default]
         [--target window|display] [--size 1920x1080] [--screen 1920x1080x24]
         [--fps 10] [--seconds 10] [--scene still|slides|grid]
--size is what START_VIDEO asks for (a display is captured at half of it).
PERF_DATA=<file> keeps perf's samples there, for `perf report -G`.
"""
import argparse
import collections
import os
import subprocess
import sys
import tempfile
import threading
import time


def thread_cpu(pid):
    """CPU seconds per thread name of a running process."""
    cpu = collections.Counter()
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/comm") as comm, \
                 open(f"/proc/{pid}/task/{task}/schedstat") as stat:
                cpu[comm.read().strip()] += int(stat.read().split()[0]) / 1e9
        except OSError:
            pass
    return cpu


def free_display():
    for number in range(90, 200):
        if not os.path.exists(f"/tmp/.X11-unix/X{number}"):
            return f":{number}"
    sys.exit("no free display number")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/default")
    parser.add_argument("--target", choices=["window", "display"], default="window")
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--screen", default="1920x1080x24")
    parser.add_argument("--fps", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--scene", choices=["still", "slides", "grid"])
    parser.add_argument("--beside-ffmpeg", action="store_true",
                        help="ffmpeg x11grab films the same display meanwhile")
    args = parser.parse_args()
    width, height = args.size.split("x")
    display = free_display()
    processes = []
    try:
        processes.append(subprocess.Popen(
            ["Xvfb", display, "-screen", "0", args.screen, "-nolisten", "tcp"],
            stderr=subprocess.DEVNULL))
        time.sleep(1)
        painter = ([f"{args.build}/bench/ostrovane-bench-scene", "--scene", args.scene]
                   if args.scene else [f"{args.build}/src/ostrovane-test-pattern"])
        pattern = subprocess.Popen(painter + ["--display", display], stdout=subprocess.PIPE,
                                   text=True)
        processes.append(pattern)
        window = pattern.stdout.readline().strip()
        env = dict(os.environ, DISPLAY=display, PULSE_SERVER="unix:/nonexistent/profile")
        helper = subprocess.Popen([f"{args.build}/src/ostrovane"], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        processes.append(helper)
        lines = []
        frames = [0]

        def read_lines():
            for line in helper.stderr:
                lines.append(line.decode(errors="replace").rstrip())

        def read_frames():
            # Audio headers are 24 bytes, video headers 32 (version 2); both
            # give the payload length at byte 12 or 20.
            out = helper.stdout
            while True:
                head = out.read(24)
                if len(head) < 24:
                    return
                if head[4] == 2:
                    head += out.read(8)
                    size = int.from_bytes(head[20:24], "little")
                    frames[0] += 1
                else:
                    size = int.from_bytes(head[12:16], "little")
                if len(out.read(size)) < size:
                    return

        threading.Thread(target=read_lines, daemon=True).start()
        threading.Thread(target=read_frames, daemon=True).start()
        target = (f'"type":"window","id":{window}' if args.target == "window"
                  else '"type":"display","id":1')
        if args.target == "display":
            helper.stdin.write(b"LIST_WINDOWS\n")
            helper.stdin.flush()
            deadline = time.time() + 10
            while time.time() < deadline and not any("LIST_WINDOWS:[" in l for l in lines):
                time.sleep(0.05)
            listing = next(l for l in lines if "LIST_WINDOWS:[" in l)
            at = listing.index('"id":') + 5
            target = f'"type":"display","id":{listing[at:listing.index(",", at)]}'
        command = (f'START_VIDEO:{{{target},"width":{width},"height":{height},'
                   f'"fps":{args.fps},"bitrate":2000000}}\n')
        helper.stdin.write(command.encode())
        helper.stdin.flush()
        if args.beside_ffmpeg:
            processes.append(subprocess.Popen(
                ["ffmpeg", "-nostdin", "-v", "error", "-f", "x11grab", "-framerate",
                 str(args.fps), "-video_size", args.screen.rsplit("x", 1)[0], "-i",
                 display + "+0,0", "-vf", f"scale={int(width) // 2}:{int(height) // 2}",
                 "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-b:v",
                 "2M", "-g", str(args.fps), "-bf", "0", "-f", "h264", "-y", "/dev/null"]))
        time.sleep(3)
        if not any("START_VIDEO:started" in l for l in lines):
            sys.exit("START_VIDEO did not start: " + "\n".join(lines[-5:]))
        before, frames_before, began = thread_cpu(helper.pid), frames[0], time.monotonic()
        with tempfile.TemporaryDirectory() as scratch:
            data = os.environ.get("PERF_DATA") or os.path.join(scratch, "perf.data")
            subprocess.run(["perf", "record", "-q", "--call-graph", os.environ.get("PERF_CALL_GRAPH", "fp"), "-F", "999", "-o", data, "-p",
                            str(helper.pid), "--", "sleep", str(args.seconds)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            after, count = thread_cpu(helper.pid), frames[0] - frames_before
            elapsed = time.monotonic() - began
            # libx264 is stripped: its samples are told apart by library only.
            reports = [subprocess.run(["perf", "report", "-i", data, "--no-children", "--stdio",
                                       "--sort", keys, "--percent-limit", "0.3"],
                                      capture_output=True, text=True).stdout
                       for keys in ("comm,dso", "comm,dso,symbol")]
        print(f"{count} frames in {elapsed:.1f} s; helper CPU per frame and per second "
              "by thread:")
        for name in sorted(after, key=lambda n: before[n] - after[n]):
            spent = after[name] - before.get(name, 0)
            if spent > 0.0005:
                print(f"  {name:16} {spent * 1000 / max(count, 1):6.2f} ms  "
                      f"{spent * 1000 / elapsed:6.2f} ms/s")
        for title, report in zip(("thread, library", "thread, library, function (not x264)"),
                                 reports):
            print(f"perf samples by {title}:")
            for line in report.splitlines():
                if line.split() and line.split()[0].endswith("%") and \
                        (title == "thread, library" or "libx264" not in line):
                    print("  " + " ".join(line.split()[:5]))
    finally:
        for process in reversed(processes):
            process.kill()
            process.wait()


if __name__ == "__main__":
    main()
