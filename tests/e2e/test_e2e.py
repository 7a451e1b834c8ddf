"""End-to-end scenarios: the real launcher window on an Xvfb screen, driven
with xdotool and read back from screenshots, the cursor, the files in its
folder and the servers it talks to. The same scenarios run against the
Linux build and, under Wine, against the Windows build.

Every scenario starts the launcher in a fresh game folder (the program, the
artwork from the build folder, a launcher.ini and, where needed, the
stand-in game under the configured GameExe name). Nothing is added to the
program for testing except a second build with a 1 s status probe period
(launcher_fastprobe, tests/CMakeLists.txt). The user name is read back the
way the program keeps it: pressing Enter writes User to launcher.ini before
it looks for the game, and a missing game leaves the launcher running.

Environment (tests/e2e/run.sh sets it):
  LAUNCHER_E2E_TARGET         linux | windows
  LAUNCHER_E2E_BUILD          build folder (default build/<target>)
  LAUNCHER_E2E_DISPLAY_LARGE  an X display of 1920 x 1080 with a window manager
  LAUNCHER_E2E_DISPLAY_SMALL  an X display of 1366 x 768 with a window manager
  LAUNCHER_E2E_WORK           folder for game folders and server state
  LAUNCHER_E2E_PIDS           file to which the pid of every server started
                              here is appended, for the runner's clean-up
Every wait is a poll against a deadline; nothing sleeps for a fixed time.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPO / "scripts"))
sys.path.insert(0, str(REPO / "tests" / "support"))

from PIL import Image, ImageChops, ImageStat  # noqa: E402

from console_tool import ConsoleTool, make_manifest  # noqa: E402
from desktop import Desktop, wait_until  # noqa: E402
from local_nginx import LocalNginx, free_port  # noqa: E402
from wine import WINE_ENVIRONMENT  # noqa: E402

TARGET = os.environ.get("LAUNCHER_E2E_TARGET", "linux")
WINDOWS = TARGET == "windows"
BUILD = Path(os.environ.get("LAUNCHER_E2E_BUILD") or REPO / "build" / TARGET).resolve()
WORK = Path(os.environ.get("LAUNCHER_E2E_WORK") or tempfile.mkdtemp(prefix="launcher-e2e-"))
PIDS = os.environ.get("LAUNCHER_E2E_PIDS")
EXE = ".exe" if WINDOWS else ""
PROGRAMS = {"launcher": BUILD / ("launcher" + EXE),
            "fastprobe": BUILD / "tests" / ("launcher_fastprobe" + EXE)}
TEST_GAME = BUILD / "tests" / ("test_game" + EXE)
MANIFEST_TOOL = ConsoleTool("launcher-manifest", TARGET, BUILD)  # the same build's, for the patch server

TITLE = "Zenthara Online"
DESIGN_W, DESIGN_H = 1280, 853

START_TIMEOUT_S = 40.0   # a cold Wine start included
EVENT_TIMEOUT_S = 10.0   # an input event until its effect shows
RUN_TIMEOUT_S = 30.0     # a check or patch run on loopback
FAST_PROBE_PERIOD_S = 1.0
PROBE_TIMEOUT_S = 2.5    # one probe's connection wait

# Colours the painter uses (RGB).
FOOTER_BAND = (1, 3, 10)
DOT_NOT_PROBED, DOT_DOWN, DOT_UP = (200, 192, 96), (224, 90, 90), (26, 203, 107)
UNDERLINE = (242, 208, 138)
STATUS_INK = (143, 230, 255)
FIELD_INK = (220, 230, 255)
TRACK_PEN = (42, 56, 96)

# Design points and rectangles (left, top, right, bottom).
CLOSE_HOTSPOT = (1266, 35)
MENU_EXIT = (1109, 662)
MENU_WEBSITE = (1100, 458)
CHECK_FILES = (534, 668)
PATCH_FILES = (741, 668)
USER_FIELD = (637, 458)
PLAY = (637, 604)
EMPTY = (300, 380)              # in no hotspot, below the particle band
STATUS_DOT = (52, 501)          # middle of the dot
FOOTER_PLAIN = (820, 826, 892, 843)   # the footer band right of its text
PLAY_ART = (434, 569, 840, 640)       # the PLAY button, all background picture
STATUS_LINE = (356, 690, 918, 712)
TRACK_TOP_EDGE = (380, 716, 900, 717)
USER_RECT = (434, 439, 840, 477)
MASKED_TEXT = (476, 492, 832, 524)
MENU_WEBSITE_RECT = (952, 439, 1266, 477)
PATCH_BUTTON_RECT = (642, 650, 840, 686)
PARTICLE_BAND = (200, 40, 1080, 270)  # where the motes rise; no box covers it
TABS = [(340, 706, 478, 790), (500, 706, 670, 790), (686, 706, 815, 790), (838, 706, 978, 790)]
UNDERLINE_Y = 786

GAME_ARGS = 'Runvale --realm "North Gate"'
GAME_ARGV = ["Runvale", "--realm", "North Gate"]


# --------------------------------------------------------------------------
# Pixels


def near(a, b, tol):
    return all(abs(x - y) <= tol for x, y in zip(a, b))


def count_near(pixels, colour, tol):
    return sum(1 for p in pixels if near(p, colour, tol))


def highlighted(p):
    """A pixel under the hover highlight: white at 20/255 over it."""
    return tuple((255 * 20 + c * 235) // 255 for c in p)


class Frame:
    """The client area as one screenshot, read in design coordinates."""

    def __init__(self, image):
        self.image = image
        self.width, self.height = image.size
        self.pixels = image.load()

    def cx(self, dx):
        return min(self.width - 1, int((dx + 0.5) * self.width / DESIGN_W))

    def cy(self, dy):
        return min(self.height - 1, int((dy + 0.5) * self.height / DESIGN_H))

    def at(self, dx, dy):
        return self.pixels[self.cx(dx), self.cy(dy)]

    def box(self, rect, inset=0):
        """Client pixels covering the design rectangle, inset client pixels
        in from each side (where a scaled frame blends in the neighbours)."""
        left, top, right, bottom = rect
        x0, y0 = self.cx(left) + inset, self.cy(top) + inset
        x1 = int(right * self.width / DESIGN_W) - inset
        y1 = int(bottom * self.height / DESIGN_H) - inset
        return [self.pixels[x, y] for y in range(y0, max(y0 + 1, y1)) for x in range(x0, max(x0 + 1, x1))]

    def underline_share(self, tab):
        """Share of the columns under a tab whose underline rows hold gold."""
        left, _, right, bottom = tab
        y0, y1 = self.cy(bottom - 7), self.cy(bottom - 1)
        columns = range(self.cx(left + 14), self.cx(right - 14))
        gold = sum(1 for x in columns if any(near(self.pixels[x, y], UNDERLINE, 48) for y in range(y0, y1 + 1)))
        return gold / len(columns)

    def selected_tab(self):
        """Index of the one tab with its underline drawn, else None."""
        shares = [self.underline_share(t) for t in TABS]
        drawn = [i for i, s in enumerate(shares) if s >= 0.9]
        clear = [i for i, s in enumerate(shares) if s <= 0.05]
        return drawn[0] if len(drawn) == 1 and len(clear) == 3 else None

    def dot(self):
        return self.at(*STATUS_DOT)

    def status_ink(self):
        return count_near(self.box(STATUS_LINE), STATUS_INK, 40)

    def progress_bar_shown(self):
        pixels = self.box(TRACK_TOP_EDGE)
        return count_near(pixels, TRACK_PEN, 12) >= 0.8 * len(pixels)

    def closing_status_shown(self):
        """Status text on screen and no progress bar: what a finished run
        leaves (a running one keeps its bar)."""
        return self.status_ink() >= 10 and not self.progress_bar_shown()


def background(size):
    """The background picture from the build folder, box-filtered to size."""
    image = Image.open(BUILD / "bg.bmp").convert("RGB")
    return image if image.size == size else image.resize(size, Image.BOX)


def mean_difference(frame, reference, rect):
    left, top, right, bottom = rect
    box = (frame.cx(left) + 2, frame.cy(top) + 2, frame.cx(right) - 2, frame.cy(bottom) - 2)
    diff = ImageChops.difference(frame.image.crop(box), reference.crop(box))
    return sum(ImageStat.Stat(diff).mean) / 3


# --------------------------------------------------------------------------
# Servers


def note_pid(pid):
    """Lists a server's pid for the runner's clean-up while it runs."""
    if PIDS:
        with open(PIDS, "a") as f:
            f.write("%d\n" % pid)


def forget_pid(pid):
    """Takes a stopped server off the list, so its pid, once reused by
    another process, is never signalled."""
    if PIDS:
        lines = Path(PIDS).read_text().split()
        Path(PIDS).write_text("".join(line + "\n" for line in lines if line != str(pid)))


class HeldFileServer:
    """Serves one file over HTTP on 127.0.0.1 and holds back the second half
    of its body until release(): a patch run that reaches it stays active
    for exactly as long as a scenario needs."""

    def __init__(self, name, body):
        self.name, self.body = name, body
        self.requested = threading.Event()
        self.released = threading.Event()
        server = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                if self.path != "/" + server.name:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Length", str(len(server.body)))
                self.end_headers()
                half = len(server.body) // 2
                self.wfile.write(server.body[:half])
                self.wfile.flush()
                server.requested.set()
                server.released.wait(60)
                self.wfile.write(server.body[half:])

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def url(self):
        return "http://127.0.0.1:%d/%s" % (self.port, self.name)

    def release(self):
        self.released.set()

    def stop(self):
        self.released.set()
        self.httpd.shutdown()
        self.httpd.server_close()


def nginx_requests(nginx):
    """Request paths nginx logged, in order."""
    return [uri for _, uri in nginx.requests()]


# --------------------------------------------------------------------------
# The launcher under test


def restart_wineserver():
    """Ends every Wine process of the prefix and starts a persistent server,
    so the next program opens its desktop on the current display and the
    launches after it do not pay for a server start each."""
    env = dict(os.environ, **WINE_ENVIRONMENT)
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineserver", "-w"], env=env, timeout=60)
    subprocess.run(["wineserver", "-p"], env=env, timeout=60)


def ini_text(port=9, patch_url="http://127.0.0.1:9/download/manifest.txt", game_exe=None, user=""):
    lines = ["[launcher]", "PatchURL=" + patch_url, "GameExe=" + (game_exe or "test_game" + EXE),
             "GameArgs=" + GAME_ARGS, "Server=127.0.0.1", "ServerPort=%d" % port, "User=" + user]
    return ("\r\n" if WINDOWS else "\n").join(lines) + ("\r\n" if WINDOWS else "\n")


def closed_port():
    """A loopback port nobody listens on (it was free a moment ago)."""
    return free_port()


class Launcher:
    """One launcher process in a fresh game folder, its window found and its
    first frame painted."""

    def __init__(self, desktop, ini, program="launcher", with_game=False):
        self.desktop = desktop
        self.folder = Path(tempfile.mkdtemp(prefix="game-", dir=WORK))
        self.name = "launcher" + EXE
        shutil.copy(PROGRAMS[program], self.folder / self.name)
        for art in ("bg.bmp", "icon.bmp"):
            shutil.copy(BUILD / art, self.folder / art)
        (self.folder / "launcher.ini").write_bytes(ini.encode())
        if with_game:
            self.add_game()
        # The pointer waits outside the window, so no hotspot starts hovered.
        desktop.move(0, 0)
        wait_until(lambda: not desktop.visible_windows(TITLE), START_TIMEOUT_S,
                   "no launcher window left from before")
        env = dict(desktop.env)
        if WINDOWS:
            env.update(WINE_ENVIRONMENT)
            argv = ["wine", self.name]
        else:
            argv = ["./" + self.name]
        self.log = open(self.folder.parent / (self.folder.name + ".log"), "wb")
        self.process = subprocess.Popen(argv, cwd=self.folder, env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=self.log)
        self.window = wait_until(self._window, START_TIMEOUT_S, "the launcher window")
        self.x = self.y = self.width = self.height = 0
        wait_until(self._first_frame, START_TIMEOUT_S, "the first painted frame")

    def _window(self):
        if self.process.poll() is not None:
            raise AssertionError("the launcher ended with %d before showing its window" % self.process.returncode)
        windows = self.desktop.visible_windows(TITLE)
        return windows[0] if len(windows) == 1 else None

    def _first_frame(self):
        # The window manager may still be placing the window (the Linux one
        # moves once its borders are known): read again, and take the frame
        # only when the window stood still while it was read.
        self.x, self.y, self.width, self.height = self.desktop.geometry(self.window)
        frame = self.frame()
        if self.desktop.geometry(self.window) != (self.x, self.y, self.width, self.height):
            return False
        return near(frame.at(850, 834), FOOTER_BAND, 3) and \
            any(near(frame.dot(), c, 12) for c in (DOT_NOT_PROBED, DOT_DOWN, DOT_UP))

    def add_game(self):
        shutil.copy(TEST_GAME, self.folder / ("test_game" + EXE))

    # --- input in design coordinates -------------------------------------------

    def point(self, dx, dy):
        return (self.x + int((dx + 0.5) * self.width / DESIGN_W),
                self.y + int((dy + 0.5) * self.height / DESIGN_H))

    def move(self, design_point):
        self.desktop.move(*self.point(*design_point))

    def click(self, design_point, repeat=1):
        self.desktop.click(*self.point(*design_point), repeat=repeat)

    def center(self, rect):
        return ((rect[0] + rect[2]) // 2, (rect[1] + rect[3]) // 2)

    # --- reading back -----------------------------------------------------------

    def frame(self):
        return Frame(self.desktop.screenshot((self.x, self.y, self.x + self.width, self.y + self.height)))

    def wait_frame(self, condition, what, timeout_s=EVENT_TIMEOUT_S):
        """Polls screenshots until condition(frame) holds; returns that frame."""
        def check():
            self.assert_running()
            frame = self.frame()
            return frame if condition(frame) else None
        return wait_until(check, timeout_s, what)

    def band(self, rect):
        frame = self.frame()
        left, top, right, bottom = rect
        return frame.image.crop((frame.cx(left), frame.cy(top), frame.cx(right), frame.cy(bottom)))

    def wait_animation(self, count=3):
        """Waits until the animation has changed the particle band count
        times. Paints come from the event queue in order, so by the last of
        them every event queued before the first one has been handled."""
        for step in range(count):
            before = self.band(PARTICLE_BAND)

            def moved():
                self.assert_running()
                return ImageChops.difference(self.band(PARTICLE_BAND), before).getbbox() is not None
            wait_until(moved, EVENT_TIMEOUT_S, "animation frame %d of %d" % (step + 1, count))

    def other_windows(self):
        """Mapped windows with the launcher's title other than its own: the
        information box, whose caption is the same."""
        return [w for w in self.desktop.viewable_windows_named(TITLE) if w != self.window]

    def select_tab(self, index):
        """Clicks a tab and waits for its underline. Events are handled in
        order, so once it shows, every earlier click and key was handled."""
        self.click(self.center(TABS[index]))
        self.wait_frame(lambda f: f.selected_tab() == index, "the underline under tab %d" % index)

    def ini_user(self):
        """User from launcher.ini, or None while the file is being replaced."""
        try:
            text = (self.folder / "launcher.ini").read_bytes().decode("utf-8", "replace")
        except FileNotFoundError:
            return None
        for line in text.splitlines():
            key, sep, value = line.partition("=")
            if sep and key.strip().lower() == "user":
                return value.strip()
        return None

    def wait_user(self, expected, what):
        try:
            wait_until(lambda: self.ini_user() == expected, EVENT_TIMEOUT_S, "User=%s in launcher.ini" % expected)
        except AssertionError as error:
            raise AssertionError("%s (%s); it holds %r" % (error, what, self.ini_user())) from None

    def game_record(self):
        path = self.folder / "game-record.txt"
        return path.read_text(errors="replace") if path.exists() else None

    def assert_running(self):
        if self.process.poll() is not None:
            raise AssertionError("the launcher ended unexpectedly with %d" % self.process.returncode)

    def wait_exit(self, timeout_s=EVENT_TIMEOUT_S):
        try:
            return self.process.wait(timeout_s)
        except subprocess.TimeoutExpired:
            raise AssertionError("the launcher did not end within %.0f s" % timeout_s)

    def close_by_hotspot(self):
        self.click(CLOSE_HOTSPOT)
        return self.wait_exit()

    def stop(self):
        """Clean-up whatever happened: the process ended, its window gone."""
        if self.process.poll() is None:
            # Left running means the scenario failed: keep what it showed.
            self.desktop.screenshot((0, 0) + self.desktop.screen_size()).save(
                self.folder.parent / (self.folder.name + ".png"))
            self.process.send_signal(signal.SIGKILL)
            self.process.wait(10)
        self.log.close()
        wait_until(lambda: not self.desktop.visible_windows(TITLE), START_TIMEOUT_S,
                   "the launcher window to go away")


DURATIONS = []  # (scenario, seconds), printed at the end


class LauncherCase(unittest.TestCase):
    display_variable = None  # the environment variable naming this class's display

    @classmethod
    def setUpClass(cls):
        cls.desktop = Desktop(os.environ[cls.display_variable])
        if WINDOWS:
            restart_wineserver()

    def setUp(self):
        self.launchers = []
        self.started = time.monotonic()

    def tearDown(self):
        for launcher in self.launchers:
            launcher.stop()
        DURATIONS.append((type(self).__name__ + "." + self._testMethodName, time.monotonic() - self.started))

    def launch(self, **kwargs):
        launcher = Launcher(self.desktop, **kwargs)
        self.launchers.append(launcher)
        return launcher

    def game_server(self, port):
        """A listener on the game server's loopback port, for the probe."""
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", port))
        listener.listen(16)
        return listener

    def assert_centred_by_outer_frame(self, launcher):
        """The window's outer frame (client area plus the window manager's
        borders) is centred on the screen, the top clamped at 0, as
        AdjustWindowRect places it on Windows."""
        screen_w, screen_h = self.desktop.screen_size()
        seen = []

        def centred():
            extents = self.desktop.frame_extents(launcher.window)
            x, y, width, height = self.desktop.geometry(launcher.window)
            if extents is None:
                return False
            left, right, top, bottom = extents
            outer_x = (screen_w - (width + left + right)) // 2
            outer_y = max(0, (screen_h - (height + top + bottom)) // 2)
            seen[:] = [(x, y), (outer_x + left, outer_y + top), extents]
            return (x, y) == (outer_x + left, outer_y + top)
        try:
            wait_until(centred, EVENT_TIMEOUT_S, "the outer frame centred")
        except AssertionError as error:
            raise AssertionError("%s: client at %s, expected %s with borders %s" % ((error,) + tuple(seen))) from None

    def assert_painters_frame(self, launcher, frame):
        """The client area shows the painter's frame stretched to its size:
        the background picture (box-filtered when smaller) where nothing is
        painted over it, the footer band and a status dot of a state colour."""
        self.assertEqual(frame.image.size, (launcher.width, launcher.height))
        self.assertTrue(all(near(p, FOOTER_BAND, 3) for p in frame.box(FOOTER_PLAIN, inset=2)),
                        "footer band colour")
        self.assertTrue(any(near(frame.dot(), c, 12) for c in (DOT_NOT_PROBED, DOT_DOWN, DOT_UP)),
                        "status dot colour %r" % (frame.dot(),))
        reference = background(frame.image.size)
        limit = 1.0 if frame.image.size == (DESIGN_W, DESIGN_H) else 4.0
        difference = mean_difference(frame, reference, PLAY_ART)
        self.assertLess(difference, limit, "the PLAY art differs from the background picture")


# --------------------------------------------------------------------------
# Scenarios on a 1920 x 1080 screen


class LargeScreen(LauncherCase):
    display_variable = "LAUNCHER_E2E_DISPLAY_LARGE"

    def test_start_up_hover_cursors_and_tabs(self):
        launcher = self.launch(ini=ini_text(port=closed_port()))
        self.assertEqual(self.desktop.screen_size(), (1920, 1080))
        self.assertEqual(self.desktop.window_name(launcher.window), TITLE)
        self.assertEqual((launcher.width, launcher.height), (1280, 853))
        self.assert_centred_by_outer_frame(launcher)
        baseline = launcher.frame()
        self.assert_painters_frame(launcher, baseline)
        self.assertEqual(baseline.selected_tab(), 0)

        # Hovering lays the highlight over exactly the hotspot under the
        # pointer. Cursors: one shape over both buttons, another over the
        # entry field, a third outside the hotspots. The handler sets the
        # cursor before it asks for the repaint, so once the highlight shows
        # the cursor is the one for that hotspot.
        watched = {"menu": MENU_WEBSITE_RECT, "user": USER_RECT, "patch": PATCH_BUTTON_RECT}
        base = {name: baseline.box(rect, inset=1) for name, rect in watched.items()}

        def only_highlighted(name):
            def condition(frame):
                for other, rect in watched.items():
                    if other == name == "patch":
                        continue  # a hovered button changes its own look too
                    expected = [highlighted(p) for p in base[other]] if other == name else base[other]
                    if not all(near(a, b, 3) for a, b in zip(frame.box(rect, inset=1), expected)):
                        return False
                return True
            return condition

        launcher.move((1100, 458))
        launcher.wait_frame(only_highlighted("menu"), "the highlight on the WEBSITE row")
        hand = self.desktop.cursor()
        launcher.move(USER_FIELD)
        launcher.wait_frame(only_highlighted("user"), "the highlight on the user field")
        ibeam = wait_until(lambda: (c := self.desktop.cursor()) != hand and c, EVENT_TIMEOUT_S,
                           "the cursor to change over the user field")
        launcher.move(PATCH_FILES)
        frame = launcher.wait_frame(only_highlighted("patch"), "the highlight moving to PATCH FILES")
        self.assertNotEqual(frame.box(PATCH_BUTTON_RECT, inset=1), base["patch"], "PATCH FILES hover look")
        wait_until(lambda: self.desktop.cursor() == hand, EVENT_TIMEOUT_S,
                   "the hand again over PATCH FILES")
        launcher.move(EMPTY)
        launcher.wait_frame(only_highlighted(None), "no highlight outside the hotspots")
        arrow = wait_until(lambda: (c := self.desktop.cursor()) not in (hand, ibeam) and c, EVENT_TIMEOUT_S,
                           "the cursor to change outside the hotspots (hand %r, I-beam %r)" % (hand, ibeam))
        launcher.move(USER_FIELD)
        wait_until(lambda: self.desktop.cursor() == ibeam, EVENT_TIMEOUT_S, "the I-beam again")
        launcher.move(EMPTY)
        wait_until(lambda: self.desktop.cursor() == arrow, EVENT_TIMEOUT_S, "the arrow again")

        # Tabs: the gold underline follows the clicked tab.
        for index in (1, 2, 3, 0):
            launcher.select_tab(index)

        self.assertEqual(launcher.close_by_hotspot(), 0)

    def test_the_hover_stays_when_the_pointer_leaves(self):
        """As on Windows, where the window asks for no leave notice, the
        highlight stays when the pointer leaves, through an edge onto the
        bare screen or through the top onto the title bar, until the
        pointer next moves over the client area."""
        launcher = self.launch(ini=ini_text(port=closed_port()))
        baseline = launcher.frame()
        website, user = baseline.box(MENU_WEBSITE_RECT, inset=1), baseline.box(USER_RECT, inset=1)

        def lit(rect, base):
            return lambda f: all(near(a, highlighted(b), 3) for a, b in zip(f.box(rect, inset=1), base))

        launcher.move(MENU_WEBSITE)
        launcher.wait_frame(lit(MENU_WEBSITE_RECT, website), "the highlight on the WEBSITE row")
        self.desktop.xdotool("mousemove", "--sync", launcher.x + launcher.width + 60,
                             launcher.point(*MENU_WEBSITE)[1])
        launcher.wait_animation()
        self.assertTrue(lit(MENU_WEBSITE_RECT, website)(launcher.frame()),
                        "the highlight went when the pointer left through the right edge")

        launcher.move(USER_FIELD)
        launcher.wait_frame(lit(USER_RECT, user), "the highlight on the user field")
        self.desktop.xdotool("mousemove", "--sync", launcher.point(*USER_FIELD)[0], launcher.y - 8)
        launcher.wait_animation()
        self.assertTrue(lit(USER_RECT, user)(launcher.frame()),
                        "the highlight went when the pointer left onto the title bar")

        launcher.move(EMPTY)
        launcher.wait_frame(lambda f: all(near(a, b, 3) for a, b in zip(f.box(USER_RECT, inset=1), user)),
                            "the highlight gone once the pointer moves outside the hotspots again")
        self.assertEqual(launcher.close_by_hotspot(), 0)

    def test_the_information_box_keeps_the_window_alive(self):
        """While the box is open, as under Windows's modal loop: the
        animation goes on, the probe timer's result shows, clicks on the
        window are not delivered; once it is closed clicks work again. On
        Linux a close request made meanwhile is carried out when the box
        closes (a disabled Windows window gets none)."""
        port = closed_port()
        launcher = self.launch(ini=ini_text(port=port), program="fastprobe")
        launcher.wait_frame(lambda f: near(f.dot(), DOT_DOWN, 4), "the red dot with no server",
                            FAST_PROBE_PERIOD_S + PROBE_TIMEOUT_S + EVENT_TIMEOUT_S)

        launcher.click(MENU_WEBSITE)
        box = wait_until(launcher.other_windows, EVENT_TIMEOUT_S, "the information box")[0]
        wait_until(lambda: self.information_icon(box), EVENT_TIMEOUT_S, "the information icon in the box")
        launcher.wait_animation()
        self.game_server(port)
        launcher.wait_frame(lambda f: near(f.dot(), DOT_UP, 4), "the green dot while the box is open",
                            2 * FAST_PROBE_PERIOD_S + PROBE_TIMEOUT_S + 3.0)
        launcher.click(launcher.center(TABS[2]))
        launcher.wait_animation()
        self.assertEqual(launcher.frame().selected_tab(), 0, "a click reached the window behind the box")
        self.assertEqual(launcher.other_windows(), [box])

        self.close_box(box)
        launcher.select_tab(1)
        if WINDOWS:
            self.assertEqual(launcher.close_by_hotspot(), 0)
            return

        launcher.click(MENU_WEBSITE)
        box = wait_until(launcher.other_windows, EVENT_TIMEOUT_S, "the information box again")[0]
        self.desktop.request_close(launcher.window)
        launcher.wait_animation()
        self.close_box(box)
        self.assertEqual(launcher.wait_exit(), 0, "the close request made while the box was open")

    def information_icon(self, box):
        """Whether the box's left part shows the information sign: a blue
        disc with white inside it (the "i")."""
        x, y, width, height = self.desktop.geometry(box)
        image = self.desktop.screenshot((x, y, x + min(width, 100), y + height))
        blue = [(i % image.width, i // image.width) for i, (r, g, b) in enumerate(image.getdata())
                if b >= 150 and b - r >= 80 and b - g >= 30]
        if len(blue) < 300:
            return False
        xs, ys = [p[0] for p in blue], [p[1] for p in blue]
        inside = image.crop((min(xs), min(ys), max(xs) + 1, max(ys) + 1)).getdata()
        return count_near(inside, (255, 255, 255), 30) >= 30

    def close_box(self, box):
        """Closes the information box with Enter, as its one button."""
        self.desktop.xdotool("windowactivate", "--sync", box)
        self.desktop.key("Return")
        wait_until(lambda: box not in self.desktop.viewable_windows_named(TITLE), EVENT_TIMEOUT_S,
                   "the box to close")

    def test_check_then_patch_from_loopback_servers(self):
        files = {"data/maps/runvale.map": os.urandom(70000), "textures/sky.pak": os.urandom(150000),
                 "qorin.dat": os.urandom(4096)}
        slow = os.urandom(200000)
        root = WORK / ("patch-" + self._testMethodName)
        for relative, body in files.items():
            (root / "files" / relative).parent.mkdir(parents=True, exist_ok=True)
            (root / "files" / relative).write_bytes(body)
        held = HeldFileServer("slow.pak", slow)
        self.addCleanup(held.stop)
        nginx = LocalNginx(root, root.parent / (root.name + "-nginx"), access_log=True)  # its logs stay in WORK
        note_pid(nginx.process.pid)
        self.addCleanup(forget_pid, nginx.process.pid)
        self.addCleanup(nginx.stop)
        # The published folder's manifest, and last the file the held server
        # sends, which no folder of nginx's holds: its entry goes in before
        # the tool's end line, whose count then grows by one.
        (root / "download").mkdir()
        listed = make_manifest(root / "files", nginx.url("files"), root / "download" / "manifest.txt",
                               tool=MANIFEST_TOOL, env=self.desktop.env).decode("utf-8").splitlines()
        entries = [line for line in listed if not line.startswith("#")]
        self.assertEqual(len(entries), len(files))
        marks = [line for line in listed if line.startswith("#")]
        self.assertEqual(marks, ["#launcher-manifest entries=3", "#end entries=3"])
        (root / "download" / "manifest.txt").write_text(
            "#launcher-manifest entries=4\n" + "".join(line + "\n" for line in entries) +
            "slow.pak|%d|%s\n#end entries=4\n" % (len(slow), held.url()))

        launcher = self.launch(ini=ini_text(port=closed_port(), patch_url=nginx.url("download/manifest.txt")))
        folder = launcher.folder
        (folder / "data" / "maps").mkdir(parents=True)
        (folder / "data" / "maps" / "runvale.map").write_bytes(b"old map" * 100)
        (folder / "qorin.dat").write_bytes(files["qorin.dat"])

        def game_files():
            return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*")
                    if p.is_file() and p.name != "launcher.ini"}

        def manifest_requests():
            return nginx_requests(nginx).count("/download/manifest.txt")

        # CHECK FILES: the closing status, and nothing on disk changes.
        before = game_files()
        launcher.click(CHECK_FILES)
        launcher.wait_frame(lambda f: manifest_requests() == 1 and f.closing_status_shown(),
                            "the check's closing status", RUN_TIMEOUT_S)
        self.assertEqual(game_files(), before)
        self.assertEqual(nginx_requests(nginx), ["/download/manifest.txt"])
        self.assertFalse(held.requested.is_set())

        # The check ends by clearing busy: pressing Enter (no game here yet)
        # then reaches the game start, which writes User first.
        launcher.click(USER_FIELD)
        self.desktop.type("ck")
        wait_until(lambda: self.desktop.key("Return") or launcher.ini_user() == "ck", EVENT_TIMEOUT_S,
                   "Enter to reach the game start once the check is over")
        launcher.select_tab(3)  # every Enter sent above has been handled
        launcher.add_game()

        # PATCH FILES clicked twice quickly: one run, which stays active
        # while the held file is half sent.
        launcher.click(PATCH_FILES, repeat=2)
        wait_until(held.requested.is_set, RUN_TIMEOUT_S, "the patch run to reach the held file")
        self.assertEqual(manifest_requests(), 2)

        # While the run is active, Enter and the play area only clear the
        # focus: typing after them goes nowhere, and the game never starts.
        launcher.click(USER_FIELD)
        self.desktop.type("ab")
        self.desktop.key("Return")
        self.desktop.type("cd")
        launcher.click(USER_FIELD)
        self.desktop.type("ef")
        launcher.click(PLAY)
        self.desktop.type("gh")
        launcher.select_tab(1)
        self.assertTrue(launcher.frame().progress_bar_shown(), "the run is still active")
        self.assertIsNone(launcher.game_record())
        self.assertEqual(launcher.ini_user(), "ck", "Enter or play reached the game start during the run")

        held.release()
        expected = dict(before, **files)
        expected.update({"slow.pak": slow, "test_game" + EXE: TEST_GAME.read_bytes()})
        launcher.wait_frame(lambda f: f.closing_status_shown() and game_files() == expected,
                            "the patch run's closing status and every file in place", RUN_TIMEOUT_S)
        self.assertEqual(manifest_requests(), 2, "the double click started a second run")
        downloads = sorted(p for p in nginx_requests(nginx) if p.startswith("/files/"))
        self.assertEqual(downloads, ["/files/data/maps/runvale.map", "/files/textures/sky.pak"])

        # Enter after the run starts the game with its arguments and ends
        # the launcher.
        self.desktop.key("Return")
        record = wait_until(launcher.game_record, EVENT_TIMEOUT_S, "the game's record")
        self.assertEqual(launcher.wait_exit(), 0)
        self.assertEqual([line[4:] for line in record.splitlines() if line.startswith("arg=")], GAME_ARGV)
        self.assertEqual(launcher.ini_user(), "ckabef")

    def test_patch_replaces_the_running_launcher(self):
        """PATCH FILES installs a new build of the launcher's own file while
        it runs; the old code goes on to the end, and the next start runs
        the new file, which removes what was set aside (Windows)."""
        body = PROGRAMS["launcher"].read_bytes() + b"a newer build"
        root = WORK / ("patch-" + self._testMethodName)
        (root / "files").mkdir(parents=True)
        (root / "files" / "new").write_bytes(body)
        nginx = LocalNginx(root, root.parent / (root.name + "-nginx"))
        note_pid(nginx.process.pid)
        self.addCleanup(forget_pid, nginx.process.pid)
        self.addCleanup(nginx.stop)
        (root / "manifest.txt").write_text("launcher%s|%d|%s\n" % (EXE, len(body), nginx.url("files/new")))
        launcher = self.launch(ini=ini_text(port=closed_port(), patch_url=nginx.url("manifest.txt")))
        program = launcher.folder / launcher.name
        launcher.click(PATCH_FILES)
        launcher.wait_frame(lambda f: f.closing_status_shown() and program.read_bytes() == body,
                            "the patch run's closing status and the new launcher in place", RUN_TIMEOUT_S)
        set_aside = list(launcher.folder.glob(".~launcher-*.old"))
        self.assertEqual(len(set_aside), 1 if WINDOWS else 0)
        self.assertEqual(launcher.close_by_hotspot(), 0)

        launcher.process = subprocess.Popen(["wine", launcher.name] if WINDOWS else ["./" + launcher.name],
                                            cwd=launcher.folder, env=dict(self.desktop.env, **WINE_ENVIRONMENT),
                                            stdin=subprocess.DEVNULL, stdout=launcher.log, stderr=launcher.log)
        wait_until(lambda: self.desktop.visible_windows(TITLE) and not any(p.exists() for p in set_aside),
                   START_TIMEOUT_S, "the new launcher's window, and nothing set aside left")
        self.assertEqual(launcher.close_by_hotspot(), 0)

    def test_status_dot_follows_the_game_server(self):
        port = closed_port()
        launcher = self.launch(ini=ini_text(port=port), program="fastprobe")
        launcher.wait_frame(lambda f: near(f.dot(), DOT_DOWN, 4), "the red dot with no server",
                            FAST_PROBE_PERIOD_S + PROBE_TIMEOUT_S + EVENT_TIMEOUT_S)
        listener = self.game_server(port)
        # Within a probe period or two: on Winsock a probe that started
        # before the listener still reports the refusal after its full wait.
        launcher.wait_frame(lambda f: near(f.dot(), DOT_UP, 4), "the green dot once the server listens",
                            2 * FAST_PROBE_PERIOD_S + PROBE_TIMEOUT_S + 3.0)
        listener.close()
        launcher.wait_frame(lambda f: near(f.dot(), DOT_DOWN, 4), "the red dot once the server is gone",
                            FAST_PROBE_PERIOD_S + 2 * PROBE_TIMEOUT_S + 2.0)
        self.assertEqual(launcher.close_by_hotspot(), 0)

    def test_typing_tab_cycling_focus_and_missing_game(self):
        launcher = self.launch(ini=ini_text(port=closed_port()))
        typed = "abcdefghij0123456789klmnopqrst9876543210"  # 40 characters

        # 40 characters keep 38; Enter with no game writes User, shows the
        # failure and leaves the launcher running.
        launcher.click(USER_FIELD)
        self.desktop.type(typed)
        self.desktop.key("Return")
        launcher.wait_user(typed[:38], "typing 40 characters")
        launcher.wait_frame(lambda f: f.closing_status_shown(), "the game-not-found status")
        launcher.assert_running()

        # Tab from no focus goes to the user field; Backspace removes one.
        self.desktop.key("Tab", "BackSpace", "Return")
        launcher.wait_user(typed[:37], "Tab then Backspace")

        # Tab cycles user -> masked -> user: the masked text stays out of
        # the user name and out of the file, and shows as dots.
        self.desktop.key("Tab", "Tab")
        self.desktop.type("uvwxyz")
        self.desktop.key("Tab", "BackSpace", "Return")
        launcher.wait_user(typed[:36], "typing in the masked field, Tab back, Backspace")
        frame = launcher.frame()
        self.assertGreater(count_near(frame.box(MASKED_TEXT), FIELD_INK, 24), 20, "no dots in the masked field")
        self.assertNotIn(b"uvw", (launcher.folder / "launcher.ini").read_bytes())

        # A click outside every hotspot clears the focus.
        launcher.click(USER_FIELD)
        launcher.click(EMPTY)
        self.desktop.type("xy")
        launcher.click(USER_FIELD)
        self.desktop.type("k")
        self.desktop.key("Return")
        launcher.wait_user(typed[:36] + "k", "typing after a click outside")
        self.assertEqual(launcher.close_by_hotspot(), 0)

    def test_every_way_of_closing_ends_with_0(self):
        ways = {
            "the close hotspot": lambda launcher: launcher.click(CLOSE_HOTSPOT),
            "the EXIT row": lambda launcher: launcher.click(MENU_EXIT),
            # The window manager's close: openbox binds Alt+F4 to it and
            # asks the window to close (WM_DELETE_WINDOW).
            "the window manager": lambda launcher: (launcher.click(EMPTY), self.desktop.key("alt+F4")),
        }
        for way, close in ways.items():
            with self.subTest(way=way):
                launcher = self.launch(ini=ini_text(port=closed_port()))
                try:
                    close(launcher)
                    self.assertEqual(launcher.wait_exit(), 0, way)
                finally:
                    launcher.stop()

    def test_closing_during_a_patch_run_leaves_no_partial_file(self):
        """The window closes while a file is half downloaded: the launcher
        still exits 0 and the old file is untouched; at most the download's
        temporary file is left, for the next run to clear."""
        body = os.urandom(200000)
        held = HeldFileServer("slow.pak", body)
        self.addCleanup(held.stop)
        root = WORK / ("patch-" + self._testMethodName)
        (root / "download").mkdir(parents=True)
        (root / "download" / "manifest.txt").write_text("slow.pak|%d|%s\n" % (len(body), held.url()))
        nginx = LocalNginx(root, root.parent / (root.name + "-nginx"))
        note_pid(nginx.process.pid)
        self.addCleanup(forget_pid, nginx.process.pid)
        self.addCleanup(nginx.stop)

        launcher = self.launch(ini=ini_text(port=closed_port(), patch_url=nginx.url("download/manifest.txt")))
        try:
            old = b"old pack" * 1000
            (launcher.folder / "slow.pak").write_bytes(old)
            launcher.click(PATCH_FILES)
            wait_until(held.requested.is_set, RUN_TIMEOUT_S, "the patch run to reach the held file")
            launcher.click(CLOSE_HOTSPOT)
            self.assertEqual(launcher.wait_exit(), 0)
            self.assertEqual((launcher.folder / "slow.pak").read_bytes(), old)
            left = sorted(p.name for p in launcher.folder.iterdir() if p.name.startswith("slow.pak"))
            self.assertIn(left, (["slow.pak"], ["slow.pak", "slow.pak.part~"]))
        finally:
            launcher.stop()


# --------------------------------------------------------------------------
# Scenarios on a 1366 x 768 screen


class SmallScreen(LauncherCase):
    display_variable = "LAUNCHER_E2E_DISPLAY_SMALL"

    def test_scaled_window_frame_and_hit_test(self):
        launcher = self.launch(ini=ini_text(port=closed_port()))
        self.assertEqual(self.desktop.screen_size(), (1366, 768))
        self.assertEqual(self.desktop.window_name(launcher.window), TITLE)
        self.assertEqual((launcher.width, launcher.height), (1037, 691))
        self.assert_centred_by_outer_frame(launcher)
        baseline = launcher.frame()
        self.assert_painters_frame(launcher, baseline)
        self.assertEqual(baseline.selected_tab(), 0)

        # Clicks and hovers land on the hotspots through the scaled hit test.
        launcher.select_tab(2)
        launcher.move((1100, 458))
        base = baseline.box(MENU_WEBSITE_RECT, inset=2)
        launcher.wait_frame(
            lambda f: all(near(a, highlighted(b), 3) for a, b in zip(f.box(MENU_WEBSITE_RECT, inset=2), base)),
            "the highlight on the WEBSITE row")
        launcher.click(MENU_EXIT)
        self.assertEqual(launcher.wait_exit(), 0)


if __name__ == "__main__":
    for program in list(PROGRAMS.values()) + [TEST_GAME, MANIFEST_TOOL.exe, BUILD / "bg.bmp", BUILD / "icon.bmp"]:
        if not program.exists():
            sys.exit("e2e: %s is missing; build first" % program)
    WORK.mkdir(parents=True, exist_ok=True)
    os.chmod(WORK, 0o755)  # nginx reads as this user; readable anyway should it read as nobody
    print("== end-to-end: %s build in %s" % (TARGET, BUILD), file=sys.stderr)
    result = unittest.main(verbosity=2, exit=False).result
    for name, seconds in DURATIONS:
        print("  %5.1f s  %s" % (seconds, name), file=sys.stderr)
    sys.exit(0 if result.wasSuccessful() else 1)
