#!/usr/bin/env python3
"""The demo (scripts/demo.py) on a private virtual display, as a player
without a desktop runs it under xvfb-run: the play area starts the demo game,
the launcher ends, and the demo - and with it the display - stays until the
game's window is closed. Needs build/linux (launcher, launcher-manifest, the
artwork), Xvfb, xdotool, xmessage, nginx, sox and lame.

Every wait polls a condition against a deadline.
"""
import os
import subprocess
import sys
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
GAME_DIR = os.path.join(TOP, "build", "demo", "game")
sys.path.insert(0, os.path.join(TOP, "tests", "support"))
from waiting import wait_quietly, wait_until  # noqa: E402


def read_text(path):
    """The file's text, or "" while it does not exist."""
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


class PrivateDisplay:
    """An Xvfb of its own, on the first free display number it picks."""

    def __enter__(self):
        read_end, write_end = os.pipe()
        # -noreset: the server must not reset whenever a poll's connection
        # was the last one, or a connection in the middle could be refused.
        self.server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1920x1080x24",
                                        "-nolisten", "tcp", "-noreset"], pass_fds=[write_end],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as announced:  # Xvfb writes its number once it is ready
            number = announced.readline().strip()
        self.env = dict(os.environ, DISPLAY=":" + number)
        return self

    def windows_named(self, pattern):
        found = subprocess.run(["xdotool", "search", "--name", pattern], env=self.env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        return found.stdout.split()

    def __exit__(self, *_):
        self.server.terminate()
        self.server.wait(timeout=30)


class DemoOnAVirtualDisplay(unittest.TestCase):
    def test_the_demo_game_outlives_the_launcher_until_its_window_is_closed(self):
        with PrivateDisplay() as display:
            demo = subprocess.Popen([sys.executable, os.path.join(TOP, "scripts", "demo.py")], env=display.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            said = []
            reader = threading.Thread(target=lambda: said.extend(demo.stdout), daemon=True)
            reader.start()
            try:
                # The demo says so once its servers run and it starts the launcher.
                wait_until(lambda: any("Close the window" in line for line in said) or demo.poll() is not None, 120,
                         "the demo to start the launcher")
                self.assertIsNone(demo.poll(), "".join(said))
                launcher = wait_until(lambda: display.windows_named("^Zenthara Online$"), 60, "the launcher window")[0]
                # A click on the play area (at the design size, 1280 x 853 on
                # this screen), again until it lands: the window may not be
                # mapped yet when it is first found.
                def click_play():
                    subprocess.run(["xdotool", "mousemove", "--window", launcher, "600", "600", "click", "1"],
                                   env=display.env, stderr=subprocess.DEVNULL)
                    return wait_quietly(lambda: display.windows_named("demo game"), 2)
                wait_until(click_play, 40, "the demo game's window after a click on the play area")
                wait_until(lambda: not display.windows_named("^Zenthara Online$"), 30, "the launcher to end")
                pid_file = os.path.join(GAME_DIR, "demo-game.pid")
                pid = int(wait_until(lambda: read_text(pid_file).strip(), 10, "the demo game's process id"))
                # The launcher is gone; the demo (and so the display) stays,
                # and says what it waits for.
                wait_until(lambda: any("close its window" in line for line in said) or demo.poll() is not None, 30,
                           "the demo to say it waits for the game")
                self.assertIsNone(demo.poll(), "the demo ended with the launcher:\n" + "".join(said))
                self.assertTrue(display.windows_named("demo game"))
                os.kill(pid, 15)  # the player closes the game
                self.assertEqual(demo.wait(timeout=30), 0)
                reader.join(timeout=10)
                self.assertIn("The launcher exited with status 0.", "".join(said))
                with open(os.path.join(GAME_DIR, "demo-game.log")) as log:
                    self.assertIn("with: Runvale -demo", log.read())
            finally:
                if demo.poll() is None:
                    demo.kill()
                    demo.wait()
                reader.join(timeout=10)
                if not reader.is_alive():  # closing under a blocked read would wait for it
                    demo.stdout.close()


if __name__ == "__main__":
    unittest.main()
