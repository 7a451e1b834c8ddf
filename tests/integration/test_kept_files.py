"""What launcher-patch does with files it finds where it keeps its own
between runs: a partial body (.part) or resume record (.meta) that is a
hard link, a symbolic link or a FIFO, and a launcher.ini that is a FIFO.
Nothing planted there may make it write outside the game folder, resume
from bytes that are not its own, or wait for ever: the file is fetched
whole and comes out right, and a file a link leads to stays as it was.

Runs against build/linux/launcher-patch and, under Wine, the Windows build
(LAUNCHER_PATCH_TARGET=linux|windows picks one); under Wine the links and
FIFOs are Unix ones, which Wine shows as plain files or no files at all.
Standalone: python3 tests/integration/test_kept_files.py
"""
import os
import random
import subprocess
import sys
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from console_tool import prepare_launcher_patch_class, run_target_classes  # noqa: E402
from harness import entry, manifest_bytes, temporaries_below, temporary_name  # noqa: E402
from test_resume import Route, ScriptedServer, Version  # noqa: E402

BODY_BYTES = 400000    # resumable: 256 KiB or more
KEPT_BYTES = 200000    # what a planted partial body holds
PASS_LIMIT_S = 90      # a pass that takes longer is taken to hang
RECORD_HEAD = "launcher-partial 1\n"


def record_text(size, validator):
    """A resume record as the engine writes it."""
    return ("%ssize %d\nvalidator %s\n" % (RECORD_HEAD, size, validator)).encode("ascii")


def make_fifo(path):
    os.mkfifo(path, 0o600)


class KeptFileScenarios:
    target = None  # "linux" or "windows", set by the concrete classes
    # Wine can neither delete a FIFO nor rename a file over one (it refuses
    # special files), so the Windows build cannot clear a FIFO planted at a
    # temporary's name: the one file it blocks fails, and nothing waits.
    fifo_removable = True

    @classmethod
    def setUpClass(cls):
        prepare_launcher_patch_class(cls, "launcher-kept")
        cls.server = ScriptedServer()
        cls.addClassCleanup(cls.server.stop)
        cls.tool.warm_up()

    def fresh_folders(self, case):
        """A game folder and a folder beside it standing for anywhere else."""
        base = self.sandbox / self._testMethodName / case
        game, outside = base / "game", base / "outside"
        game.mkdir(parents=True)
        outside.mkdir()
        return game, outside

    def publish(self, case, name, body, etag):
        route = Route(Version(body, etag))
        url = self.server.add("%s/%s/%s" % (self._testMethodName, case, name), route)
        manifest = self.server.serve_text("%s/%s/manifest" % (self._testMethodName, case),
                                          manifest_bytes([entry(name, len(body), url)]))
        return route, manifest

    def run_tool(self, args, cwd=None):
        """Runs launcher-patch; a run that outlives PASS_LIMIT_S fails the test."""
        try:
            return self.tool.run(args, timeout_s=PASS_LIMIT_S, timeout_ms=5000, cwd=cwd)
        except subprocess.TimeoutExpired:
            self.fail("launcher-patch %s did not end within %d s" % (" ".join(args[:1]), PASS_LIMIT_S))

    def patch(self, game, manifest):
        return self.run_tool(["patch", "--dir", self.tool.native(game), "--url", manifest])

    def assertFetchedWhole(self, result, game, name, body, route, kept_fifo=None):
        """One request, no Range, the file right, no temporary left (but
        kept_fifo, a FIFO the build cannot remove)."""
        self.assertEqual(result.code, 0, result.describe())
        self.assertEqual(result.lines[-1], "Downloaded 1 file(s). Ready.", result.describe())
        self.assertEqual((game / name).read_bytes(), body)
        self.assertEqual(len(route.requests), 1, route.requests)
        self.assertNotIn("range", route.requests[0], "resumed from a planted part")
        left = [game / p for p in temporaries_below(game)]
        self.assertEqual([p for p in left if p != kept_fifo], [])

    # ---- scenarios -----------------------------------------------------

    def test_a_planted_partial_body_never_leads_the_download_elsewhere(self):
        """A .part with a valid resume record, where the .part is a hard
        link to a file outside the game folder, a symbolic link to one, or
        a FIFO: the pass does not resume from it, the outside file keeps
        its bytes, and the file is fetched whole and right."""
        for case in ["hard link", "symbolic link", "FIFO"]:
            with self.subTest(part=case):
                game, outside = self.fresh_folders(case.replace(" ", "-"))
                body = random.Random(case).randbytes(BODY_BYTES)
                route, manifest = self.publish(case.replace(" ", "-"), "data.bin", body, '"v-kept"')
                elsewhere = outside / "precious.bin"
                elsewhere.write_bytes(body[:KEPT_BYTES])  # would even pass for the start of the body
                part = game / temporary_name("data.bin")
                if case == "hard link":
                    os.link(elsewhere, part)
                elif case == "symbolic link":
                    part.symlink_to(elsewhere)
                else:
                    make_fifo(part)
                part.with_suffix(".meta").write_bytes(record_text(len(body), '"v-kept"'))

                result = self.patch(game, manifest)
                if case == "FIFO" and not self.fifo_removable:
                    self.assertEqual(result.code, 1, result.describe())
                    self.assertIn("data.bin: the temporary file could not be created", result.stderr)
                    self.assertTrue(part.is_fifo())
                    continue
                self.assertFetchedWhole(result, game, "data.bin", body, route)
                self.assertEqual(elsewhere.read_bytes(), body[:KEPT_BYTES], "the outside file changed")
                self.assertEqual(elsewhere.stat().st_nlink, 1)

    def test_a_resume_record_that_is_no_file_of_its_own_is_not_read(self):
        """A .part of the right bytes beside a resume record that is a
        FIFO, a symbolic link or a hard link to a valid record elsewhere:
        the pass neither waits on the FIFO nor trusts the record, and fetches
        the file whole."""
        for case in ["FIFO", "symbolic link", "hard link"]:
            with self.subTest(record=case):
                game, outside = self.fresh_folders(case.replace(" ", "-"))
                body = random.Random("record " + case).randbytes(BODY_BYTES)
                route, manifest = self.publish(case.replace(" ", "-"), "data.bin", body, '"v-record"')
                part = game / temporary_name("data.bin")
                part.write_bytes(body[:KEPT_BYTES])
                record = part.with_suffix(".meta")
                elsewhere = outside / "record.meta"
                elsewhere.write_bytes(record_text(len(body), '"v-record"'))
                if case == "FIFO":
                    make_fifo(record)
                elif case == "symbolic link":
                    record.symlink_to(elsewhere)
                else:
                    os.link(elsewhere, record)

                result = self.patch(game, manifest)
                kept = record if case == "FIFO" and not self.fifo_removable else None
                self.assertFetchedWhole(result, game, "data.bin", body, route, kept_fifo=kept)
                self.assertEqual(elsewhere.read_bytes(), record_text(len(body), '"v-record"'))

    def test_a_fifo_named_launcher_ini_reads_as_no_file(self):
        """launcher.ini is a FIFO nobody writes to: a check without --url
        ends with the built-in PatchURL (nothing listens there, so the
        server is unreachable), and a patch with --url downloads."""
        game, _ = self.fresh_folders("ini")
        make_fifo(game / "launcher.ini")
        result = self.run_tool(["check", "--dir", self.tool.native(game)])
        self.assertEqual(result.code, 2, result.describe())

        body = random.Random("ini").randbytes(1000)
        route, manifest = self.publish("ini", "small.bin", body, '"v-ini"')
        result = self.patch(game, manifest)
        self.assertFetchedWhole(result, game, "small.bin", body, route)
        self.assertTrue(Path(game / "launcher.ini").is_fifo())


class LinuxKeptFilesTest(KeptFileScenarios, unittest.TestCase):
    target = "linux"


class WindowsKeptFilesTest(KeptFileScenarios, unittest.TestCase):
    target = "windows"
    fifo_removable = False


if __name__ == "__main__":
    sys.exit(run_target_classes([LinuxKeptFilesTest, WindowsKeptFilesTest]))
