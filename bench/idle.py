#!/usr/bin/env python3
"""What the launcher window costs while it sits idle with its animation
running, for the Linux build and the Windows build under Wine.

Starts a private Xvfb (1920 x 1080 x 24, black root, a free display number
through -displayfd, no window manager), then, for each build, the launcher
in a temporary game folder whose launcher.ini points the status probe at a
closed loopback port and the patch server at 127.0.0.1 (nothing leaves the
machine), and reports:
  (a) CPU over --seconds (default 30) of idle, in % of one core: utime +
      stime of the launcher process itself from /proc/<pid>/stat (children
      not included), from 2 s after the first frame on;
  (b) peak resident memory, VmHWM from /proc/<pid>/status, in MiB;
  (c) time from just before the process is started to the first painted
      frame, in ms, seen from outside: a thread polls the X server's
      screen through Xlib (XGetImage of the screen's middle row and middle
      column, about every millisecond) until most of the pixels the window
      covers differ from the blank root. The resolution is the poll period
      plus one XGetImage round trip, well under a millisecond each here.
Also whether any OpenGL library (libGL, libEGL, libLLVM, a Mesa driver) is
mapped (/proc/<pid>/maps), and the X server's own CPU over the same span.
Under Wine the figures are those of the launcher.exe process; what Wine's
other processes of the prefix (wineserver, services.exe, explorer.exe, ...)
use over the same span is listed as a note, as is a Wine run that fails.

Targets (reported, never enforced): CPU <= 3 % of one core, peak memory
<= 40 MiB, first frame <= 150 ms.

Normally started by bench/idle.sh, which builds both launchers first:
  bench/idle.py --linux-build build/bench [--windows-build build/bench-windows]
                [--wine-prefix DIR] [--seconds 30] [--only linux|windows]
--only measures one build and leaves the other out (default: both, Linux
first). Wine is the "wine" command on PATH, whichever loader it starts.
Exits 0 unless the X server or the Linux launcher could not be started, or
with --only windows the Windows build could not be measured.
"""
import argparse
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SCREEN_W, SCREEN_H = 1920, 1080
TARGET_CPU_PERCENT = 3.0
TARGET_PEAK_MIB = 40.0
TARGET_FIRST_FRAME_MS = 150.0
SETTLE_S = 2.0               # after the first frame, before CPU is counted
START_TIMEOUT_S = 60.0       # a cold Wine start included
PAINTED_SHARE = 0.5          # of the window's pixels on the sampled lines
WINE_ENVIRONMENT = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
GL_LIBRARIES = ("libGL", "libEGL", "libGLX", "libLLVM", "_dri.so", "swrast", "llvmpipe")
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def closed_port():
    """A loopback port nobody listens on (it was free a moment ago)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    """utime + stime of the process itself (children not included)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def gl_libraries(pid):
    found = set()
    with open("/proc/%d/maps" % pid) as f:
        for line in f:
            path = line.split()[-1] if len(line.split()) >= 6 else ""
            if any(name in path for name in GL_LIBRARIES):
                found.add(os.path.basename(path))
    return sorted(found)


# --------------------------------------------------------------------------
# The X server and the screen poll


class Screen:
    """A private Xvfb and one Xlib connection to read its pixels."""

    def __init__(self, work):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (SCREEN_W, SCREEN_H),
             "-br", "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "xvfb.log"), "wb"))
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read_end, 16)
            if not chunk:
                raise SystemExit("idle: Xvfb did not start (see %s/xvfb.log)" % work)
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()
        self.x11 = ctypes.CDLL("libX11.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x11.XGetImage.restype = ctypes.c_void_p
        self.x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                       ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        self.x11.XGetPixel.restype = ctypes.c_ulong
        self.x11.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
        self.x11.XFree.argtypes = [ctypes.c_void_p]
        self.connection = self.x11.XOpenDisplay(self.display.encode())
        if not self.connection:
            raise SystemExit("idle: cannot open display " + self.display)
        self.root = self.x11.XDefaultRootWindow(self.connection)

    def _line(self, x, y, width, height):
        """The pixels of a one-pixel line as bytes (32 bits each), read with
        one XGetImage. The XImage starts with four ints and the data
        pointer; both were allocated by Xlib and are freed with XFree
        (XDestroyImage is a macro, out of reach of ctypes)."""
        image = self.x11.XGetImage(self.connection, self.root, x, y, width, height, 0xFFFFFFFF, 2)  # ZPixmap
        if not image:
            return b""

        class XImageHead(ctypes.Structure):
            _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                        ("format", ctypes.c_int), ("data", ctypes.c_void_p)]
        head = XImageHead.from_address(image)
        data = ctypes.string_at(head.data, width * height * 4)
        self.x11.XFree(head.data)
        self.x11.XFree(image)
        return data

    def sample(self):
        """The screen's middle row and middle column."""
        return (self._line(0, SCREEN_H // 2, SCREEN_W, 1), self._line(SCREEN_W // 2, 0, 1, SCREEN_H))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


def changed_share(now, blank):
    """Share of the pixels on the sampled lines that no longer show the
    blank root, counted over the part a centred 1280 x 853 window covers."""
    row, column = now
    blank_row, blank_column = blank
    changed = total = 0
    for pixels, reference, start, end in ((row, blank_row, 320, 1600), (column, blank_column, 113, 966)):
        for i in range(start, end, 4):
            total += 1
            changed += pixels[4 * i:4 * i + 3] != reference[4 * i:4 * i + 3]
    return changed / total


def wait_first_frame(screen, blank, process, started):
    """Polls the screen until the window's frame shows; seconds after
    started, or None when the process ended first or the deadline passed."""
    while time.monotonic() - started < START_TIMEOUT_S:
        if changed_share(screen.sample(), blank) >= PAINTED_SHARE:
            return time.monotonic() - started
        if process.poll() is not None:
            return None
        time.sleep(0.001)
    return None


# --------------------------------------------------------------------------
# One launcher


def game_folder(work, build, name):
    folder = tempfile.mkdtemp(prefix="idle-game-", dir=work)
    shutil.copy(os.path.join(build, name), folder)
    for art in ("bg.bmp", "icon.bmp"):
        if os.path.exists(os.path.join(build, art)):
            shutil.copy(os.path.join(build, art), folder)
    port = closed_port()
    newline = "\r\n" if name.endswith(".exe") else "\n"
    lines = ["[launcher]", "PatchURL=http://127.0.0.1:%d/download/manifest.txt" % port, "GameExe=game.exe",
             "GameArgs=", "Server=127.0.0.1", "ServerPort=%d" % port, "User="]
    with open(os.path.join(folder, "launcher.ini"), "w", newline="") as f:
        f.write(newline.join(lines) + newline)
    return folder


def wine_processes(prefix):
    """Pids of the processes that run in this Wine prefix (by WINEPREFIX in
    their environment), with their command lines."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read().split(b"\0")
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        if ("WINEPREFIX=" + prefix).encode() in environ:
            found[int(entry)] = cmdline
    return found


def measure(screen, argv, folder, env, seconds, find_pid=None):
    """Starts argv in folder and returns the figures of the launcher process
    (find_pid(process) names it when it is not the started one)."""
    blank = screen.sample()
    log = open(folder + ".log", "wb")
    started = time.monotonic()
    process = subprocess.Popen(argv, cwd=folder, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    try:
        first = wait_first_frame(screen, blank, process, started)
        if first is None:
            raise RuntimeError("no painted frame within %.0f s (exit status %s, log %s.log)"
                               % (START_TIMEOUT_S, process.poll(), folder))
        pid = find_pid(process) if find_pid else process.pid
        deadline = time.monotonic() + SETTLE_S
        while time.monotonic() < deadline:
            time.sleep(0.05)
        cpu0, x0, t0 = cpu_seconds(pid), cpu_seconds(screen.process.pid), time.monotonic()
        extra0 = {p: cpu_seconds(p) for p in (find_pid.others() if find_pid else [])}
        time.sleep(seconds)  # the idle span being measured
        cpu1, x1, t1 = cpu_seconds(pid), cpu_seconds(screen.process.pid), time.monotonic()
        result = {"cpu": 100 * (cpu1 - cpu0) / (t1 - t0), "x_cpu": 100 * (x1 - x0) / (t1 - t0),
                  "peak_mib": status_kib(pid, "VmHWM") / 1024, "first_ms": 1000 * first, "gl": gl_libraries(pid),
                  "others": []}
        if find_pid:
            for other, before in extra0.items():
                try:
                    result["others"].append((find_pid.names.get(other, str(other)),
                                             100 * (cpu_seconds(other) - before) / (t1 - t0),
                                             status_kib(other, "VmRSS") / 1024))
                except OSError:
                    pass
        if process.poll() is not None:
            raise RuntimeError("the launcher ended during the measurement (status %d)" % process.returncode)
        return result
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGKILL)
        process.wait(30)
        log.close()


class WineLauncherPid:
    """Finds the launcher.exe process of a Wine prefix, and the prefix's
    other processes."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.names = {}
        self.pid = None

    def __call__(self, process):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            self.names = wine_processes(self.prefix)
            for pid, cmdline in self.names.items():
                if cmdline.lower().endswith("launcher.exe"):
                    self.pid = pid
                    return pid
            time.sleep(0.05)
        raise RuntimeError("no launcher.exe process in %s" % self.prefix)

    def others(self):
        return [p for p in self.names if p != self.pid]


def run_wine(screen, work, build, prefix, seconds):
    if shutil.which("wine") is None:
        raise RuntimeError("wine is not installed")
    env = dict(os.environ, DISPLAY=screen.display, WINEPREFIX=prefix, **WINE_ENVIRONMENT)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        print("idle: making the Wine prefix %s (once, about a minute)" % prefix, file=sys.stderr)
        os.makedirs(prefix, exist_ok=True)
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=600)
        subprocess.run(["wineserver", "-w"], env=env, timeout=600)
    # Cold: no wineserver of this prefix running yet, so the first frame
    # includes Wine's own start (wineserver, services, the desktop).
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL, timeout=60)
    folder = game_folder(work, build, "launcher.exe")
    try:
        return measure(screen, ["wine", "launcher.exe"], folder, env, seconds, WineLauncherPid(prefix))
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL, timeout=60)


# --------------------------------------------------------------------------
# Report


def verdict(value, target):
    return "PASS" if value <= target else "MISS"


def report(name, result):
    print("%s:" % name)
    print("  (a) CPU idle, animation running  %6.2f %% of one core   target <= %.0f %%   %s"
          % (result["cpu"], TARGET_CPU_PERCENT, verdict(result["cpu"], TARGET_CPU_PERCENT)))
    print("  (b) peak resident memory         %6.1f MiB             target <= %.0f MiB  %s"
          % (result["peak_mib"], TARGET_PEAK_MIB, verdict(result["peak_mib"], TARGET_PEAK_MIB)))
    print("  (c) start to first painted frame %6.0f ms              target <= %.0f ms  %s"
          % (result["first_ms"], TARGET_FIRST_FRAME_MS, verdict(result["first_ms"], TARGET_FIRST_FRAME_MS)))
    print("      OpenGL libraries mapped: %s" % (", ".join(result["gl"]) or "none"))
    print("      the X server meanwhile: %.2f %% of one core" % result["x_cpu"])
    for other, cpu, rss in result["others"]:
        print("      note, Wine adds: %-40s %5.2f %% CPU  %6.1f MiB resident" % (other[-40:], cpu, rss))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--linux-build")
    parser.add_argument("--windows-build")
    parser.add_argument("--wine-prefix")
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--only", choices=("linux", "windows"), help="measure this build alone")
    args = parser.parse_args()
    if args.only != "windows" and not args.linux_build:
        parser.error("--linux-build is needed unless --only windows")
    work = tempfile.mkdtemp(prefix="launcher-idle-")
    os.chmod(work, 0o755)
    screen = Screen(work)
    try:
        print("Idle cost of the launcher window on a private %dx%d Xvfb (%s), %.0f s each:"
              % (SCREEN_W, SCREEN_H, screen.display, args.seconds))
        env = dict(os.environ, DISPLAY=screen.display)
        if args.only != "windows":
            linux = measure(screen, ["./launcher"], game_folder(work, args.linux_build, "launcher"), env,
                            args.seconds)
            report("Linux (%s/launcher)" % args.linux_build, linux)
        if args.only == "linux":
            return 0
        exe = os.path.join(args.windows_build or "", "launcher.exe")
        if not args.windows_build or not os.path.exists(exe):
            print("Windows: note: no %s; the Windows build was not measured" % exe)
            return 1 if args.only == "windows" else 0
        else:
            prefix = os.path.abspath(args.wine_prefix or os.path.join(args.windows_build, "wineprefix"))
            try:
                report("Windows under Wine (%s, launcher.exe only; prefix %s)" % (exe, prefix),
                       run_wine(screen, work, args.windows_build, prefix, args.seconds))
            except (RuntimeError, OSError, subprocess.SubprocessError) as error:
                print("Windows under Wine: note: not measured: %s" % error)
                return 1 if args.only == "windows" else 0
    finally:
        screen.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
