"""Scenarios for what launcher-patch prints when manifest paths or arguments
hold control characters: escape sequences that would set the terminal's
title, clear the screen or write the clipboard (OSC 52), and C1 controls
(the 8-bit CSI U+009B among them), reach the operator's terminal only
escaped (\\x1B, \\u009B), in the status lines on standard output, in the
messages on standard error and, on a terminal, in the live line. So do the
bidirectional controls that make a name read as another (\\u202E).

Runs against build/linux/launcher-patch and, under Wine, against
build/windows/launcher-patch.exe (LAUNCHER_PATCH_TARGET=linux|windows picks
one). The terminal scenario runs for the Linux build only: under Wine the
console host stands between the program and the terminal and writes escape
sequences of its own. Standalone: python3 tests/integration/test_names.py
"""
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import time
import tty
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from console_tool import RUN_TIMEOUT_S, prepare_launcher_patch_class  # noqa: E402
from harness import FaultServer, Reply, entry, manifest_bytes, write_launcher_ini  # noqa: E402

# (path as the manifest has it, the same path as the tool must show it)
HOSTILE = [
    (b"title\x1b]0;owned\x07.bin", b"title\\x1B]0;owned\\x07.bin"),
    (b"clear\x1b[2J\x1b[H.bin", b"clear\\x1B[2J\\x1B[H.bin"),
    (b"clip\x1b]52;c;aGVsbG8=\x07.bin", b"clip\\x1B]52;c;aGVsbG8=\\x07.bin"),
    ("csi\u009b31m.bin".encode(), b"csi\\u009B31m.bin"),
    (b"st\x1b]2;x\x1b\\.bin", b"st\\x1B]2;x\\x1B\\.bin"),
    ("nel\u0085osc\u009d0;x\u009c.bin".encode(), b"nel\\u0085osc\\u009D0;x\\u009C.bin"),
    (b"tab\there\x7f.bin", b"tab\\x09here\\x7F.bin"),
    ("rlo\u202etxt.exe\u2066x\u2069.bin".encode(), b"rlo\\u202Etxt.exe\\u2066x\\u2069.bin"),
    # Not UTF-8: the launcher reads the stray byte as U+FFFD.
    (b"raw\x9b2J.bin", "raw\ufffd2J.bin".encode()),
]
REFUSED = 5  # the paths with C0 controls or DEL: the launcher refuses them
BIDI = set("\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")
EVERY = 16  # the pass reports progress every 16 entries


def hostile_manifest(url):
    """Entry lines, each hostile path where the pass shows a progress line:
    every sixteenth entry. The others must not exist and do not."""
    lines = []
    for i in range(EVERY * len(HOSTILE)):
        path = HOSTILE[i // EVERY][0] if i % EVERY == EVERY - 1 else b"filler%03d.bin" % i
        lines.append(path + b"|-1|" + url.encode())
    return manifest_bytes(lines)


def progress_lines():
    total = EVERY * len(HOSTILE)
    return [shown + b"  (%d/%d)" % (EVERY * (i + 1), total) for i, (_, shown) in enumerate(HOSTILE)]


class NameScenarios:
    target = None  # "linux" or "windows", set by the concrete classes

    @classmethod
    def setUpClass(cls):
        prepare_launcher_patch_class(cls)
        cls.fault = FaultServer()
        cls.addClassCleanup(cls.fault.stop)
        cls.fault.start()
        cls.tool.warm_up()

    def setUp(self):
        self.game = Path(tempfile.mkdtemp(prefix="launcher-names-%s-" % self.target)).resolve()
        self.addCleanup(shutil.rmtree, self.game, ignore_errors=True)
        never = self.fault.url("%s/never-fetched.bin" % self._testMethodName)
        self.url = self.fault.route("%s/manifest.txt" % self._testMethodName,
                                    Reply(body=hostile_manifest(never)))
        write_launcher_ini(self.game, self.url)

    def assertNothingActsOnATerminal(self, data, allowed=b"\n"):
        """data (bytes, or the runner's text of standard error) is UTF-8
        holding no control character but those allowed: no other C0
        control, no DEL, no C1 control, no stray byte a terminal could read
        as one."""
        if isinstance(data, str):
            # The runner decodes standard error with U+FFFD for what is not UTF-8.
            self.assertNotIn("\ufffd", data)
            data = data.encode("utf-8")
        if self.target == "windows":
            data = data.replace(b"\r\n", b"\n")  # the C runtime's text-mode line end
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            self.fail("not UTF-8 (%s): %r" % (error, data[:2000]))
        bad = sorted({c for c in text
                      if (ord(c) < 0x20 and c.encode() not in allowed) or 0x7F <= ord(c) <= 0x9F or c in BIDI})
        self.assertEqual(bad, [], repr(data[:2000]))

    def test_status_lines_show_manifest_paths_escaped(self):
        for mode, code, closing in (("check", 1, b"%d file(s) differ - run launcher-patch patch." % REFUSED),
                                    ("patch", 1, b"Finished with %d error(s)." % REFUSED)):
            result = self.tool.run([mode, "--dir", self.tool.native(self.game)])
            with self.subTest(mode=mode):
                self.assertEqual(result.code, code, result.describe())
                self.assertNothingActsOnATerminal(result.stdout)
                # Patch names every refused file on standard error, escaped too.
                self.assertNothingActsOnATerminal(result.stderr)
                failures = result.stderr.splitlines()
                self.assertEqual(len(failures), REFUSED if mode == "patch" else 0, result.describe())
                for line in failures:
                    self.assertTrue(line.startswith("launcher-patch: ") and line.endswith(": refused path"), line)
                lines = [line.encode("utf-8") for line in result.lines if not line.endswith(": refused path")]
                self.assertEqual(len(result.lines) - len(lines), REFUSED if mode == "check" else 0)
                self.assertEqual(lines[1:-1], progress_lines(), result.describe())
                self.assertEqual(lines[-1], closing)
        self.assertEqual(sorted(p.name for p in self.game.iterdir()), ["launcher.ini"])

    def test_arguments_in_messages_are_shown_escaped(self):
        hostile = "\x1b]0;owned\x07\x1b[2J\u009b31m\u202egpj.exe"
        result = self.tool.run(["check", hostile])
        self.assertEqual(result.code, 64, result.describe())
        self.assertEqual(result.stdout, b"")
        self.assertNothingActsOnATerminal(result.stderr)
        self.assertIn("unexpected argument '\\x1B]0;owned\\x07\\x1B[2J\\u009B31m\\u202Egpj.exe'", result.stderr)

    def test_a_failed_download_is_named_escaped(self):
        # A name that reads as another, in a failure on standard error.
        name = "invoice\u202efdp.exe"
        url = self.fault.route("%s/manifest.txt" % self._testMethodName, Reply(body=manifest_bytes(
            [entry(name, 5, self.fault.url("%s/missing.bin" % self._testMethodName))])))
        result = self.tool.run(["patch", "--dir", self.tool.native(self.game), "--url", url])
        self.assertEqual(result.code, 1, result.describe())
        self.assertNothingActsOnATerminal(result.stdout)
        self.assertEqual(result.stderr.splitlines(), ["launcher-patch: invoice\\u202Efdp.exe: HTTP status 404"],
                         result.describe())
        self.assertEqual(result.lines[-1], "Finished with 1 error(s).")


class LinuxBuild(NameScenarios, unittest.TestCase):
    target = "linux"

    def run_on_terminal(self, args):
        """Runs the tool with standard output and error on one terminal in
        raw mode (so its bytes arrive as written); returns (exit code,
        bytes)."""
        master, slave = pty.openpty()
        tty.setraw(slave)
        try:
            process = subprocess.Popen(self.tool.command(args), stdin=subprocess.DEVNULL, stdout=slave,
                                       stderr=slave, env=self.tool.environment())
        finally:
            os.close(slave)
        output = b""
        deadline = time.monotonic() + RUN_TIMEOUT_S
        try:
            while True:
                if time.monotonic() >= deadline:
                    process.kill()
                    self.fail("gave up waiting for the tool on a terminal: %r" % output[-2000:])
                ready, _, _ = select.select([master], [], [], 0.2)
                if not ready:
                    continue
                try:
                    data = os.read(master, 65536)
                except OSError:  # the terminal closed: the tool ended
                    break
                if not data:
                    break
                output += data
            return process.wait(timeout=max(1.0, deadline - time.monotonic())), output
        finally:
            os.close(master)

    def test_the_live_line_shows_manifest_paths_escaped(self):
        code, output = self.run_on_terminal(["check", "--dir", self.tool.native(self.game)])
        self.assertEqual(code, 1, repr(output[-2000:]))
        # The live line goes back to its start with a carriage return.
        self.assertNothingActsOnATerminal(output, allowed=b"\n\r")
        for line in progress_lines():
            self.assertIn(line, output)
        self.assertTrue(output.endswith(b"%d file(s) differ - run launcher-patch patch.\n" % REFUSED),
                        repr(output[-300:]))
        # A differing file's line starts where the live line was just erased.
        self.assertIn(b" " * 79 + b"\r" + HOSTILE[0][1] + b": refused path\n", output)


class WindowsBuild(NameScenarios, unittest.TestCase):
    target = "windows"


if __name__ == "__main__":
    unittest.main(verbosity=2)
