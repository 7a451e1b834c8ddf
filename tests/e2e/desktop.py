"""The X side of the end-to-end tests: one Xvfb display driven with xdotool
(pointer, clicks, keys, typed text) and a window manager's close request,
read back with screenshots (Pillow's ImageGrab), the window manager's
frame borders and the pointer's current cursor image (XFixes and Xlib
through ctypes, since Debian's python3 has no Xlib binding installed here).

Nothing here waits for a fixed time: every wait is a poll of a condition
against a deadline (wait_until).
"""
import ctypes
import os
import subprocess

from PIL import ImageGrab

from waiting import wait_until  # noqa: F401 (tests/support; test_e2e takes it from here)


class _CursorImage(ctypes.Structure):
    # XFixesCursorImage, protocol version 2 and later (with the name).
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short),
                ("width", ctypes.c_ushort), ("height", ctypes.c_ushort),
                ("xhot", ctypes.c_ushort), ("yhot", ctypes.c_ushort),
                ("cursor_serial", ctypes.c_ulong),
                ("pixels", ctypes.POINTER(ctypes.c_ulong)),
                ("atom", ctypes.c_ulong), ("name", ctypes.c_char_p)]


class _ClientMessage(ctypes.Structure):
    # XClientMessageEvent with 32-bit data; XSendEvent takes a whole XEvent.
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class Cursor:
    """The pointer's cursor as XFixes reports it: size, hot spot, the ARGB
    pixels and the name (empty for unnamed cursors, as Wine's are)."""

    def __init__(self, width, height, xhot, yhot, pixels, name):
        self.width, self.height, self.xhot, self.yhot = width, height, xhot, yhot
        self.pixels, self.name = pixels, name

    def key(self):
        return (self.width, self.height, self.xhot, self.yhot, self.pixels)

    def __eq__(self, other):
        return self.key() == other.key()

    def __hash__(self):
        return hash(self.key())

    def __repr__(self):
        return "<cursor %dx%d hot %d,%d %s>" % (self.width, self.height, self.xhot, self.yhot,
                                                self.name or "unnamed")


class Desktop:
    """One X display: runs xdotool and xwininfo on it, takes screenshots and
    reads the cursor."""

    def __init__(self, display):
        self.display = display
        self.env = dict(os.environ, DISPLAY=display)
        self._x11 = None

    # --- programs -----------------------------------------------------------

    def run(self, *argv, check=True):
        result = subprocess.run(argv, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, timeout=30)
        if check and result.returncode != 0:
            raise AssertionError("%s failed: %s" % (" ".join(argv), result.stderr.strip()))
        return result.stdout

    def xdotool(self, *args):
        return self.run("xdotool", *[str(a) for a in args])

    def visible_windows(self, title):
        """Ids of the mapped windows whose name is exactly title."""
        out = self.run("xdotool", "search", "--onlyvisible", "--name", "^%s$" % title, check=False)
        return [int(line) for line in out.split()]

    def viewable_windows_named(self, title):
        """Ids of the viewable windows whose name is exactly title, read
        from xwininfo's tree: xdotool skips windows whose WM_NAME is UTF-8
        text, as SDL's message box sets it."""
        # A window that goes away while xwininfo walks the tree fails the
        # walk; it is read again.
        tree = wait_until(lambda: self._tree(), 10.0, "a whole window tree from xwininfo")
        named = []
        for line in tree.splitlines():
            window, _, rest = line.strip().partition(" ")
            if rest.startswith('"%s":' % title):
                named.append(int(window, 16))
        return [w for w in named
                if "Map State: IsViewable" in self.run("xwininfo", "-id", str(w), check=False)]

    def _tree(self):
        result = subprocess.run(["xwininfo", "-root", "-tree"], env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True, timeout=30)
        return result.stdout if result.returncode == 0 else None

    def window_name(self, window):
        return self.xdotool("getwindowname", window).rstrip("\n")

    def geometry(self, window):
        """(x, y, width, height) of the window's inside on the screen. xwininfo
        reports the absolute position under a reparenting window manager,
        where xdotool's getwindowgeometry adds the frame a second time."""
        values = {}
        for line in self.run("xwininfo", "-id", str(window)).splitlines():
            name, _, value = line.strip().partition(":")
            values[name] = value.strip()
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]),
                int(values["Width"]), int(values["Height"]))

    def frame_extents(self, window):
        """(left, right, top, bottom) borders the window manager put round
        the window (_NET_FRAME_EXTENTS), or None while it has set none."""
        out = self.run("xprop", "-id", str(window), "_NET_FRAME_EXTENTS", check=False)
        _, sep, values = out.partition("=")
        return tuple(int(v) for v in values.split(",")) if sep else None

    def screen_size(self):
        width, height = self.xdotool("getdisplaygeometry").split()
        return int(width), int(height)

    # --- input --------------------------------------------------------------

    def move(self, x, y):
        self.xdotool("mousemove", x, y)

    def click(self, x, y, repeat=1):
        self.xdotool("mousemove", x, y, "click", "--repeat", repeat, "--delay", 40, 1)

    def key(self, *keys):
        self.xdotool("key", "--delay", 20, *keys)

    def type(self, text):
        self.xdotool("type", "--delay", 15, text)

    def request_close(self, window):
        """Asks the window to close as a window manager's close button does:
        a WM_DELETE_WINDOW message (openbox's Alt+F4 goes to the active
        window, which may be another)."""
        if self._x11 is None:
            self._open_xfixes()
        x11, _, display = self._x11
        event = _ClientMessage(type=33, display=display, window=window, format=32)  # ClientMessage
        event.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", False)
        event.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", False)
        event.data[1] = 0  # CurrentTime
        buffer = (ctypes.c_char * 192).from_buffer_copy(bytes(event) + bytes(192 - ctypes.sizeof(event)))
        x11.XSendEvent(display, window, False, 0, buffer)
        x11.XFlush(display)

    # --- reading back -------------------------------------------------------

    def screenshot(self, box):
        """The screen's pixels inside box (left, top, right, bottom) as RGB."""
        return ImageGrab.grab(xdisplay=self.display).convert("RGB").crop(box)

    def cursor(self):
        if self._x11 is None:
            self._open_xfixes()
        x11, xfixes, display = self._x11
        image = xfixes.XFixesGetCursorImage(display)
        if not image:
            raise AssertionError("XFixes gave no cursor image")
        c = image.contents
        count = c.width * c.height
        pixels = b"".join((c.pixels[i] & 0xFFFFFFFF).to_bytes(4, "little") for i in range(count))
        cursor = Cursor(c.width, c.height, c.xhot, c.yhot, pixels, (c.name or b"").decode())
        x11.XFree(image)
        return cursor

    def _open_xfixes(self):
        x11 = ctypes.CDLL("libX11.so.6")
        xfixes = ctypes.CDLL("libXfixes.so.3")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XFree.argtypes = [ctypes.c_void_p]
        xfixes.XFixesQueryExtension.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                                ctypes.POINTER(ctypes.c_int)]
        xfixes.XFixesQueryVersion.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                              ctypes.POINTER(ctypes.c_int)]
        xfixes.XFixesGetCursorImage.argtypes = [ctypes.c_void_p]
        xfixes.XFixesGetCursorImage.restype = ctypes.POINTER(_CursorImage)
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        display = x11.XOpenDisplay(self.display.encode())
        if not display:
            raise AssertionError("cannot open display " + self.display)
        event, error = ctypes.c_int(), ctypes.c_int()
        if not xfixes.XFixesQueryExtension(display, ctypes.byref(event), ctypes.byref(error)):
            raise AssertionError("the X server has no XFixes extension")
        # Asking for version 2 or later is what makes the reply carry the name.
        major, minor = ctypes.c_int(5), ctypes.c_int(0)
        xfixes.XFixesQueryVersion(display, ctypes.byref(major), ctypes.byref(minor))
        self._x11 = (x11, xfixes, display)
