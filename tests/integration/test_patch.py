"""Integration scenarios for launcher-patch against real servers on loopback:
a private nginx serving a generated patch tree, and a scripted fault server
for broken answers. The same scenarios run against the Linux build and, under
Wine, against the Windows build (LAUNCHER_PATCH_TARGET=linux|windows picks
one; unset runs both when both are built).

Each test method is one scenario: one game folder, one or more passes of the
tool, several related checks. Servers are shared by the class.
"""
import copy
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from console_tool import prepare_launcher_patch_class  # noqa: E402
from harness import (BarQuery, Endless, FaultServer, Held, Nginx, Reply, SilentListener,  # noqa: E402
                     entry, manifest_bytes, quote_path, snapshot, snapshot_changes, temporaries_below,
                     temporary_name, utf16_units, wait_until, write_file, write_launcher_ini)
from tls_nginx import TlsNginx, make_authority  # noqa: E402  (scripts/, which harness puts on the path)

CONTACTING = "Contacting patch server..."
UNREACHABLE = "Could not reach patch server (launcher.ini)."
UP_TO_DATE = "Everything up to date."
STALL_TIMEOUT_MS = 1500

MIB = 1 << 20


def all_ok(total):
    return "All %d files OK - ready to play." % total


def missing(count):
    return "%d file(s) differ - run launcher-patch patch." % count


def downloaded(count):
    return "Downloaded %d file(s). Ready." % count


def finished_with(errors):
    return "Finished with %d error(s)." % errors


def content_of(name, size):
    """Reproducible bytes of a given size, different for every name."""
    return random.Random(name).randbytes(size)


def on_disk(game, relative):
    """Where a manifest path lands on the Linux side of either build."""
    return Path(game) / relative.replace("\\", "/")


class PatchToolScenarios:
    target = None  # "linux" or "windows", set by the concrete classes

    @classmethod
    def setUpClass(cls):
        prepare_launcher_patch_class(cls, "launcher-patch")
        cls.nginx = Nginx(cls.sandbox / "srv", cls.sandbox / "nginx")
        cls.addClassCleanup(cls.nginx.stop)
        cls.nginx.start()
        cls.fault = FaultServer()
        cls.addClassCleanup(cls.fault.stop)
        cls.fault.start()
        cls.tool.warm_up()

    # ---- helpers -------------------------------------------------------

    def setUp(self):
        self.area = self.sandbox / self._testMethodName
        self.game = self.area / "game"
        self.game.mkdir(parents=True)
        self.served = self.sandbox / "srv" / self._testMethodName

    def publish(self, relative, content):
        """Puts content in the nginx tree; returns its URL."""
        write_file(self.served / relative, content)
        return self.nginx.url(self._testMethodName + "/" + quote_path(relative))

    def publish_manifest(self, name, lines, crlf=False):
        return self.publish("manifests/" + name, manifest_bytes(lines, crlf))

    def route(self, name, reply):
        """A fault-server route private to this scenario; returns its URL."""
        return self.fault.route(self._testMethodName + "/" + name, reply)

    def run_tool(self, mode, url=None, game=None, **kwargs):
        args = [mode, "--dir", self.tool.native(game or self.game)]
        if url is not None:
            args += ["--url", url]
        return self.tool.run(args, **kwargs)

    def assertOutcome(self, result, code, lines=None, last=None):
        self.assertEqual(result.code, code, result.describe())
        if lines is not None:
            self.assertEqual(result.lines, lines, result.describe())
        if last is not None:
            self.assertTrue(result.lines, result.describe())
            self.assertEqual(result.lines[-1], last, result.describe())

    def assertUnchanged(self, before, root):
        self.assertEqual(snapshot_changes(before, snapshot(root)), [])

    def file_requests(self, prefix):
        uri = "/" + self._testMethodName + "/" + prefix
        return [r for r in self.nginx.requests() if r[1].startswith(uri)]

    # ---- scenarios -----------------------------------------------------

    def test_up_to_date_game_reports_every_sixteenth_entry(self):
        """35 files on disk with the manifest's sizes: progress after 16, 32
        and 35 with the paths as written, comments and blanks not counted,
        CR LF read like LF, and a patch pass fetches nothing."""
        names = []
        for i in range(1, 36):
            if i == 16:
                name = "data/maps/m16.bin"
            elif i == 32:
                name = "data\\sounds\\s32.ogg"
            elif i == 35:
                name = "textures/été/t35.dds"
            else:
                name = "f%02d.bin" % i
            names.append(name)
        lines = ["# patch 4.1 manifest|with|bars", ""]
        for i, name in enumerate(names, 1):
            body = content_of(name, 10 * i)
            write_file(on_disk(self.game, name), body)
            lines.append(entry(name, len(body), self.publish("files/%d.bin" % i, body)))
            if i % 7 == 0:
                lines += ["#", "", "# comment %d|1|http://127.0.0.1:1/x" % i]
        expected_progress = [CONTACTING, "data/maps/m16.bin  (16/35)", "data\\sounds\\s32.ogg  (32/35)",
                             "textures/été/t35.dds  (35/35)"]
        lf = self.publish_manifest("lf.txt", lines)
        crlf = self.publish_manifest("crlf.txt", lines, crlf=True)
        before = snapshot(self.game)

        self.assertOutcome(self.run_tool("check", lf), 0, expected_progress + [all_ok(35)])
        self.assertOutcome(self.run_tool("check", crlf), 0, expected_progress + [all_ok(35)])
        self.assertOutcome(self.run_tool("patch", crlf), 0, expected_progress + [UP_TO_DATE])
        self.assertEqual(self.file_requests("files/"), [])
        self.assertUnchanged(before, self.game)

    def test_line_forms_and_size_fields(self):
        """A single-bar line counts toward the total but is never compared, so
        (N/N) never shows; size -1 matches an absent file and is never
        fetched; a size that is no number expects an empty file; the size
        field reads like atoi (blanks, sign, digits up to the first other)."""
        lines = []
        for i in range(1, 17):
            body = content_of("p%d" % i, i)
            write_file(self.game / ("p%02d.bin" % i), body)
            lines.append(entry("p%02d.bin" % i, len(body), self.publish("files/p%d" % i, body)))
        lines.append(entry("absent.bin", -1, self.publish("files/absent", b"12345")))
        write_file(self.game / "empty.bin", b"")
        lines.append(entry("empty.bin", "none", self.publish("files/empty", b"abc")))
        write_file(self.game / "seven.bin", b"1234567")
        lines.append(entry("seven.bin", " +7 bytes", self.publish("files/seven", b"7654321")))
        lines.append("onebar.bin|12")
        url = self.publish_manifest("forms.txt", lines, crlf=True)

        self.assertOutcome(self.run_tool("check", url), 0, [CONTACTING, "p16.bin  (16/20)", all_ok(20)])
        self.assertOutcome(self.run_tool("patch", url), 0, [CONTACTING, "p16.bin  (16/20)", UP_TO_DATE])
        self.assertFalse((self.game / "absent.bin").exists())
        self.assertFalse((self.game / "onebar.bin").exists())
        self.assertEqual((self.game / "empty.bin").read_bytes(), b"")
        self.assertEqual(self.file_requests("files/"), [])

    def test_patch_brings_differing_files_into_place(self):
        """Missing files (folders created, either separator, non-ASCII names)
        and a file of the wrong size are downloaded byte for byte from a
        manifest with CR LF lines (the URLs end before the CR); a file the
        manifest does not list is left alone; afterwards check and patch
        agree that everything is in place. Check names each file that
        differs, with why, in manifest order before the count."""
        files = {
            "data/maps/a.bin": content_of("a", 70000),
            "keep.bin": content_of("keep", 300),
            "readme.txt": b"Welcome to version 4.1\r\n",
            "données/été.bin": content_of("e", 5),
            "data\\sounds\\b.ogg": content_of("b", 100000),
        }
        lines = []
        for i, (name, body) in enumerate(files.items()):
            lines.append(entry(name, len(body), self.publish("files/%d" % i, body)))
        write_file(self.game / "keep.bin", files["keep.bin"])
        write_file(self.game / "readme.txt", b"Welcome to version 4.0\n")
        write_file(self.game / "saves/slot1.sav", b"player progress")
        url = self.publish_manifest("m.txt", lines, crlf=True)
        before = snapshot(self.area)

        self.assertOutcome(self.run_tool("check", url), 1,
                           [CONTACTING, "data/maps/a.bin: missing", "readme.txt: size 23, manifest says 24",
                            "données/été.bin: missing", "data\\sounds\\b.ogg: missing",
                            "data\\sounds\\b.ogg  (5/5)", missing(4)])
        self.assertUnchanged(before, self.area)

        self.assertOutcome(self.run_tool("patch", url), 0,
                           [CONTACTING, "data\\sounds\\b.ogg  (5/5)", downloaded(4)])
        for name, body in files.items():
            self.assertEqual(on_disk(self.game, name).read_bytes(), body, name)
        self.assertTrue((self.game / "data" / "maps").is_dir())
        self.assertEqual((self.game / "saves/slot1.sav").read_bytes(), b"player progress")
        self.assertEqual(temporaries_below(self.game), [])
        # Only the files that differed were fetched. nginx logs a request just
        # after its last byte went out, so give the log a moment to catch up.
        wait_until(lambda: len(self.file_requests("files/")) >= 4, 5, "nginx to log the downloads")
        self.assertEqual(len(self.file_requests("files/")), 4)

        self.assertOutcome(self.run_tool("check", url), 0, last=all_ok(5))
        self.assertOutcome(self.run_tool("patch", url), 0, last=UP_TO_DATE)

    def test_any_number_of_jobs_leaves_what_one_job_leaves(self):
        """One property over a table of manifests: a pass with 8 jobs leaves
        the same files and gives the same lines, failures and exit status as
        a pass with 1, and so does the check after it. The table names one
        file twice in every way a manifest can (an exact repeat, two URLs,
        repeated and mixed separators, letter case, which Windows folds), a
        file and a folder of one name, and failures among successes."""
        size = 150000
        bodies = {tag: content_of("jobs-" + tag, size) for tag in "ABCD"}
        url = {tag: self.publish("files/%s.bin" % tag, body) for tag, body in bodies.items()}
        small = self.publish("files/small.bin", b"s" * 1000)
        missing_url = self.nginx.url(self._testMethodName + "/files/none.bin")
        many = [entry("f%d.bin" % i, size, url["ABCD"[i % 4]]) for i in range(6)]
        manifests = {
            "repeat": [entry("a.bin", size, url["A"])] * 4 + many,
            "two urls": [entry("a.bin", size, url["A"]), entry("a.bin", size, url["B"]),
                         entry("a.bin", 1000, small), entry("a.bin", size, url["C"])] + many,
            "separators": [entry("sub/a.bin", size, url["A"]), entry("sub//a.bin", size, url["B"]),
                           entry("sub\\a.bin", 1000, small), entry("sub/a.bin", size, url["D"])] + many,
            "case": [entry("A.bin", size, url["A"]), entry("a.bin", 1000, small), entry("a.BIN", size, url["B"])] + many,
            "file and folder": [entry("x", size, url["A"]), entry("x/y.bin", size, url["B"]),
                                entry("d/e.bin", size, url["C"]), entry("d", 1000, small)] + many,
            "failures": many[:3] + [entry("gone.bin", size, missing_url), entry("f0.bin", size, missing_url),
                                    entry("g.bin", -1, url["A"])] + many[3:],
        }
        for name, lines in manifests.items():
            manifest = self.publish_manifest(name.replace(" ", "-") + ".txt", lines)
            outcomes = {}
            for jobs in ("1", "8"):
                game = self.area / ("%s-%s" % (name.replace(" ", "-"), jobs))
                game.mkdir()
                write_file(game / "g.bin", b"present")
                runs = [self.tool.run([mode, "--dir", self.tool.native(game), "--url", manifest, "--jobs", jobs])
                        for mode in ("patch", "check")]
                outcomes[jobs] = ([(r.code, r.lines, sorted(r.stderr.splitlines())) for r in runs], snapshot(game))
            with self.subTest(manifest=name):
                self.assertEqual(outcomes["8"][0], outcomes["1"][0])
                self.assertEqual(snapshot_changes(outcomes["1"][1], outcomes["8"][1]), [])
                self.assertEqual([p for p in outcomes["8"][1] if ".~launcher-" in p], [])

    def test_failing_download_leaves_earlier_downloads_in_place(self):
        """Two differing files, the second URL fails: one error, the first
        file in place, nothing at the second's place."""
        first = content_of("first", 2000)
        url = self.publish_manifest("m.txt", [
            entry("first.bin", len(first), self.publish("files/first.bin", first)),
            entry("second.bin", 10, self.nginx.url(self._testMethodName + "/files/not-there.bin")),
        ])
        result = self.run_tool("patch", url)
        self.assertOutcome(result, 1, [CONTACTING, "second.bin  (2/2)", finished_with(1)])
        self.assertEqual(result.stderr.splitlines(), ["launcher-patch: second.bin: HTTP status 404"])
        self.assertEqual((self.game / "first.bin").read_bytes(), first)
        self.assertEqual(sorted(p.name for p in self.game.iterdir()), ["first.bin"])

    def test_manifest_texts_that_are_not_plain(self):
        """A source URL keeps every bar after the second. A page that is no
        manifest (text lines, no entry line) is unreachable, into an empty
        folder too; a body of only comments and blank lines is an empty
        manifest. A manifest marked by launcher-manifest counts only with its
        matching end line, followed by nothing but comments and blank lines:
        any other is unreachable, and launcher-patch says what is wrong."""
        body = b"barred"
        bar_url = self.route("bar.bin", BarQuery(body)) + "?part=1|2"
        url = self.publish_manifest("bar.txt", [entry("bar.bin", len(body), bar_url)])
        self.assertOutcome(self.run_tool("patch", url), 0, [CONTACTING, "bar.bin  (1/1)", downloaded(1)])
        self.assertEqual((self.game / "bar.bin").read_bytes(), body)

        page = self.publish("manifests/error.html",
                            b"<html>\r\n<head><title>Maintenance</title></head>\r\n"
                            b"<body>Back soon.</body>\r\n</html>\r\n")
        empty_game = self.area / "empty-game"
        empty_game.mkdir()
        for game in (self.game, empty_game):
            self.assertOutcome(self.run_tool("check", page, game=game), 2, [CONTACTING, UNREACHABLE])
            self.assertOutcome(self.run_tool("patch", page, game=game), 2, [CONTACTING, UNREACHABLE])
        self.assertEqual(list(empty_game.iterdir()), [])
        comments = self.publish("manifests/comments.txt", b"# nothing to deliver yet\r\n\r\n  \n#\n")
        self.assertOutcome(self.run_tool("check", comments), 0, [CONTACTING, all_ok(0)])
        self.assertOutcome(self.run_tool("patch", comments), 0, [CONTACTING, UP_TO_DATE])

        one = content_of("marked", 40)
        write_file(self.game / "one.bin", one)
        lines = [entry("one.bin", len(one), self.publish("files/one.bin", one)),
                 entry("two.bin", 3, self.publish("files/two.bin", b"two"))]
        head, end = "#launcher-manifest entries=2", "#end entries=2"
        for name, text, code, last, why in [
            ("whole", [head] + lines + [end], 1, missing(1), None),
            ("comments after the end line", [head] + lines + [end, "# release 41", "", "#"], 1, missing(1), None),
            ("cut before the end line", [head] + lines, 2, UNREACHABLE,
             '2 entry lines, but no "#end entries=2" line (cut off?)'),
            ("cut after one entry", [head] + lines[:1], 2, UNREACHABLE,
             '1 entry line, but no "#end entries=2" line (cut off?)'),
            ("an entry lost", [head] + lines[:1] + [end], 2, UNREACHABLE, "1 entry line, but #end says 2"),
            ("end line of another count", [head] + lines + ["#end entries=3"], 2, UNREACHABLE,
             "2 entry lines; the first line says 2, #end says 3"),
            ("end line not last", [head] + lines[:1] + [end] + lines[1:], 2, UNREACHABLE,
             'an entry line after "#end entries=2"'),
        ]:
            with self.subTest(marked=name):
                result = self.run_tool("check", self.publish_manifest(name + ".txt", text))
                self.assertOutcome(result, code, last=last)
                self.assertEqual(result.stderr.splitlines(), [] if why is None else ["launcher-patch: manifest: " + why])
        self.assertFalse((self.game / "two.bin").exists())

    def test_non_success_statuses_are_failures(self):
        """A manifest answered with 404 or 500 (even with manifest text in the
        body) or an empty body is unreachable; a file answered with 404 or
        500 is an error even when its body has the expected size, and
        nothing of it is written."""
        good = content_of("good", 3000)
        good_url = self.publish("files/good.bin", good)
        manifest_text = manifest_bytes([entry("good.bin", len(good), good_url)])
        page = self.publish("manifests/page.html", b"<html><body>Back soon.</body></html>\n")
        cut = self.publish_manifest("cut.txt", ["#launcher-manifest entries=1", entry("good.bin", 1, good_url)])
        for name, url, why in [
            ("404", self.nginx.url(self._testMethodName + "/manifests/none.txt"), "HTTP status 404"),
            ("500", self.route("manifest500", Reply(status=500, body=manifest_text)), "HTTP status 500"),
            ("503", self.route("manifest503", Reply(status=503, body=manifest_text)), "HTTP status 503"),
            ("empty", self.route("manifest-empty", Reply(body=b"")), "the body is empty"),
            ("page", page, "not a manifest: text lines but no entry line"),
            ("cut", cut, "1 entry line, but no \"#end entries=1\" line (cut off?)"),
            ("closed port", "http://127.0.0.1:1/manifest.txt", "could not connect to the server"),
        ]:
            for mode in ("check", "patch"):
                with self.subTest(manifest=name, mode=mode):
                    result = self.run_tool(mode, url)
                    self.assertOutcome(result, 2, [CONTACTING, UNREACHABLE])
                    self.assertEqual(result.stderr.splitlines(), ["launcher-patch: manifest: " + why])
        no_ini = self.tool.run(["check", "--dir", self.tool.native(self.game)])
        self.assertIn("launcher-patch: no launcher.ini in %s, using the built-in PatchURL" % self.tool.native(self.game),
                      no_ini.stderr.splitlines())
        self.assertFalse((self.game / "good.bin").exists())

        old = b"version 1 of the file\n"
        write_file(self.game / "old.bin", old)
        error_page = b"<html><body>Internal Server Error</body></html>\n" * 3
        not_found_url = self.nginx.url(self._testMethodName + "/files/gone.bin")
        with self.assertRaises(urllib.error.HTTPError) as caught:
            urllib.request.urlopen(not_found_url, timeout=10)
        not_found_page = caught.exception.read()
        url = self.publish_manifest("files.txt", [
            entry("old.bin", len(error_page), self.route("old500", Reply(status=500, body=error_page))),
            entry("gone.bin", len(error_page), self.route("gone404", Reply(status=404, body=error_page))),
            entry("nginx404.bin", len(not_found_page), not_found_url),
            entry("good.bin", len(good), good_url),
        ])
        self.assertOutcome(self.run_tool("patch", url), 1, last=finished_with(3))
        self.assertEqual((self.game / "old.bin").read_bytes(), old)
        self.assertFalse((self.game / "gone.bin").exists())
        self.assertFalse((self.game / "nginx404.bin").exists())
        self.assertEqual((self.game / "good.bin").read_bytes(), good)
        self.assertEqual(temporaries_below(self.game), [])

    def test_unsafe_relative_paths_are_refused(self):
        """Paths that could name something outside the game folder, or that
        Windows would read as a device, a stream or another name, are refused
        before anything is created: differing in check mode (even when a file
        of that name and size exists), an error in patch mode. Harmless names
        that merely look alike are patched as usual."""
        body = content_of("payload", 64)
        source = self.publish("files/payload.bin", body)
        outside = self.area / "outside"
        outside.mkdir()
        unsafe = [
            "", " ", ".", "..", "sub/.",
            "/rooted.bin", "\\rooted.bin", "//server/share/unc.bin", "\\\\server\\share\\unc.bin",
            "\\\\?\\C:\\device.bin", "\\\\.\\pipe\\device.bin",
            "C:/drive-escape.bin", "C:drive-relative.bin", "c:\\drive-escape.bin",
            "../outside/new.bin", "../outside/same.bin", "a/../../outside/new2.bin",
            "sub/../same-inside.bin", "sub\\..\\..\\outside\\new3.bin", "..\\outside\\new4.bin",
            "a:b.bin", "sub/stream.bin:hidden",
            "ctl\x01.bin", "tab\there.bin", "esc\x1b.bin", "del\x7f.bin",
            "lt<.bin", "gt>.bin", 'quote".bin', "what?.bin", "star*.bin",
            "CON", "prn.txt", "Aux/inner.bin", "NUL", "COM1", "lpt9.dat", "sub/nul.tar.gz",
            "con .txt", "data/CoM9/x.bin",
            "dot./x.bin", "x.bin.", "space /x.bin", "x.bin ",
        ]
        # Files that a comparison through the unsafe name would find with
        # the expected size.
        precreated_inside = ["same-inside.bin", "a:b.bin", "prn.txt", "CON", "NUL", "COM1", "lpt9.dat",
                             "lt<.bin", "what?.bin", "star*.bin", 'quote".bin', "x.bin.", "x.bin ",
                             "ctl\x01.bin", "Aux/inner.bin", "dot./x.bin", "sub/nul.tar.gz", "con .txt"]
        for name in precreated_inside:
            write_file(self.game / name, b"p" * len(body))
        write_file(outside / "same.bin", b"p" * len(body))
        look_alikes = ["CONSOLE.bin", "com10.bin", "aux_data/x.bin", "lpt.bin", ".hidden.bin", "a..b.bin",
                       "nulled/inner.bin", "sub dir/x y.bin", "ünïcode/ñ.bin"]
        lines = [entry(name, len(body), source) for name in unsafe + look_alikes]
        url = self.publish_manifest("unsafe.txt", lines)
        total = len(unsafe) + len(look_alikes)
        before = snapshot(self.area)

        check = self.run_tool("check", url)
        self.assertOutcome(check, 1, last=missing(total))
        self.assertEqual(check.lines[-2], "ünïcode/ñ.bin  (%d/%d)" % (total, total))
        self.assertUnchanged(before, self.area)

        patch = self.run_tool("patch", url)
        self.assertOutcome(patch, 1, last=finished_with(len(unsafe)))
        created = snapshot_changes(before, snapshot(self.area))
        expected = set()
        for name in look_alikes:
            parts = name.split("/")
            for depth in range(1, len(parts) + 1):
                expected.add("created game/" + "/".join(parts[:depth]))
        self.assertEqual(sorted(created), sorted(expected))
        for name in look_alikes:
            self.assertEqual((self.game / name).read_bytes(), body, name)
        if self.tool.windows:
            prefix = Path(os.environ.get("WINEPREFIX", Path.home() / ".wine"))
            self.assertFalse((prefix / "drive_c" / "drive-escape.bin").exists())
            self.assertFalse((prefix / "drive_c" / "drive-relative.bin").exists())

    def test_the_players_own_links_are_followed(self):
        """A folder link in the game folder was made by the player (a manifest
        cannot make one): downloads through it land where it leads, at any
        depth, and check agrees afterwards. A file link is replaced, never
        written through. A stale temporary that is a link, dangling or not,
        is removed like any stale temporary, never written through."""
        if self.tool.windows:
            # Wine does not write through POSIX links to folders at all, so
            # it cannot stand in for Windows junctions here.
            self.skipTest("symbolic links are a POSIX matter here")
        moved = self.area / "other-disk" / "data"
        write_file(moved / "old.bin", b"the player's copy")
        write_file(self.area / "outside" / "secret.txt", b"do not touch")
        outside = self.area / "outside"
        (self.game / "real").mkdir()
        (self.game / "data").symlink_to(moved, target_is_directory=True)
        (self.game / "inner").symlink_to(self.game / "real", target_is_directory=True)
        (self.game / "file-link.bin").symlink_to(outside / "secret.txt")
        body = content_of("sym", 500)
        source = self.publish("files/sym.bin", body)
        url = self.publish_manifest("links.txt", [
            entry("data/maps/a.bin", len(body), source),
            entry("data/deeper/still/b.bin", len(body), source),
            entry("inner/fine.bin", len(body), source),
            entry("file-link.bin", len(body), source),
        ])
        outside_before = snapshot(outside)

        self.assertOutcome(self.run_tool("check", url), 1, last=missing(4))
        self.assertOutcome(self.run_tool("patch", url), 0, last=downloaded(4))
        self.assertUnchanged(outside_before, outside)
        self.assertTrue((self.game / "data").is_symlink())
        self.assertEqual((moved / "maps" / "a.bin").read_bytes(), body)
        self.assertEqual((moved / "deeper" / "still" / "b.bin").read_bytes(), body)
        self.assertEqual((moved / "old.bin").read_bytes(), b"the player's copy")
        self.assertEqual((self.game / "real" / "fine.bin").read_bytes(), body)
        self.assertFalse((self.game / "file-link.bin").is_symlink())
        self.assertEqual((self.game / "file-link.bin").read_bytes(), body)
        self.assertOutcome(self.run_tool("check", url), 0, last=all_ok(4))
        self.assertEqual(temporaries_below(moved), [])

        (self.game / temporary_name("victim.bin")).symlink_to(outside / "secret.txt")
        (self.game / temporary_name("planted.bin")).symlink_to(outside / "planted.bin")  # dangling
        url = self.publish_manifest("temporaries.txt", [entry("victim.bin", len(body), source),
                                                        entry("planted.bin", len(body), source)])
        self.assertOutcome(self.run_tool("patch", url), 0, last=downloaded(2))
        self.assertUnchanged(outside_before, outside)
        for name in ("victim.bin", "planted.bin"):
            self.assertFalse((self.game / name).is_symlink(), name)
            self.assertEqual((self.game / name).read_bytes(), body, name)
        self.assertEqual(temporaries_below(self.game), [])

    def test_overlong_fields_and_paths_are_refused(self):
        """The relative path may hold 511 UTF-16 units (counted as units, not
        bytes or characters), which makes a local path far over Windows'
        MAX_PATH of 260 that is installed all the same; the source URL may
        hold 699. One unit more is refused like an unsafe path, and the
        progress text is cut to the 255 units of the status line."""
        prefix_units = utf16_units(self.tool.native(self.game)) + len(self.tool.separator)

        def relative_of(tag, units):
            """A relative path of exactly units UTF-16 units with an emoji
            (one character, two units, four UTF-8 bytes) in it."""
            path = tag + "\U0001F600"
            tail = "/x.bin"
            left = units - utf16_units(path) - len(tail)
            while left > 0:
                step = min(60, left - 1)
                if left - (step + 1) == 1:
                    step -= 1
                path += "/" + "d" * step
                left -= step + 1
            path += tail
            assert utf16_units(path) == units
            return path

        body = content_of("len", 1000)
        source = self.publish("files/len.bin", body)
        fits = relative_of("fits", 511)
        too_long = relative_of("long", 512)
        self.assertGreater(prefix_units + 511, 300)
        url_base = self.publish("files/url.bin", body) + "?pad="
        url_fits = url_base + "é" * (699 - utf16_units(url_base))
        url_too_long = url_fits + "é"
        write_file(self.game / "url-long.bin", body)  # present with the expected size
        huge = "r" * 600
        url = self.publish_manifest("lengths.txt", [
            entry(fits, len(body), source),
            entry(too_long, len(body), source),
            entry("url-fits.bin", len(body), url_fits),
            entry("url-long.bin", len(body), url_too_long),
            entry(huge, len(body), source),
        ])
        cut_progress = (huge + "  (5/5)")[:255]
        before = snapshot(self.area)

        differs = [fits + ": missing", too_long[:-1] + ": refused path", "url-fits.bin: missing",
                   "url-long.bin: refused path", huge[:511] + ": refused path"]  # paths cut to 511 units
        self.assertOutcome(self.run_tool("check", url), 1, [CONTACTING] + differs + [cut_progress, missing(5)])
        self.assertUnchanged(before, self.area)
        self.assertOutcome(self.run_tool("patch", url), 1, [CONTACTING, cut_progress, finished_with(3)])
        self.assertEqual(on_disk(self.game, fits).read_bytes(), body)
        self.assertEqual((self.game / "url-fits.bin").read_bytes(), body)
        self.assertEqual(sorted(p.name for p in self.game.iterdir()),
                         sorted([fits.split("/")[0], "url-fits.bin", "url-long.bin"]))
        self.assertOutcome(self.run_tool("check", url), 1, last=missing(3))

    def test_broken_bodies_never_leave_a_wrong_file(self):
        """A body cut off by the server, announced longer than sent, longer
        or shorter than the manifest says: each is an error, the old file
        stays byte for byte, no file appears where there was none, no
        temporary is left, and the pass goes on with the next file."""
        size = 150000  # several transfer buffers and more than one staging round
        new = content_of("new", size)
        faults = {
            "cut.bin": Reply(body=new[:size // 2], content_length=size),
            "overannounced.bin": Reply(body=new, content_length=size + 1000),
            "longer.bin": Reply(body=new + new),
            "shorter.bin": Reply(body=new[:size - 1]),
            "shorter-unannounced.bin": Reply(body=new[:size - 10], content_length=None),
            "cut-new.bin": Reply(body=new[:1000], content_length=size),
        }
        lines = []
        for name, reply in faults.items():
            if name != "cut-new.bin":
                write_file(self.game / name, b"old contents of " + name.encode())
            lines.append(entry(name, size, self.route(name, reply)))
            lines.append(entry("ok-after-" + name, size, self.publish("files/new.bin", new)))
        url = self.publish_manifest("broken.txt", lines)
        before = snapshot(self.game)

        self.assertOutcome(self.run_tool("patch", url), 1, last=finished_with(len(faults)))
        after = snapshot(self.game)
        for name in faults:
            self.assertEqual(after.get(name), before.get(name), name)
            self.assertEqual(after["ok-after-" + name], new)
        self.assertEqual(temporaries_below(self.game), [])
        self.assertOutcome(self.run_tool("check", url), 1, last=missing(len(faults)))

    def test_check_only_reads_and_patch_clears_its_own_temporaries(self):
        """Check writes nothing: a stale temporary stays, and so does a game
        file that merely ends in ".part~". Patch removes the stale
        temporaries of the files it lists (up to date or not) and, in the
        folders it lists files in, those of files it no longer lists, and
        only names of its own form; a manifest entry that names a temporary
        is refused."""
        body = content_of("stale", 4000)
        source = self.publish("files/stale.bin", body)
        write_file(self.game / "a.bin", body)
        write_file(self.game / temporary_name("a.bin"), body[:100])
        write_file(self.game / "sub" / temporary_name("b.bin"), body[:200])
        write_file(self.game / temporary_name("notlisted.bin"), b"left by a file no longer listed")
        write_file(self.game / (temporary_name("notlisted.bin")[:-len(".part")] + ".meta"), b"its record")
        write_file(self.game / "sub" / temporary_name("gone.bin"), b"another one")
        write_file(self.game / "c.bin", body[:300])
        write_file(self.game / "c.bin.part~", b"a real game file with an odd name")
        write_file(self.game / "music.part", b"a real game file too")
        planted = temporary_name("x.bin")
        url = self.publish_manifest("stale.txt", [entry("a.bin", len(body), source),
                                                  entry("sub/b.bin", len(body), source),
                                                  entry("c.bin", len(body), source),
                                                  entry(planted, len(body), source),
                                                  entry("sub/" + planted.upper(), len(body), source)])
        before = snapshot(self.game)

        self.assertOutcome(self.run_tool("check", url), 1, last=missing(4))
        self.assertUnchanged(before, self.game)
        self.assertOutcome(self.run_tool("patch", url), 1, last=finished_with(2))
        self.assertEqual((self.game / "sub/b.bin").read_bytes(), body)
        self.assertEqual((self.game / "c.bin").read_bytes(), body)
        self.assertEqual((self.game / "c.bin.part~").read_bytes(), b"a real game file with an odd name")
        self.assertEqual((self.game / "music.part").read_bytes(), b"a real game file too")
        self.assertEqual(temporaries_below(self.game), [])
        self.assertFalse((self.game / planted).exists())

    def test_negative_sizes_never_install_a_body(self):
        """Only -1 means something (the file must be absent); no negative size
        ever installs a body. An absent file matches -1; a present one
        differs and, in patch, is removed; any other negative size differs
        and is an error, with nothing fetched, even for a body cut short that
        an unchecked size would have let through."""
        cut = Reply(body=b"12345", content_length=None)
        write_file(self.game / "present.bin", b"player data")
        url = self.publish_manifest("negative.txt", [
            entry("absent.bin", -1, self.route("absent", cut)),
            entry("present.bin", -1, self.route("present", cut)),
            entry("minus-five.bin", -5, self.route("minus5", cut)),
            entry("big-minus.bin", "-9223372036854775808", self.route("bigminus", cut)),
        ])
        self.assertOutcome(self.run_tool("check", url), 1, last=missing(3))
        self.assertOutcome(self.run_tool("patch", url), 1, last=finished_with(2))
        for name in ("present.bin", "absent.bin", "minus-five.bin", "big-minus.bin"):
            self.assertFalse((self.game / name).exists(), name)
        for route in ("absent", "present", "minus5", "bigminus"):
            self.assertEqual(self.fault.hits_of("%s/%s" % (self._testMethodName, route)), 0, route)
        self.assertEqual(temporaries_below(self.game), [])

    def test_minus_one_removes_a_file_and_nothing_else(self):
        """Patch removes a present regular file listed with -1, with its
        leftover temporary and resume record, and counts it as handled; one
        listed after a download of the same file removes what that one left.
        A folder, a link, launcher.ini at the top of the game folder (in any
        letter case on Windows) and the running program (however the game
        folder is given) are errors, left as they are; a launcher.ini below
        the top is an ordinary file."""
        body = content_of("removal", 700)
        source = self.publish("files/removal.bin", body)
        write_file(self.game / "gone.bin", b"retired")
        write_file(self.game / temporary_name("gone.bin"), b"a part")
        write_file(self.game / (temporary_name("gone.bin")[:-len(".part")] + ".meta"), b"its record")
        write_file(self.game / "maps" / "kept.map", b"inside a folder listed with -1")
        write_launcher_ini(self.game, "http://127.0.0.1:9/unused.txt")
        write_file(self.game / "sub" / "launcher.ini", b"an old game file")
        write_file(self.area / "outside" / "target.bin", b"do not touch")
        (self.game / "link.bin").symlink_to(self.area / "outside" / "target.bin")
        program = copy.copy(self.tool)
        program.exe = self.game / self.tool.exe.name
        shutil.copyfile(self.tool.exe, program.exe)
        program.exe.chmod(0o755)
        ini_name = "LAUNCHER.Ini" if self.tool.windows else "launcher.ini"
        url = self.publish_manifest("removal.txt", [
            entry("gone.bin", -1, source), entry("absent.bin", -1, source), entry("maps", -1, source),
            entry(ini_name, -1, source), entry("sub/launcher.ini", -1, source), entry("link.bin", -1, source),
            entry(program.exe.name, -1, source),
            entry("again.bin", len(body), source), entry("again.bin", -1, source),
        ])
        ini_before = (self.game / "launcher.ini").read_bytes()
        args = ["--dir", program.native(self.game), "--url", url]

        check = program.run(["check"] + args)
        self.assertOutcome(check, 1, last=missing(7))
        self.assertIn("maps: must not exist", check.lines)
        self.assertTrue((self.game / "gone.bin").exists())
        result = program.run(["patch"] + args)
        self.assertOutcome(result, 1, last=finished_with(4))
        for reason in ("a folder is never removed", "launcher.ini is never removed", "a link is never removed",
                       "the running program is never removed"):
            self.assertIn(reason, result.describe())
        for name in ("gone.bin", "absent.bin", "sub/launcher.ini", "again.bin"):
            self.assertFalse((self.game / name).exists(), name)
        self.assertEqual(temporaries_below(self.game), [])
        self.assertEqual((self.game / "maps" / "kept.map").read_bytes(), b"inside a folder listed with -1")
        self.assertEqual((self.game / "launcher.ini").read_bytes(), ini_before)
        self.assertTrue((self.game / "link.bin").is_symlink())
        self.assertEqual((self.area / "outside" / "target.bin").read_bytes(), b"do not touch")
        self.assertTrue(program.exe.exists())
        relative = program.run(["patch", "--dir", ".", "--url", url], cwd=self.game)
        self.assertIn("the running program is never removed", relative.describe())
        self.assertTrue(program.exe.exists())

        write_file(self.game / "sub" / "retired.dat", b"x")
        url = self.publish_manifest("clean.txt", [entry("sub/retired.dat", -1, source),
                                                  entry("again.bin", -1, source)])
        self.assertOutcome(self.run_tool("patch", url), 0, last=downloaded(1))
        self.assertOutcome(self.run_tool("check", url), 0, last=all_ok(2))
        self.assertEqual(len(self.file_requests("files/")), 2)  # again.bin in each pass; a removal fetches nothing

    def test_the_tool_replaces_its_own_file(self):
        """launcher-patch in the game folder installs a new build of its own
        file as an ordinary download: the new file keeps the old one's
        execute bit and runs. On Windows the running file was set aside under
        the engine's own hidden name, which the new file's first start
        removes."""
        program = copy.copy(self.tool)
        program.exe = self.game / self.tool.exe.name
        shutil.copyfile(self.tool.exe, program.exe)
        program.exe.chmod(0o750)
        body = self.tool.exe.read_bytes() + b"a newer build"
        url = self.publish_manifest("self.txt", [entry(program.exe.name, len(body),
                                                       self.publish("files/self.bin", body))])
        args = ["--dir", program.native(self.game), "--url", url]

        self.assertOutcome(program.run(["patch"] + args), 0, last=downloaded(1))
        self.assertEqual(program.exe.read_bytes(), body)
        set_aside = temporary_name(program.exe.name.lower())[:-len(".part")] + ".old"
        self.assertEqual([p.name for p in self.game.glob(".~*")], [set_aside] if self.tool.windows else [])
        if not self.tool.windows:
            self.assertEqual(program.exe.stat().st_mode & 0o777, 0o750)
        self.assertEqual(program.run(["--version"]).lines, ["launcher-patch " + self.tool.version()])
        self.assertEqual(list(self.game.glob(".~*")), [])
        self.assertOutcome(program.run(["check"] + args), 0, last=all_ok(1))

    def test_names_at_the_file_system_limit_install(self):
        """File names of up to 255 bytes (the limit of the file systems here),
        in a folder of their own too, are installed: the temporary's name
        never outgrows the target's."""
        names = ["n" * 255, "deep/" + "m" * 250 + ".pak"]
        if not self.tool.windows:
            names.append("\u00e9" * 127)  # 254 bytes of UTF-8
        body = content_of("long-name", 700)
        source = self.publish("files/long.bin", body)
        url = self.publish_manifest("long-names.txt", [entry(name, len(body), source) for name in names])
        self.assertOutcome(self.run_tool("patch", url), 0, last=downloaded(len(names)))
        for name in names:
            self.assertEqual(on_disk(self.game, name).read_bytes(), body, name[:20])
        self.assertEqual(temporaries_below(self.game), [])
        self.assertOutcome(self.run_tool("check", url), 0, last=all_ok(len(names)))

    def test_a_replace_is_on_the_disk_before_it_is_reported(self):
        """Seen through strace (Linux): the temporary is flushed (fsync)
        before it is renamed over the target, and the folder is synced after
        the rename (once for all the files moved into it, however the
        manifest alternates between folders), so a power cut cannot leave an
        empty file in place. Each folder is also looked into for stale
        temporaries once.
        Wine's file calls cannot be traced this way, so the Windows build
        (FlushFileBuffers, MOVEFILE_WRITE_THROUGH) is not checked here."""
        if self.tool.windows:
            self.skipTest("system calls are traced on Linux only")
        if shutil.which("strace") is None:
            self.fail("strace is not installed (scripts/install-deps.sh installs it)")
        if subprocess.run(["strace", "-qq", "-o", os.devnull, "true"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("this machine does not let strace trace a program (ptrace is not permitted)")
        body = content_of("durable", 9000)
        others = [entry("%s/other-%d.bin" % ("side" if i % 2 == 0 else "sub", i), 100 + i,
                        self.publish("files/other-%d.bin" % i, content_of(i, 100 + i))) for i in range(3)]
        url = self.publish_manifest("durable.txt", [entry("sub/durable.bin", len(body),
                                                          self.publish("files/durable.bin", body))] + others)
        trace = self.area / "trace.txt"
        (self.game / "sub").mkdir()
        (self.game / "side").mkdir()
        args = ["patch", "--dir", self.tool.native(self.game), "--url", url, "--jobs", "1"]  # one call a line
        subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat,fsync,fdatasync,rename,renameat,renameat2",
                        "-o", str(trace)] + self.tool.command(args), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.tool.environment(),
                       timeout=120, check=True)
        self.assertEqual(on_disk(self.game, "sub/durable.bin").read_bytes(), body)
        calls = [line.split(None, 1)[1] for line in trace.read_text().splitlines() if " " in line]
        folder = str(self.game / "sub")
        temporary = folder + "/" + temporary_name("durable.bin")

        def index_of(predicate, start=0):
            for i in range(start, len(calls)):
                if predicate(calls[i]):
                    return i
            self.fail("no such call after #%d in:\n%s" % (start, "\n".join(calls[start:])))

        opened = index_of(lambda c: c.startswith("openat(") and '"%s"' % temporary in c and "O_RDWR" in c and
                          "= -1" not in c)
        fd = calls[opened].rsplit("= ", 1)[1]
        renamed = index_of(lambda c: c.startswith("rename") and '"%s"' % temporary in c, opened)
        synced = [i for i in range(opened, renamed) if calls[i].startswith(("fsync(%s)" % fd, "fdatasync(%s)" % fd))]
        self.assertTrue(synced, "the temporary was not flushed before the rename")
        # (A folder opened with O_PATH is one the pass looks up files in.)
        folder_opened = index_of(lambda c: c.startswith("openat(") and '"%s"' % folder in c and "O_DIRECTORY" in c
                                 and "O_PATH" not in c, renamed)
        folder_fd = calls[folder_opened].rsplit("= ", 1)[1]
        index_of(lambda c: c.startswith("fsync(%s)" % folder_fd), folder_opened)
        # The files of each folder cost it one sync, not one each, nor one
        # each time the manifest comes back to it.
        for synced in (folder, str(self.game / "side")):
            opened = [c for c in calls if '"%s"' % synced in c and "O_DIRECTORY" in c and "O_PATH" not in c and
                      "= -1" not in c]
            self.assertEqual(sum("O_NONBLOCK" not in c for c in opened), 1, synced)  # synced
            self.assertEqual(sum("O_NONBLOCK" in c for c in opened), 1, synced)  # listed

    def test_transfers_side_by_side_report_as_one_by_one(self):
        """Two hundred small files with the default eight transfers give the
        very report lines of a pass that fetches them one by one, and the
        same files."""
        lines = []
        bodies = {}
        for i in range(200):
            name = "many/%03d.bin" % i
            bodies[name] = content_of(name, 500 + 37 * i)
            lines.append(entry(name, len(bodies[name]), self.publish("files/%03d" % i, bodies[name])))
        url = self.publish_manifest("many.txt", lines)
        one_by_one = self.area / "one-by-one"
        one_by_one.mkdir()
        serial = self.tool.run(["patch", "--dir", self.tool.native(one_by_one), "--url", url, "--jobs", "1"])
        self.assertOutcome(serial, 0, last=downloaded(200))
        parallel = self.run_tool("patch", url)
        self.assertOutcome(parallel, 0, serial.lines)
        for name, body in bodies.items():
            self.assertEqual(on_disk(self.game, name).read_bytes(), body, name)

    def test_https_downloads_are_streams_of_one_http2_connection(self):
        """Over HTTPS with HTTP/2 (nginx with a certificate from a throwaway
        CA that SSL_CERT_FILE names), the manifest and every file travel as
        streams of one connection, and once the server is seen to multiplex,
        more downloads run at once than --jobs (each small file paced to
        take a second, so the server's log shows them overlap). A large file
        outruns the reader and is paused and resumed on the way; one listed
        smaller than it is fails as it would over HTTP/1.1, its stream given
        up while paused. Files and report are those of any pass."""
        if self.target != "linux":
            self.skipTest("WinINet trusts only the system's certificate store")
        slow = "slow/"
        small = {"slow/%02d.bin" % i: content_of("h2-%d" % i, 3000) for i in range(24)}
        large = content_of("h2-large", 3 * MIB + 17)
        for name, body in list(small.items()) + [("large.bin", large)]:
            write_file(self.served / name, body)
        authority = make_authority(self.area / "ca")
        location = "location /%s/%s { limit_rate 2k; }" % (self._testMethodName, slow)
        with TlsNginx(self.sandbox / "srv", self.area / "tls", authority, extra_config=location).start() as server:
            def url(name):
                return server.tls_url(self._testMethodName + "/" + name)
            lines = [entry(name, len(body), url(name)) for name, body in small.items()]
            lines.append(entry("large.bin", len(large), url("large.bin")))
            lines.append(entry("short.bin", 1000, url("large.bin")))
            write_file(self.served / "manifests/h2.txt", manifest_bytes(lines))
            result = self.run_tool("patch", url("manifests/h2.txt"), env=dict(os.environ, SSL_CERT_FILE=authority.ca))
            self.assertEqual(result.code, 1, result.describe())
            self.assertEqual(result.lines[-1], finished_with(1), result.describe())
            self.assertIn("short.bin: size mismatch: the body is larger than the manifest says", result.stderr)
            served = server.served_requests(27)
        for name, body in list(small.items()) + [("large.bin", large)]:
            self.assertEqual(on_disk(self.game, name).read_bytes(), body, name)
        self.assertFalse(on_disk(self.game, "short.bin").exists())
        self.assertEqual(len(served), 27)
        self.assertEqual({r.protocol for r in served}, {"HTTP/2.0"})
        self.assertEqual(len({r.connection for r in served}), 1, "the requests opened more than one connection")
        paced = [r for r in served if slow in r.uri]
        most = max(sum(1 for o in paced if o.start < r.end and r.start < o.end) for r in paced)
        self.assertGreater(most, 8, "no more downloads ran at once than the default eight jobs")

    def test_ctrl_c_stops_at_once_and_keeps_the_partial(self):
        """SIGINT in the middle of a body: the tool ends within a second or
        two with a non-zero status, says so, and the partial body stays (with
        its resume record) for the next run, which completes it."""
        if self.tool.windows:
            self.skipTest("a console's Ctrl+C cannot be sent to a program under Wine from here")
        body = content_of("interrupted", 300000)
        held = Held(body=body, first=100000)
        url = self.publish_manifest("interrupt.txt", [entry("big.bin", len(body), self.route("big.bin", held))])
        args = ["patch", "--dir", self.tool.native(self.game), "--url", url]
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen(self.tool.command(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                       env=self.tool.environment())
            try:
                self.assertTrue(held.started.wait(60), "the download never started")
                wait_until(lambda: any(p.endswith(".part") for p in temporaries_below(self.game)), 30,
                           "the partial body")
                started = time.monotonic()
                process.send_signal(signal.SIGINT)
                code = process.wait(timeout=10)
                stopped_s = time.monotonic() - started
            finally:
                held.release.set()
                if process.poll() is None:
                    process.kill()
                    process.wait()
            err.seek(0)
            stderr = err.read().decode("utf-8", errors="replace")
        self.assertNotEqual(code, 0)
        self.assertLess(stopped_s, 2.0)
        self.assertIn("interrupted", stderr)
        self.assertEqual(len(temporaries_below(self.game)), 2, temporaries_below(self.game))
        self.assertFalse((self.game / "big.bin").exists())
        self.assertOutcome(self.run_tool("patch", url), 0, last=downloaded(1))
        self.assertEqual((self.game / "big.bin").read_bytes(), body)
        self.assertEqual(temporaries_below(self.game), [])

    def test_two_passes_on_one_folder_run_one_after_another(self):
        """A second pass on a folder that a first one is patching waits for it
        (saying so on stderr, still showing "Contacting patch server..."),
        then finds everything in place: both end well, every file is whole,
        and no temporary is left."""
        files = {"a.bin": content_of("two-a", 3000), "sub/b.bin": content_of("two-b", 5000)}
        held = Held(body=content_of("two-held", 200000), first=100000)
        lines = [entry(name, len(body), self.publish("files/" + name, body)) for name, body in files.items()]
        lines.append(entry("held.bin", len(held.body), self.route("held.bin", held)))
        manifest = self.route("manifest.txt", Reply(body=manifest_bytes(lines)))
        results = {}

        def first_pass():
            results["first"] = self.run_tool("patch", manifest)

        first = threading.Thread(target=first_pass, daemon=True)
        first.start()
        try:
            self.assertTrue(held.started.wait(120), "the first pass never reached the held file")
            stderr_path = self.area / "second.stderr"
            with open(stderr_path, "wb") as err, tempfile.TemporaryFile() as out:
                args = ["patch", "--dir", self.tool.native(self.game), "--url", manifest]
                second = subprocess.Popen(self.tool.command(args), stdin=subprocess.DEVNULL, stdout=out,
                                          stderr=err, env=self.tool.environment())
                try:
                    wait_until(lambda: b"waiting" in stderr_path.read_bytes(), 120, "the second pass to wait")
                    self.assertEqual(self.fault.hits_of("%s/manifest.txt" % self._testMethodName), 1)
                finally:
                    held.release.set()
                code = second.wait(timeout=120)
                out.seek(0)
                second_lines = out.read().decode("utf-8").replace("\r\n", "\n").splitlines()
        finally:
            held.release.set()
            first.join(timeout=120)
        self.assertOutcome(results["first"], 0, last=downloaded(3))
        self.assertEqual(code, 0, second_lines)
        self.assertEqual(second_lines, [CONTACTING, "held.bin  (3/3)", UP_TO_DATE])
        for name, body in files.items():
            self.assertEqual(on_disk(self.game, name).read_bytes(), body, name)
        self.assertEqual((self.game / "held.bin").read_bytes(), held.body)
        self.assertEqual(temporaries_below(self.game), [])

    def test_stalled_servers_time_out(self):
        """With the limits shortened: a manifest whose body never comes and a
        server that never answers are unreachable after about the limit; a
        file whose body stops is an error and the pass goes on."""
        limit_s = STALL_TIMEOUT_MS / 1000.0
        stalled_manifest = self.route("stalled-manifest",
                                      Reply(body=b"# first line\n", content_length=5000, stall=True))
        silent = SilentListener()
        self.addCleanup(silent.close)
        for name, url in [("stalled body", stalled_manifest),
                          ("no answer", "http://127.0.0.1:%d/manifest.txt" % silent.port)]:
            with self.subTest(manifest=name):
                result = self.run_tool("check", url, timeout_ms=STALL_TIMEOUT_MS)
                self.assertOutcome(result, 2, [CONTACTING, UNREACHABLE])
                self.assertGreaterEqual(result.elapsed_s, limit_s * 0.8, result.describe())
                self.assertLess(result.elapsed_s, limit_s + 20, result.describe())

        size = 80000
        new = content_of("stall", size)
        old = b"old stalled file"
        write_file(self.game / "stalls.bin", old)
        url = self.publish_manifest("stall.txt", [
            entry("stalls.bin", size, self.route("stalls.bin", Reply(body=new[:5000], content_length=size,
                                                                     stall=True))),
            entry("after.bin", size, self.publish("files/after.bin", new)),
        ])
        result = self.run_tool("patch", url, timeout_ms=STALL_TIMEOUT_MS)
        self.assertOutcome(result, 1, last=finished_with(1))
        self.assertLess(result.elapsed_s, limit_s + 20, result.describe())
        self.assertEqual((self.game / "stalls.bin").read_bytes(), old)
        self.assertEqual((self.game / "after.bin").read_bytes(), new)
        self.assertEqual(temporaries_below(self.game), [])

    def test_endless_manifest_is_refused(self):
        """A manifest that grows past 256 MiB is not a manifest: the pass
        ends as if the server were unreachable. (The server stops by itself
        at 300 MiB of comment lines, which would otherwise read as an empty
        but valid manifest.)"""
        endless = Endless(limit_bytes=300 * MIB)
        url = self.route("endless.txt", endless)
        result = self.run_tool("check", url, timeout_s=90)
        self.assertOutcome(result, 2, [CONTACTING, UNREACHABLE])
        self.assertLess(result.elapsed_s, 60, result.describe())
        # It was the size that ended the pass, not some earlier failure (the
        # count is in whole MiB chunks handed to the socket).
        self.assertTrue(endless.finished.wait(10))
        self.assertGreaterEqual(endless.sent_bytes, 256 * MIB)

    def test_only_http_is_followed(self):
        """The manifest URL and file URLs are fetched over http(s) only, from
        launcher.ini or via redirects: other schemes are never tried. Up to 10
        redirects of any 3xx kind are followed, an 11th or a loop fails."""
        body = content_of("redirected", 2500)
        target = self.publish("files/target.bin", body)
        secret = write_file(self.area / "secret.bin", content_of("secret", len(body)))
        local_manifest = write_file(self.area / "local-manifest.txt",
                                    manifest_bytes([entry("from-file.bin", len(body), target)]))
        silent = SilentListener()
        self.addCleanup(silent.close)
        ftp = "ftp://127.0.0.1:%d/manifest.txt" % silent.port
        for name, patch_url in [("file", "file:///etc/passwd"), ("local file", local_manifest.as_uri()),
                                ("ftp", ftp)]:
            with self.subTest(patch_url=name):
                write_launcher_ini(self.game, patch_url)
                self.assertOutcome(self.run_tool("patch"), 2, [CONTACTING, UNREACHABLE])
        self.assertFalse(silent.was_contacted())
        self.assertFalse((self.game / "from-file.bin").exists())

        def chain(name, hops):
            kinds = [301, 302, 303, 307, 308]
            for k in range(hops, 0, -1):
                nxt = "%s/%s/%d" % (self._testMethodName, name, k - 1)
                location = "/" + nxt if k % 2 else self.fault.url(nxt)  # relative and absolute
                self.route("%s/%d" % (name, k), Reply(status=kinds[k % 5], headers={"Location": location}))
            self.route("%s/0" % name, Reply(body=body))
            return self.fault.url("%s/%s/%d" % (self._testMethodName, name, hops))

        loop = self.route("loop", Reply(status=302, headers={"Location": "/%s/loop" % self._testMethodName}))
        lines = [
            entry("redirected.bin", len(body), self.route("to-nginx", Reply(status=302,
                                                                            headers={"Location": target}))),
            entry("ten-hops.bin", len(body), chain("ten", 10)),
            entry("eleven-hops.bin", len(body), chain("eleven", 11)),
            entry("loop.bin", len(body), loop),
            entry("to-file.bin", len(body), self.route("to-file", Reply(
                status=302, headers={"Location": secret.as_uri()}))),
            entry("to-ftp.bin", len(body), self.route("to-ftp", Reply(
                status=302, headers={"Location": "ftp://127.0.0.1:%d/x.bin" % silent.port}))),
            entry("file-source.bin", len(body), secret.as_uri()),
        ]
        manifest = self.publish_manifest("redirects.txt", lines)
        via_redirect = self.route("manifest", Reply(status=307, headers={"Location": manifest}))
        write_launcher_ini(self.game, via_redirect)
        self.assertOutcome(self.run_tool("patch"), 1, last=finished_with(5))
        self.assertEqual((self.game / "redirected.bin").read_bytes(), body)
        self.assertEqual((self.game / "ten-hops.bin").read_bytes(), body)
        for name in ("eleven-hops.bin", "loop.bin", "to-file.bin", "to-ftp.bin", "file-source.bin"):
            self.assertFalse((self.game / name).exists(), name)
        self.assertLessEqual(self.fault.hits_of("%s/loop" % self._testMethodName), 11)
        self.assertFalse(silent.was_contacted())
        self.assertEqual(temporaries_below(self.game), [])
        # The scheme is case-insensitive: an upper-case one reaches the same manifest.
        self.assertOutcome(self.run_tool("check", "HTTP://" + manifest[len("http://"):]), 1, last=missing(5))

    def test_command_line(self):
        """--help; usage errors (exit 64, usage on stderr; a missing --dir
        folder is named in one line instead); --url overrides
        launcher.ini; PatchURL is read from the [launcher] section only; a
        missing launcher.ini with --url is fine; MaxDownloadKiBps caps the
        downloads, and --limit-rate overrides it."""
        result = self.tool.run(["--help"])
        self.assertEqual(result.code, 0, result.describe())
        self.assertIn("usage: launcher-patch check|patch", "\n".join(result.lines))
        result = self.tool.run(["--version"])
        self.assertEqual((result.code, result.lines), (0, ["launcher-patch " + self.tool.version()]),
                         result.describe())
        for args in ([], ["--dir", self.tool.native(self.game)], ["check", "--bogus"], ["check", "patch"],
                     ["check", "--url"], ["frobnicate"], ["check", "--jobs", "0"], ["check", "--jobs=17"],
                     ["check", "--jobs", "two"], ["patch", "--limit-rate", "-1"], ["patch", "--limit-rate=4194305"],
                     ["patch", "--limit-rate", "fast"], ["patch", "--limit-rate"]):
            with self.subTest(args=args):
                result = self.tool.run(args)
                self.assertEqual(result.code, 64, result.describe())
                self.assertIn("usage: launcher-patch", result.stderr)
                self.assertEqual(result.lines, [])
        nowhere = self.tool.native(self.area / "no-such-folder")
        for args in (["check", "--dir", nowhere], ["patch", "--dir=" + nowhere, "--url", "http://127.0.0.1:1/m"]):
            with self.subTest(args=args):
                result = self.tool.run(args)
                self.assertEqual((result.code, result.lines), (64, []), result.describe())
                self.assertEqual(result.stderr.splitlines(), ["launcher-patch: no such folder: " + nowhere])
        for args, named in ((["check", "--url"], "option --url needs a value"),
                            (["check", "--dir="], "option --dir needs a value"),
                            (["patch", "--jobs"], "option --jobs needs a value")):
            with self.subTest(args=args):
                result = self.tool.run(args)
                self.assertEqual(result.code, 64, result.describe())
                self.assertIn(named, result.stderr)

        body = content_of("cli", 123)
        write_file(self.game / "cli.bin", body)
        good = self.publish_manifest("good.txt", [entry("cli.bin", len(body), self.publish("files/cli", body))])
        differing = self.publish_manifest("differing.txt", [entry("cli.bin", 1, self.publish("files/cli", body))])
        dead = self.fault.url("no-such-route/manifest.txt")
        write_launcher_ini(self.game, differing)
        self.assertOutcome(self.run_tool("check"), 1, last=missing(1))
        self.assertOutcome(self.run_tool("check", good), 0, last=all_ok(1))
        equals = self.tool.run(["check", "--dir=" + self.tool.native(self.game), "--url=" + good, "--jobs=3"])
        self.assertOutcome(equals, 0, last=all_ok(1))
        write_file(self.game / "launcher.ini",
                   ("[news]\r\nPatchURL=%s\r\n\r\n[launcher]\r\nServer=127.0.0.1\r\nPatchURL=%s\r\n"
                    "[other]\r\nPatchURL=%s\r\n" % (dead, good, dead)).encode())
        self.assertOutcome(self.run_tool("check"), 0, last=all_ok(1))
        (self.game / "launcher.ini").unlink()
        self.assertOutcome(self.run_tool("check", good), 0, last=all_ok(1))
        self.assertEqual((self.game / "cli.bin").read_bytes(), body)

        # 640 KiB at 256 KiB/s take 2.5 s, less the cap's quarter-second burst.
        big = content_of("capped", 640 * 1024)
        capped = self.publish_manifest("capped.txt", [entry("capped.bin", len(big), self.publish("files/capped", big))])
        for in_ini, options in (("256", []), ("1048576", ["--limit-rate", "256"])):
            write_file(self.game / "launcher.ini",
                       ("[launcher]\r\nPatchURL=%s\r\nMaxDownloadKiBps=%s\r\n" % (capped, in_ini)).encode())
            (self.game / "capped.bin").unlink(missing_ok=True)
            started = time.monotonic()
            self.assertOutcome(self.tool.run(["patch", "--dir", self.tool.native(self.game)] + options), 0,
                               last=downloaded(1))
            self.assertGreaterEqual(time.monotonic() - started, 2.2, options)
            self.assertEqual((self.game / "capped.bin").read_bytes(), big)


class LinuxLauncherPatchTest(PatchToolScenarios, unittest.TestCase):
    target = "linux"


class WindowsLauncherPatchTest(PatchToolScenarios, unittest.TestCase):
    target = "windows"


def main():
    """Runs the classes LAUNCHER_PATCH_TARGET picks (both when unset) and ends
    with one "<target>: N passed, N failed, N skipped" line; the exit status
    is 0 only when at least one scenario ran and none failed."""
    wanted = os.environ.get("LAUNCHER_PATCH_TARGET")
    classes = [c for c in (LinuxLauncherPatchTest, WindowsLauncherPatchTest) if not wanted or c.target == wanted]
    loader = unittest.TestLoader()
    if len(sys.argv) > 1:
        suite = loader.loadTestsFromNames(sys.argv[1:], sys.modules[__name__])
    else:
        suite = unittest.TestSuite(loader.loadTestsFromTestCase(c) for c in classes)
    result = unittest.TextTestRunner(verbosity=2).run(suite)

    def case_of(test):
        return getattr(test, "test_case", test)  # a failed subtest counts for its scenario

    failing = {case_of(test).id() for test, _ in result.failures + result.errors}
    failing |= {test.id() for test in result.unexpectedSuccesses}
    real = [test for test, _ in result.skipped if isinstance(test, unittest.TestCase)]
    passed = result.testsRun - len([t for t in failing if not t.startswith("setUpClass")]) - len(real)
    print("%s: %d passed, %d failed, %d skipped" % (wanted or "integration", passed, len(failing),
                                                    len(result.skipped)))
    return 0 if not failing and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
