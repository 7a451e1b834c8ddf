"""Scenarios for launcher-manifest: the listing of a real folder tree (order,
sizes, URL encoding, the counted first and last lines), what is left out,
the paths it refuses, the removals it takes over from the previous
manifest, its usage errors, and a round trip in which
launcher-patch installs a tree served by nginx on loopback from the
generated manifest.

Runs against build/linux/launcher-manifest and, when built, against
build/windows/launcher-manifest.exe under Wine (LAUNCHER_MANIFEST_TARGET=
linux|windows picks one). Without Wine the Windows build is skipped, or
fails with LAUNCHER_REQUIRE_WINE=1 (tests/support/wine.sh). Standalone:
python3 tests/integration/test_manifest.py
"""
import hashlib
import os
import random
import shutil
import socket
import struct
import sys
import tempfile
import unittest
import urllib.parse
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "scripts"))
sys.path.insert(0, str(REPO / "tests" / "support"))

from console_tool import ConsoleTool, prepare_tool_class  # noqa: E402
from local_nginx import LocalNginx  # noqa: E402

BASE = "http://127.0.0.1:8080/files"


def write_tree(root, files):
    """files maps relative paths ('/' separated) to their bytes."""
    for relative, data in files.items():
        path = Path(root, relative)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def expected_manifest(files, base, removed=()):
    """The manifest as the rules describe it, built without the tool: the
    entries, then a -1 line for each removed path, between a first and a
    last line that count them."""
    count = len(files) + len(removed)
    lines = ["#launcher-manifest entries=%d\n" % count]
    for relative in sorted(files, key=lambda p: p.encode("utf-8")):
        url = base.rstrip("/") + "/" + urllib.parse.quote(relative.encode("utf-8"), safe="/")
        lines.append("%s|%d|%s\n" % (relative, len(files[relative]), url))
    lines.extend("%s|-1|\n" % relative for relative in removed)
    lines.append("#end entries=%d\n" % count)
    return "".join(lines).encode("utf-8")


def read_chunk_index(index, data):
    """The chunks (offset, length) of a chunk index, checked against the
    file's bytes as the format is documented: header, then records that
    cover the file from 0 to its end, each hash the chunk's SHA-256 prefix."""
    magic, version, low, bits, high, size, digest, count = struct.unpack_from("<8sIIIIQ32sI", index)
    assert (magic, version, low, bits, high) == (b"ZLCHUNK1", 1, 8192, 15, 131072), index[:24]
    assert size == len(data) and digest == hashlib.sha256(data).digest()
    assert len(index) == 68 + 28 * count
    chunks, at = [], 0
    for i in range(count):
        offset, length, hashed = struct.unpack_from("<QI16s", index, 68 + 28 * i)
        assert offset == at and 0 < length <= high, (i, offset, length)
        assert hashed == hashlib.sha256(data[offset:offset + length]).digest()[:16], i
        chunks.append((offset, length))
        at += length
    assert at == len(data)
    return chunks


class ManifestScenarios:
    target = None  # "linux" or "windows", set by the concrete classes

    @classmethod
    def setUpClass(cls):
        prepare_tool_class(cls, "launcher-manifest", "LAUNCHER_MANIFEST_TARGET")
        cls.tool.warm_up()

    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="launcher-manifest-%s-" % self.target)).resolve()
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def manifest(self, folder, base=BASE, stdout_path=None):
        """(exit code, stdout bytes, stderr) of one listing."""
        return self.outcome(self.tool.run([self.tool.native(folder), base], stdout_path=stdout_path))

    @staticmethod
    def outcome(result):
        return result.code, result.stdout, result.stderr

    def test_listing_is_sorted_sized_and_encoded(self):
        files = {
            "a b.txt": b"spaces", "hash#1.dat": b"#", "100%.bin": b"percent", "plus+and&.txt": b"",
            "tilde~_.-x": b"t", "B.txt": b"upper first", "a-b": b"dash before slash", "a/b.txt": b"nested",
            "a0": b"digit after slash", ".hidden": b"dot files too", "caf\u00e9.txt": b"\xc3\xa9",
            "\u65e5\u672c/\u5730\u56f3.map": bytes(range(256)) * 40, "\U0001f3ae.bin": b"outside the BMP",
            "data/maps/deep/x.y.z": b"z" * 70000, "z": b"before every non-ASCII name",
        }
        tree = self.work / "files"
        write_tree(tree, files)
        for base in (BASE, BASE + "/"):
            code, out, err = self.manifest(tree, base)
            self.assertEqual(code, 0, err)
            self.assertEqual(out, expected_manifest(files, BASE), "base %s" % base)
            self.assertEqual(err, "")

        # An empty folder gives a manifest of no entries.
        (self.work / "empty").mkdir()
        self.assertEqual(self.manifest(self.work / "empty")[:2],
                         (0, b"#launcher-manifest entries=0\n#end entries=0\n"))

    def test_the_manifest_never_lists_itself(self):
        """Nor the partial downloads the launcher left where it ran, nor a
        launcher.ini at the top, which would overwrite every player's own
        (one deeper down is a game file like any other)."""
        files = {"game.exe": b"MZ", "download/readme.txt": b"hello", "config/launcher.ini": b"[game]\n"}
        tree = self.work / "srv"
        write_tree(tree, files)
        write_tree(tree, {"manifest.txt": b"old", "download/manifest.txt": b"old", "sub/MANIFEST.TXT": b"x",
                          "sub/.~launcher-0123456789abcdef.part": b"partial",
                          "Launcher.INI": b"[launcher]\r\nUser=operator\r\n",
                          "launcher.state": b"launcher-state 1\n"})
        expected = expected_manifest(files, BASE)
        # Publishing through a temporary name, then straight over the old one.
        code, out, err = self.manifest(tree, stdout_path=tree / "download/manifest.txt.new")
        self.assertEqual((code, out), (0, expected), err)
        for skipped in ("'manifest.txt'", "'download/manifest.txt'", "'sub/MANIFEST.TXT'",
                        "'sub/.~launcher-0123456789abcdef.part'", "'Launcher.INI'", "'launcher.state'"):
            self.assertIn(skipped, err)
        self.assertEqual(len(err.splitlines()), 6, err)
        os.replace(tree / "download/manifest.txt.new", tree / "download/manifest.txt")
        code, out, err = self.manifest(tree, stdout_path=tree / "download/manifest.txt")
        self.assertEqual((code, out), (0, expected), err)

    def test_paths_the_launcher_cannot_take_are_refused(self):
        # Lengths count UTF-16 units: each game-controller emoji takes two
        # (and four bytes). Every non-ASCII byte costs three in the URL.
        emoji = "\U0001f3ae" * 10
        longest = emoji + ("/" + "a" * 200) * 2 + "/" + "a" * 88  # 511 units: the most a line's path takes
        too_long = emoji + ("/" + "b" * 200) * 2 + "/" + "b" * 89  # 512 units
        write_tree(self.work / "long", {longest: b"1", too_long: b"2"})
        code, out, err = self.manifest(self.work / "long", "http://h/f")
        self.assertEqual((code, out), (1, b""), err)
        self.assertIn("refusing '%s'" % too_long, err)
        self.assertNotIn("refusing '%s'" % longest, err)

        # The URL field holds 699 units: the base plus '/' plus "f.bin".
        write_tree(self.work / "url", {"f.bin": b"f"})
        base = "http://127.0.0.1/" + "u" * (693 - len("http://127.0.0.1/"))
        code, out, _ = self.manifest(self.work / "url", base)
        self.assertEqual((code, out), (0, b"#launcher-manifest entries=1\nf.bin|1|" + base.encode() +
                                       b"/f.bin\n#end entries=1\n"))
        code, out, err = self.manifest(self.work / "url", base + "u")
        self.assertEqual((code, out), (1, b""))
        self.assertIn("'f.bin'", err)

        if self.target != "linux":
            return  # names Windows cannot store
        unsafe = ["name.", "bad|bar", "CON.dat", "trailing ", "a:b", "sub/aux", "sub/Lpt1.x", "back\\slash",
                  "star*", "dir./inner.txt", "line\nbreak"]
        # Names that would act on a terminal are shown escaped, the C1 CSI too.
        shown = {"esc\x1b]0;title\x07.bin": "esc\\x1B]0;title\\x07.bin",
                 "csi\u009b2J|.bin": "csi\\u009B2J|.bin", "osc\x1b]52;c;aGk=\x07": "osc\\x1B]52;c;aGk=\\x07"}
        tree = self.work / "unsafe"
        write_tree(tree, {name: b"x" for name in unsafe + list(shown) + ["fine.txt", "sub/fine.txt"]})
        Path(tree, b"\xff\xfe.bin".decode("utf-8", "surrogateescape")).write_bytes(b"not UTF-8")
        code, out, err = self.manifest(tree)
        self.assertEqual((code, out), (1, b""), err)
        for name in unsafe:
            self.assertIn("'%s'" % name.replace("\n", "\\x0A"), err)
        for name in shown.values():
            self.assertIn("'%s'" % name, err)
        self.assertIn("'\\xFF\\xFE.bin'", err)
        self.assertNotIn("fine.txt", err)
        self.assertEqual([c for c in err if (ord(c) < 0x20 and c != "\n") or 0x7F <= ord(c) <= 0x9F], [])

    def test_names_the_launcher_would_skip_or_take_for_devices_are_refused(self):
        """A top-level name starting with '#' makes a line the launcher skips
        as a comment: published, never delivered. The device names Windows
        reserves besides CON and COM1 to COM9 would open a device. Each is
        named and nothing is printed; '#' further in, and names that only
        look like devices, are listed."""
        refused = ["#readme.txt", "#", "#x/inner.bin", "COM0", "lpt0.txt", "COM\u00b9", "com\u00b2.dat",
                   "LPT\u00b3 .log", "CLOCK$", "conin$.txt", "CONOUT$", "sub/Clock$.dat", "sub/lpt\u00b9/x.bin"]
        listed = {"docs/#notes.txt": b"n", "hash#1.dat": b"h", "COM10": b"c", "CONIN.txt": b"i",
                  "clock.dat": b"k", "x/#": b"x", "LPT\u00b9\u00b2": b"l", "com\u2074": b"4"}
        tree = self.work / "names"
        write_tree(tree, {name: b"x" for name in refused})
        write_tree(tree, listed)
        code, out, err = self.manifest(tree)
        self.assertEqual((code, out), (1, b""), err)
        for name in refused:
            self.assertIn("refusing '%s'" % name, err)
        for name in listed:
            self.assertNotIn("'%s'" % name, err)

        shutil.rmtree(tree)
        write_tree(tree, listed)
        code, out, err = self.manifest(tree)
        self.assertEqual((code, out), (0, expected_manifest(listed, BASE)), err)

    def test_links_and_special_files_are_skipped(self):
        if self.target != "linux":
            self.skipTest("Wine shows Unix file links and fifos as plain files")
        tree = self.work / "tree"
        outside = self.work / "outside"
        write_tree(outside, {"secret.txt": b"not for players"})
        files = {"real.txt": b"real", "Readme.txt": b"one", "README.txt": b"two"}
        write_tree(tree, files)
        os.symlink("real.txt", tree / "file-link")
        os.symlink(outside, tree / "folder-link")
        os.mkfifo(tree / "fifo")
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind(str(tree / "socket"))
            code, out, err = self.manifest(tree)
        self.assertEqual((code, out), (0, expected_manifest(files, BASE)), err)
        for name in ("file-link", "folder-link", "fifo", "socket"):
            self.assertIn("'%s'" % name, err)
        self.assertIn("letter case", err)

    def test_usage_errors(self):
        folder = self.work / "f"
        folder.mkdir()
        (self.work / "plain").write_bytes(b"")
        native = self.tool.native(folder)
        for args in ([], [native], [native, BASE, "extra"], [native, "ftp://host/files"], [native, "http://"],
                     [native, "--verbose"], [native, BASE, "--previous"], [native, BASE, "--chunks"]):
            code, out, err = self.outcome(self.tool.run(args))
            self.assertEqual((code, out), (64, b""), args)
            self.assertIn("usage: launcher-manifest [--sha256] [--chunks OUTDIR] [--previous OLD_MANIFEST]", err)
        code, out, _ = self.outcome(self.tool.run(["--help"]))
        self.assertEqual(code, 0)
        self.assertIn(b"usage: launcher-manifest [--sha256] [--chunks OUTDIR] [--previous OLD_MANIFEST]", out)
        self.assertIn(b"launcher-manifest --version", out)
        for args in (["--version"], [native, "--version"]):
            result = self.tool.run(args)
            self.assertEqual((result.code, result.lines), (0, ["launcher-manifest " + self.tool.version()]),
                             result.describe())
        # A DIR that is missing or no folder: one line, no usage text.
        for missing, said in ((self.work / "nowhere", "no such folder: %s"), (self.work / "plain", "'%s' is not a folder")):
            code, out, err = self.manifest(missing)
            self.assertEqual((code, out), (1, b""))
            self.assertEqual(err.splitlines(), ["launcher-manifest: " + said % self.tool.native(missing)])

    def test_previous_manifest_paths_that_are_gone_become_removals(self):
        """Each gone path once, in the old order, spelled as the launcher
        resolves it; still-present ones (in any spelling the launcher takes
        for the same file, letter case too on Windows) and folders on a
        listed file's way are not; launcher.ini and unsafe paths are left
        out with a note. Anything but a whole manifest of the tool is
        refused in one line."""
        files = {"keep.bin": b"k", "data/new.bin": b"n", "Sub/Case.txt": b"c"}
        tree = self.work / "tree"
        write_tree(tree, files)
        old_entries = ["keep.bin|1|u", "gone.bin|5|u", "data\\old//x.map|3|u", "data|-1|", "Data/new.bin|1|u",
                       "launcher.ini|5|u", "../evil.bin|1|u", "GONE.BIN|2|u", "gone.bin|-1|", "sub/case.txt|1|u",
                       "data/old/x.map|-1|", "keep.bin/inner|-1|"]
        old = self.work / "old.txt"
        old.write_bytes(("#launcher-manifest entries=%d\r\n%s\r\n#end entries=%d\r\n# signed\r\n" % (
            len(old_entries), "\r\n".join(old_entries), len(old_entries))).encode())
        folds = self.target == "windows"
        removed = ["gone.bin", "data/old/x.map"] + ([] if folds else ["Data/new.bin", "GONE.BIN", "sub/case.txt"])
        for option in (["--previous", self.tool.native(old)], ["--previous=" + self.tool.native(old)]):
            result = self.tool.run(option + [self.tool.native(tree), BASE])
            self.assertEqual((result.code, result.stdout), (0, expected_manifest(files, BASE, removed)),
                             result.describe())
            for noted in ("'launcher.ini'", "'../evil.bin'"):
                self.assertIn(noted, result.stderr)
            self.assertEqual("letter case" in result.stderr, not folds, result.stderr)

        # Hashes are for the listed files only.
        result = self.tool.run(["--sha256", "--previous", self.tool.native(old), self.tool.native(tree), BASE])
        self.assertEqual(result.code, 0, result.describe())
        self.assertEqual(result.lines[-len(removed) - 1:-1], ["%s|-1|" % path for path in removed])

        refused = {"missing.txt": None, "plain.txt": b"a|1|http://h/a\n", "empty.txt": b"",
                   "counts.txt": b"#launcher-manifest entries=2\na|1|http://h/a\n#end entries=2\n",
                   "cut.txt": b"#launcher-manifest entries=1\na|1|http://h/a\n"}
        for name, text in refused.items():
            if text is not None:
                (self.work / name).write_bytes(text)
            result = self.tool.run(["--previous", self.tool.native(self.work / name), self.tool.native(tree), BASE])
            self.assertEqual((result.code, result.stdout), (1, b""), name)
            self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
            self.assertIn(self.tool.native(self.work / name), result.stderr)

    def test_round_trip_through_nginx_and_launcher_patch(self):
        patcher = ConsoleTool("launcher-patch", self.target)
        why = patcher.unavailable()
        if why:
            self.skipTest(why)
        rng = random.Random(7)
        files = {
            "qorin.exe": rng.randbytes(300000), "data/maps/run vale#2.map": rng.randbytes(70000),
            "data/100% done.txt": b"yes", "data/\u00e9t\u00e9/\u65e5\u672c\U0001f3ae.dat": rng.randbytes(5000),
            ".config/hidden.ini": b"[x]\n", "empty.bin": b"", "music/theme+1.mp3": rng.randbytes(1 << 20),
        }
        self.work.chmod(0o755)  # nginx reads as this user; readable anyway should it read as nobody
        srv = self.work / "srv"
        write_tree(srv / "files", files)
        (srv / "download").mkdir()
        game = self.work / "game"
        game.mkdir()
        with LocalNginx(srv) as nginx:
            code, _, err = self.manifest(srv / "files", nginx.url("files/"),
                                         stdout_path=srv / "download" / "manifest.txt")
            self.assertEqual(code, 0, err)
            manifest_url = nginx.url("download/manifest.txt")
            result = patcher.run(["patch", "--dir", patcher.native(game), "--url", manifest_url])
            self.assertEqual(result.code, 0, result.describe())
            result = patcher.run(["check", "--dir", patcher.native(game), "--url", manifest_url])
            self.assertEqual(result.code, 0, result.describe())
            self.assertIn(b"All %d files OK" % len(files), result.stdout)
        installed = {p.relative_to(game).as_posix(): p.read_bytes() for p in game.rglob("*") if p.is_file()}
        installed.pop("launcher.ini", None)
        self.assertEqual(sorted(installed), sorted(files))
        for relative, data in files.items():
            self.assertTrue(installed[relative] == data, "%s differs" % relative)


    def test_chunk_indexes_are_written_for_the_large_files_alone(self):
        """--chunks writes an index exactly for each file of at least 1 MiB,
        readable by its documented format, leaves its own folder inside DIR
        out of the walk, and the manifest is the --sha256 one."""
        rng = random.Random(5)
        files = {"maps/world.pak": rng.randbytes(3 << 20), "exact.bin": rng.randbytes(1 << 20),
                 "under.bin": rng.randbytes((1 << 20) - 1), "zeros.bin": bytes(2 << 20)}
        tree = self.work / "srv"
        write_tree(tree, files)
        code, hashed, err = self.outcome(self.tool.run(["--sha256", self.tool.native(tree), BASE]))
        self.assertEqual(code, 0, err)
        for outdir in (self.work / "chunks", tree / "chunks"):
            code, out, err = self.outcome(self.tool.run(["--chunks", self.tool.native(outdir),
                                                         self.tool.native(tree), BASE]))
            self.assertEqual((code, out), (0, hashed), err)
            written = sorted(p.relative_to(outdir).as_posix() for p in outdir.rglob("*") if p.is_file())
            self.assertEqual(written, ["exact.bin.chunks", "maps/world.pak.chunks", "zeros.bin.chunks"])
            for name in ("exact.bin", "maps/world.pak", "zeros.bin"):
                chunks = read_chunk_index((outdir / (name + ".chunks")).read_bytes(), files[name])
                self.assertLessEqual(len(chunks) * 28, len(files[name]) // 100, name)

class LinuxBuild(ManifestScenarios, unittest.TestCase):
    target = "linux"


class WindowsBuild(ManifestScenarios, unittest.TestCase):
    target = "windows"


if __name__ == "__main__":
    unittest.main(verbosity=2)
