"""launcher-patch with a link or FIFO where it keeps its own files between
runs (the partial body .part, the resume record .meta, launcher.ini): it never
writes outside the game folder, resumes from bytes not its own, or waits; the
file is fetched whole. Both builds; under Wine the links and FIFOs are Unix
ones. Standalone: python3 tests/integration/test_kept_files.py [names...]
"""
import os
import random
import sys
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from console_tool import prepare_launcher_patch_class, run_target_classes  # noqa: E402
from harness import entry, manifest_bytes, temporaries_below, temporary_name  # noqa: E402
from test_resume import Route, ScriptedServer, Version  # noqa: E402

BODY_BYTES = 400000  # resumable: 256 KiB or more
KEPT_BYTES = 200000  # what a planted partial body holds


class KeptFileScenarios:
    target = None  # "linux" or "windows", set by the concrete classes
    fifo_removable = True  # Wine can neither delete a FIFO nor rename a file over one

    @classmethod
    def setUpClass(cls):
        prepare_launcher_patch_class(cls, "launcher-kept")
        cls.server = ScriptedServer()
        cls.addClassCleanup(cls.server.stop)
        cls.tool.warm_up()

    def patch(self, case, game, body):
        """Publishes data.bin and runs a pass (90 s at most); (result, route)."""
        route = Route(Version(body, '"v1"'))
        url = self.server.add("%s/%s/data.bin" % (self._testMethodName, case), route)
        manifest = self.server.serve_text("%s/%s/manifest" % (self._testMethodName, case),
                                          manifest_bytes([entry("data.bin", len(body), url)]))
        args = ["patch", "--dir", self.tool.native(game), "--url", manifest]
        return self.tool.run(args, timeout_s=90, timeout_ms=5000), route

    def test_a_planted_part_or_record_never_leads_the_download_elsewhere(self):
        for kept, kind in [(".part", "hard link"), (".part", "symbolic link"), (".part", "FIFO"),
                           (".meta", "hard link"), (".meta", "symbolic link"), (".meta", "FIFO")]:
            with self.subTest(kept=kept, kind=kind):
                case = (kept + " " + kind).replace(" ", "-")
                game, outside = self.sandbox / self._testMethodName / case, self.sandbox / (case + ".bin")
                game.mkdir(parents=True)
                body = random.Random(case).randbytes(BODY_BYTES)
                record = b"launcher-partial 1\nsize %d\nvalidator \"v1\"\n" % len(body)
                valid = {".part": body[:KEPT_BYTES], ".meta": record}  # the kept one outside, the other in place
                planted = (game / temporary_name("data.bin")).with_suffix(kept)
                other = ".meta" if kept == ".part" else ".part"
                planted.with_suffix(other).write_bytes(valid[other])
                outside.write_bytes(valid[kept])
                {"hard link": lambda: os.link(outside, planted), "symbolic link": lambda: planted.symlink_to(outside),
                 "FIFO": lambda: os.mkfifo(planted, 0o600)}[kind]()

                result, route = self.patch(case, game, body)
                blocked = kind == "FIFO" and not self.fifo_removable
                if blocked and kept == ".part":
                    self.assertEqual(result.code, 1, result.describe())
                    self.assertIn("data.bin: the temporary file could not be created", result.stderr)
                    self.assertTrue(planted.is_fifo())
                    continue
                self.assertEqual(result.code, 0, result.describe())
                self.assertEqual((game / "data.bin").read_bytes(), body)
                self.assertEqual(len(route.requests), 1, route.requests)
                self.assertNotIn("range", route.requests[0], "resumed from a planted file")
                self.assertEqual(temporaries_below(game), [planted.name] if blocked else [])
                self.assertEqual((outside.read_bytes(), outside.stat().st_nlink), (valid[kept], 1))

    def test_a_fifo_named_launcher_ini_reads_as_no_file(self):
        # check without --url: the built-in PatchURL, where nothing listens.
        game = self.sandbox / self._testMethodName / "game"
        game.mkdir(parents=True)
        os.mkfifo(game / "launcher.ini", 0o600)
        result = self.tool.run(["check", "--dir", self.tool.native(game)], timeout_s=90, timeout_ms=5000)
        self.assertEqual(result.code, 2, result.describe())
        body = random.Random("ini").randbytes(1000)
        result, _ = self.patch("ini", game, body)
        self.assertEqual(result.code, 0, result.describe())
        self.assertEqual((game / "data.bin").read_bytes(), body)
        self.assertTrue((game / "launcher.ini").is_fifo())


class LinuxKeptFilesTest(KeptFileScenarios, unittest.TestCase):
    target = "linux"


class WindowsKeptFilesTest(KeptFileScenarios, unittest.TestCase):
    target = "windows"
    fifo_removable = False


if __name__ == "__main__":
    sys.exit(run_target_classes([LinuxKeptFilesTest, WindowsKeptFilesTest]))
