"""Scenarios for the Linux launcher and its X display: its window loads no
OpenGL library; when the X server
goes away under a running launcher, the process ends within a deadline,
with status 1, one line saying so and no signal, whatever it was doing
(only the animation, or a check pass whose worker forces repaints); and
with no display to open a window on it ends at once with a clear message
and status 1 rather than running unseen, unless SDL's invisible driver
was asked for by name.

Each run gets a private Xvfb of its own (no window manager) on a free
display number. Runs against build/linux/launcher (LAUNCHER_LINUX_BUILD
names another build folder). Every wait polls against a deadline.
Standalone: python3 tests/integration/test_display_loss.py
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import wait_until  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("LAUNCHER_LINUX_BUILD") or REPO / "build" / "linux").resolve()
LAUNCHER = BUILD / "launcher"

TITLE = "Zenthara Online"
DESIGN_W, DESIGN_H = 1280, 853
CHECK_FILES = (534, 668)
START_TIMEOUT_S = 20.0
EXIT_TIMEOUT_S = 10.0
RUNS = 8
GONE_LINE = "launcher: the display went away; closing."
NO_DISPLAY_LINE = "launcher: no display to open a window on"
MANIFEST_ENTRIES = 200000  # absent files: a check pass that reports progress for a while


GL_LIBRARIES = ("libGL", "libEGL", "libLLVM", "_dri.so", "swrast")


def gl_libraries(pid):
    """OpenGL libraries mapped into the process: none, since its frames go
    to the window surface without a renderer."""
    with open("/proc/%d/maps" % pid) as f:
        paths = {line.split()[-1] for line in f if len(line.split()) >= 6}
    return sorted(os.path.basename(p) for p in paths if any(name in p for name in GL_LIBRARIES))


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ManifestServer:
    """Serves one big manifest of absent files on 127.0.0.1 and tells when
    it was asked for: the check pass is then running."""

    def __init__(self):
        lines = b"".join(b"absent/file%06d.bin|-1|http://127.0.0.1:9/x\n" % i for i in range(MANIFEST_ENTRIES))
        self.requested = threading.Event()
        server = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Length", str(len(lines)))
                self.end_headers()
                server.requested.set()
                try:
                    self.wfile.write(lines)
                except OSError:
                    pass  # the launcher ended mid-body

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()
        self.url = "http://127.0.0.1:%d/manifest.txt" % self.httpd.server_address[1]

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class Xvfb:
    """A private X server on a free display number. It never resets: SDL
    closes its first connection before it opens the one it keeps, and a
    server that resets in between refuses that one."""

    def __init__(self, work):
        read_end, write_end = os.pipe()
        self.log = open(os.path.join(work, "xvfb.log"), "ab")
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1920x1080x24", "-nolisten", "tcp",
             "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=self.log)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb", buffering=0) as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(16)
                if not chunk:
                    raise AssertionError("Xvfb did not start")
                number += chunk
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.display)

    def run(self, *argv):
        return subprocess.run(argv, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True, timeout=30)

    def window(self):
        out = self.run("xdotool", "search", "--onlyvisible", "--name", "^%s$" % TITLE).stdout.split()
        return int(out[0]) if len(out) == 1 else None

    def geometry(self, window):
        values = {}
        for line in self.run("xwininfo", "-id", str(window)).stdout.splitlines():
            name, _, value = line.strip().partition(":")
            values[name] = value.strip()
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]),
                int(values["Width"]), int(values["Height"]))

    def click_design(self, window, point):
        x, y, width, height = self.geometry(window)
        self.run("xdotool", "mousemove", str(x + point[0] * width // DESIGN_W),
                 str(y + point[1] * height // DESIGN_H), "click", "1")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        self.log.close()


class DisplayScenarios(unittest.TestCase):
    def setUp(self):
        if not LAUNCHER.exists():
            self.skipTest("no %s; build first" % LAUNCHER)
        for tool in ("Xvfb", "xdotool", "xwininfo"):
            if shutil.which(tool) is None:
                self.skipTest("%s is missing; run scripts/install-deps.sh" % tool)
        self.work = tempfile.mkdtemp(prefix="launcher-display-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.processes = []
        self.addCleanup(self.end_processes)

    def end_processes(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait(10)

    def game_folder(self, patch_url="http://127.0.0.1:9/manifest.txt", port=None):
        folder = Path(tempfile.mkdtemp(prefix="game-", dir=self.work))
        shutil.copy(LAUNCHER, folder / "launcher")
        for art in ("bg.bmp", "icon.bmp"):
            if (BUILD / art).exists():
                shutil.copy(BUILD / art, folder / art)
        (folder / "launcher.ini").write_text(
            "[launcher]\nPatchURL=%s\nGameExe=game.exe\nServer=127.0.0.1\nServerPort=%d\n"
            % (patch_url, port or closed_port()))
        return folder

    def start(self, folder, env):
        process = subprocess.Popen(["./launcher"], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.processes.append(process)
        return process

    def ended(self, process):
        """(status, stderr) once the process ended within the deadline."""
        try:
            _, err = process.communicate(timeout=EXIT_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.fail("the launcher did not end within %.0f s" % EXIT_TIMEOUT_S)
        return process.returncode, err

    def window_of(self, launcher, screen):
        if launcher.poll() is not None:
            self.fail("the launcher ended with %d before its window showed: %r"
                      % (launcher.returncode, launcher.communicate()[1]))
        return screen.window()

    def test_the_x_server_going_away_ends_the_launcher_once_with_1(self):
        """Half the runs with only the animation timer running, half while a
        check pass forces repaints from its worker."""
        manifest = ManifestServer()
        self.addCleanup(manifest.stop)
        for run in range(RUNS):
            during_pass = run % 2 == 1
            with self.subTest(run=run, during_pass=during_pass):
                screen = Xvfb(self.work)
                self.addCleanup(screen.kill)
                manifest.requested.clear()
                launcher = self.start(self.game_folder(patch_url=manifest.url), screen.env)
                wait_until(lambda: self.window_of(launcher, screen), START_TIMEOUT_S, "the window")
                window = screen.window()
                self.assertEqual(gl_libraries(launcher.pid), [], "the window brought OpenGL in")
                if during_pass:
                    screen.click_design(window, CHECK_FILES)
                    wait_until(manifest.requested.is_set, START_TIMEOUT_S, "the check pass to fetch the manifest")
                screen.kill()
                status, err = self.ended(launcher)
                self.assertEqual(status, 1, "status %d (negative: a signal); stderr %r" % (status, err))
                self.assertEqual(err.count(GONE_LINE), 1, repr(err))

    def test_no_display_ends_at_once_with_a_message(self):
        dead = ":%d" % next(n for n in range(500, 600) if not os.path.exists("/tmp/.X11-unix/X%d" % n))
        bare = {k: v for k, v in os.environ.items()
                if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER")}
        for name, env in (("DISPLAY unset", bare), ("a dead display", dict(bare, DISPLAY=dead))):
            with self.subTest(name):
                status, err = self.ended(self.start(self.game_folder(), env))
                self.assertEqual(status, 1, repr(err))
                self.assertIn(NO_DISPLAY_LINE, err)

    def test_an_invisible_driver_asked_for_by_name_is_used(self):
        """SDL_VIDEODRIVER=offscreen: the launcher runs (it probes the game
        server, which only the created window's handler starts)."""
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        listener.settimeout(START_TIMEOUT_S)
        bare = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        launcher = self.start(self.game_folder(port=listener.getsockname()[1]),
                              dict(bare, SDL_VIDEODRIVER="offscreen"))
        try:
            connection, _ = listener.accept()
            connection.close()
        except socket.timeout:
            launcher.kill()
            self.fail("no probe within %.0f s; stderr %r" % (START_TIMEOUT_S, launcher.communicate()[1]))
        self.assertIsNone(launcher.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
