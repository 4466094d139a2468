"""A private PulseAudio (a 1 kHz sine on the default sink, a 440 Hz sine as the
default microphone) and a private Xvfb display, for tests of the real helper."""

import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

PACKAGE_ROOT = Path(__file__).resolve().parent.parent


def helper_binary() -> str:
    return os.environ.get("OSTROVANE_BINARY") or str(
        PACKAGE_ROOT.parent.parent / "build" / "default" / "src" / "ostrovane")


class RigError(Exception):
    pass


def _wait(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise RigError(f"{what} did not come up within {timeout} s")


class Rig:
    def __init__(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="ostrovane-rig-")
        self.procs: list[subprocess.Popen] = []
        self.env: dict[str, str] = {}

    def start(self) -> "Rig":
        try:
            for tool in ("pulseaudio", "pactl", "Xvfb"):
                if not shutil.which(tool):
                    raise RigError(f"{tool} is not installed")
            self._start_pulse()
            self._start_x()
        except BaseException:
            self.stop()
            raise
        return self

    def _spawn(self, argv, env, log):
        out = open(os.path.join(self.dir, log), "wb")
        p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out,
                             stderr=subprocess.STDOUT)
        out.close()
        self.procs.append(p)
        return p

    def _start_pulse(self) -> None:
        env = dict(os.environ, XDG_RUNTIME_DIR=self.dir, HOME=self.dir,
                   PULSE_SERVER=f"unix:{self.dir}/pulse/native")
        env.pop("DISPLAY", None)
        pa = self._spawn([
            "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
            "-L", "module-native-protocol-unix",
            "-L", "module-null-sink sink_name=out", "-L", "module-null-sink sink_name=mic_feed",
            "-L", "module-sine sink=out frequency=1000",
            "-L", "module-sine sink=mic_feed frequency=440",
            "-L", "module-remap-source master=mic_feed.monitor source_name=mic"], env, "pulse.log")

        def ready():
            if pa.poll() is not None:
                raise RigError(f"pulseaudio exited ({pa.returncode}): {self.log('pulse.log')}")
            return subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode == 0
        _wait(ready, 10, "pulseaudio")
        for args in (["set-default-sink", "out"], ["set-default-source", "mic"]):
            subprocess.run(["pactl", *args], env=env, check=True, capture_output=True)
        self.env.update(XDG_RUNTIME_DIR=self.dir, PULSE_SERVER=env["PULSE_SERVER"])

    def _start_x(self) -> None:
        free = [n for n in range(90, 160) if not os.path.exists(f"/tmp/.X11-unix/X{n}")
                and not os.path.exists(f"/tmp/.X{n}-lock")]
        for n in free[:5]:  # another server may take a number first: try the next
            x = self._spawn(["Xvfb", f":{n}", "-screen", "0", "1280x720x24", "-nolisten", "tcp"],
                            dict(os.environ), "xvfb.log")
            try:
                _wait(lambda: x.poll() is not None or os.path.exists(f"/tmp/.X11-unix/X{n}"),
                      10, "Xvfb")
            except RigError:
                x.kill()
                raise
            if x.poll() is None:
                self.env["DISPLAY"] = f":{n}"
                return
        raise RigError(f"Xvfb did not start: {self.log('xvfb.log')}")

    def log(self, name: str) -> str:
        try:
            return Path(self.dir, name).read_text(errors="replace")[-2000:]
        except OSError:
            return ""

    def stop(self) -> None:
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        self.procs.clear()
        shutil.rmtree(self.dir, ignore_errors=True)
