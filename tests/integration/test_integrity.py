"""Files checked against the SHA-256 their manifest line carries in the URL
fragment ("#sha256=<64 lowercase hex>"): a download whose bytes differ is an
error that leaves the old file and no temporary; a same-size change on the
disk is seen by check and repaired by patch, with a warm, stale, missing or
damaged hash cache, and --verify ignores that cache; a resumed body is
hashed over the whole file; the fragment never reaches the server; and every hash launcher-manifest --sha256 writes
is the one sha256sum computes.

Runs against build/linux and, under Wine, build/windows
(LAUNCHER_PATCH_TARGET=linux|windows picks one). Standalone:
python3 tests/integration/test_integrity.py
"""
import hashlib
import os
import random
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from console_tool import prepare_launcher_patch_class, prepare_tool_class, run_target_classes  # noqa: E402
from harness import (Nginx, entry, manifest_bytes, quote_path, snapshot, snapshot_changes,  # noqa: E402
                     temporaries_below, write_file)
from test_resume import Route, ScriptedServer, Version  # noqa: E402

BACKOFF_MS = 50
HASH_DIFFERS = "SHA-256 differs from the manifest"


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


def with_hash(url, data):
    return "%s#sha256=%s" % (url, sha256_hex(data))


def finished_with(errors):
    return "Finished with %d error(s)." % errors


def downloaded(count):
    return "Downloaded %d file(s). Ready." % count


def same_size_change(data, at):
    """data with one byte at offset at changed: the size check cannot see it."""
    changed = bytearray(data)
    changed[at] ^= 0x5A
    return bytes(changed)


class IntegrityScenarios:
    target = None  # "linux" or "windows", set by the concrete classes

    @classmethod
    def setUpClass(cls):
        prepare_launcher_patch_class(cls, "launcher-integrity")
        cls.nginx = Nginx(cls.sandbox / "srv", cls.sandbox / "nginx")
        cls.addClassCleanup(cls.nginx.stop)
        cls.nginx.start()
        cls.scripted = ScriptedServer()
        cls.addClassCleanup(cls.scripted.stop)
        cls.tool.warm_up()

    def setUp(self):
        self.game = self.sandbox / self._testMethodName / "game"
        self.game.mkdir(parents=True)
        self.served = self.sandbox / "srv" / self._testMethodName

    def serve(self, relative, data):
        """Puts data on nginx; its URL."""
        write_file(self.served / relative, data)
        return self.nginx.url(self._testMethodName + "/" + quote_path(relative))

    def publish(self, lines, name="manifest.txt"):
        write_file(self.served / name, manifest_bytes(lines))
        return self.nginx.url(self._testMethodName + "/" + name)

    def run_tool(self, mode, manifest, *options):
        args = [mode, "--dir", self.tool.native(self.game), "--url", manifest] + list(options)
        env = self.tool.environment(timeout_ms=5000)
        env["LAUNCHER_PATCH_BACKOFF_MS"] = str(BACKOFF_MS)
        return self.tool.run(args, env=env)

    def assertLast(self, result, code, last):
        self.assertEqual(result.code, code, result.describe())
        self.assertTrue(result.lines, result.describe())
        self.assertEqual(result.lines[-1], last, result.describe())

    # ---- scenarios -----------------------------------------------------

    def test_a_tampered_download_of_the_right_size_is_an_error_and_changes_nothing(self):
        """The mirror serves a changed copy of a file, same size, while the
        manifest carries the published hash: the old file stays byte for
        byte, no temporary is left, the error is counted and named with its
        reason. A file beside it whose bytes match lands; one without a hash
        is taken on its size as before."""
        published = random.Random(11).randbytes(70000)
        old = random.Random(12).randbytes(len(published) - 10)  # what the player has
        good = random.Random(13).randbytes(5000)
        unhashed = b"no hash for me\n"
        write_file(self.game / "data" / "tampered.bin", old)
        manifest = self.publish([
            entry("data/tampered.bin", len(published),
                  with_hash(self.serve("data/tampered.bin", same_size_change(published, 4321)), published)),
            entry("data/good.bin", len(good), with_hash(self.serve("data/good.bin", good), good)),
            entry("plain.txt", len(unhashed), self.serve("plain.txt", unhashed)),
        ])
        before = snapshot(self.game)
        served_before = len(self.nginx.requests())
        result = self.run_tool("patch", manifest)
        self.assertLast(result, 1, finished_with(1))
        self.assertIn("data/tampered.bin: " + HASH_DIFFERS, result.stderr)
        # A whole body that differs is final: asked for once, not retried.
        asked = [uri for _, uri in self.nginx.requests()[served_before:] if uri.endswith("tampered.bin")]
        self.assertEqual(len(asked), 1, asked)
        self.assertNotIn("good.bin", result.stderr)
        self.assertEqual((self.game / "data" / "tampered.bin").read_bytes(), old)
        self.assertEqual((self.game / "data" / "good.bin").read_bytes(), good)
        self.assertEqual((self.game / "plain.txt").read_bytes(), unhashed)
        self.assertEqual(temporaries_below(self.game), [])
        self.assertEqual(sorted(set(snapshot(self.game)) - set(before)),
                         ["data/good.bin", "launcher.hashes", "plain.txt"])

        # A file that was absent stays absent, and a rerun does not keep
        # anything of the body to resume from.
        (self.game / "data" / "tampered.bin").unlink()
        self.assertLast(self.run_tool("patch", manifest), 1, finished_with(1))
        self.assertFalse((self.game / "data" / "tampered.bin").exists())
        self.assertEqual(temporaries_below(self.game), [])

    def test_a_same_size_change_is_seen_by_check_and_repaired_by_patch_whatever_the_hash_cache_holds(self):
        """Files in place, then one byte of one changed on the disk: check
        counts it (exit 1) and changes nothing, patch downloads exactly that
        file again. The hashes of launcher.hashes are trusted only while a
        file's size, write time and identity are as cached: a change that
        keeps the write time but not the file is seen, as is any change
        after the cache went missing or was damaged. --verify ignores the
        cache (it even finds a change made behind the write time's back)
        and refreshes it."""
        files = {"a.bin": random.Random(21).randbytes(300000), "sub/b.bin": random.Random(22).randbytes(40000),
                 "c.txt": b"third\n"}
        lines = [entry(name, len(data), with_hash(self.serve(name, data), data)) for name, data in files.items()]
        lines.append(entry("nohash.bin", 4, self.serve("nohash.bin", b"four")))
        manifest = self.publish(lines)
        all_ok = "All 4 files OK - ready to play."
        differ = "1 file(s) differ - run launcher-patch patch."
        b_bin, cache = self.game / "sub" / "b.bin", self.game / "launcher.hashes"
        self.assertLast(self.run_tool("patch", manifest), 0, downloaded(4))
        self.assertTrue(cache.read_bytes().startswith(b"launcher-hashes\n"))
        write_file(self.game / "nohash.bin", b"FOUR")  # no hash: only its size is checked

        def changed_behind_the_cache(data, at, new_file):
            """Writes a same-size change of b.bin with its cached write time
            kept: in the same file, or in a new one (another identity)."""
            kept = b_bin.stat()
            written = b_bin.with_name("b.bin.new") if new_file else b_bin
            with open(written, "wb" if new_file else "r+b") as out:
                out.write(same_size_change(data, at))
            os.utime(written, ns=(kept.st_atime_ns, kept.st_mtime_ns))
            if new_file:  # made while the old one still exists: another file number
                os.replace(written, b_bin)

        def seen_and_repaired(why):
            with self.subTest(why):
                before = snapshot(self.game)
                checked = self.run_tool("check", manifest)
                self.assertLast(checked, 1, differ)
                self.assertIn("sub/b.bin: SHA-256 differs", checked.lines)
                changes = snapshot_changes(before, snapshot(self.game))
                self.assertEqual([change for change in changes if not change.endswith(" launcher.hashes")], [])
                served_before = len(self.nginx.requests())
                self.assertLast(self.run_tool("patch", manifest), 0, downloaded(1))
                self.assertEqual(b_bin.read_bytes(), files["sub/b.bin"])
                fetched = [uri for _, uri in self.nginx.requests()[served_before:] if not uri.endswith("manifest.txt")]
                self.assertEqual(fetched, ["/%s/sub/b.bin" % self._testMethodName])
                self.assertLast(self.run_tool("check", manifest), 0, all_ok)

        write_file(b_bin, same_size_change(files["sub/b.bin"], 39999))  # a new write time
        seen_and_repaired("warm cache, the file written since")
        changed_behind_the_cache(files["sub/b.bin"], 100, new_file=True)
        seen_and_repaired("stale cache: another file at the path, same size and write time")
        cache.unlink()
        changed_behind_the_cache(files["sub/b.bin"], 200, new_file=False)
        seen_and_repaired("missing cache")
        cache.write_bytes(cache.read_bytes()[:-7])
        changed_behind_the_cache(files["sub/b.bin"], 300, new_file=False)
        seen_and_repaired("damaged cache")

        # Behind the cache's back (same file, size and write time) only
        # --verify sees a change; it refreshes the cache, so check sees it
        # from then on, and patch --verify repairs it.
        changed_behind_the_cache(files["sub/b.bin"], 400, new_file=False)
        self.assertLast(self.run_tool("check", manifest), 0, all_ok)
        self.assertLast(self.run_tool("check", manifest, "--verify"), 1, differ)
        self.assertLast(self.run_tool("check", manifest), 1, differ)
        self.assertLast(self.run_tool("patch", manifest, "--verify"), 0, downloaded(1))
        self.assertLast(self.run_tool("check", manifest, "--verify"), 0, all_ok)
        self.assertEqual(temporaries_below(self.game), [])

        # A hash written in another form (upper case here) refuses its
        # entry rather than checking nothing: differing in check, an error
        # in patch, and the file is left as it is.
        bad = self.publish([entry("c.txt", len(files["c.txt"]), self.serve("c.txt", files["c.txt"]) +
                                  "#sha256=" + sha256_hex(files["c.txt"]).upper())], name="bad-fragment.txt")
        self.assertLast(self.run_tool("check", bad), 1, "1 file(s) differ - run launcher-patch patch.")
        result = self.run_tool("patch", bad)
        self.assertLast(result, 1, finished_with(1))
        self.assertIn("c.txt: the URL's fragment is not #sha256=", result.stderr)
        self.assertEqual((self.game / "c.txt").read_bytes(), files["c.txt"])

    def test_the_fragment_never_reaches_the_server(self):
        """nginx logs every request line as it came: after a patch with
        hashes, and with a fragment on the manifest URL itself, no request
        holds a '#' or the digest."""
        data = random.Random(31).randbytes(9000)
        manifest = self.publish([entry("f.bin", len(data), with_hash(self.serve("f.bin", data), data))])
        served_before = len(self.nginx.requests())
        self.assertLast(self.run_tool("patch", manifest + "#sha256=" + "0" * 64), 0, downloaded(1))
        uris = [uri for _, uri in self.nginx.requests()[served_before:]]
        self.assertEqual(uris, ["/%s/manifest.txt" % self._testMethodName, "/%s/f.bin" % self._testMethodName])
        for uri in uris:
            self.assertNotIn("#", uri)
            self.assertNotIn("sha256", uri)
            self.assertNotIn(sha256_hex(data)[:16], uri)

    def test_a_resumed_body_is_hashed_over_the_whole_file(self):
        """A body cut at half is kept for resuming. Kept as it was, the rest
        is asked for with Range and the file lands: the digest covered the
        half on the disk too. If the kept half was changed on the disk, the
        digest over the whole file shows it: the file is fetched whole again
        and lands as published. With a wrong hash in the manifest a resumed
        body is an error, leaving nothing."""
        body = random.Random(41).randbytes(600000)
        half = len(body) // 2
        for name, manifest_hash, tamper, outcome in [
                ("kept-half.bin", sha256_hex(body), False, "resumed"),
                ("kept-half-changed.bin", sha256_hex(body), True, "fetched whole"),
                ("wrong-hash.bin", sha256_hex(body[::-1]), False, "error")]:
            with self.subTest(file=name):
                route = Route(Version(body, '"v-%s"' % name), faults=["cut:%d" % half, "503", "503"])
                url = self.scripted.add(self._testMethodName + "/" + name, route)
                manifest = self.scripted.serve_text(
                    self._testMethodName + "/manifest-" + name,
                    manifest_bytes([entry(name, len(body), url + "#sha256=" + manifest_hash)]))
                self.assertLast(self.run_tool("patch", manifest), 1, finished_with(1))
                parts = [p for p in temporaries_below(self.game) if p.endswith(".part")]
                self.assertEqual(len(parts), 1, temporaries_below(self.game))
                part = self.game / parts[0]
                self.assertEqual(part.stat().st_size, half)
                if tamper:
                    part.write_bytes(same_size_change(part.read_bytes(), 100))

                asked_before = len(route.requests)
                result = self.run_tool("patch", manifest)
                asked = [r.get("range") for r in route.requests[asked_before:]]
                self.assertEqual(asked[0], "bytes=%d-" % half, asked)  # the rest was asked for first
                if outcome == "resumed":
                    self.assertLast(result, 0, downloaded(1))
                    self.assertEqual(asked, ["bytes=%d-" % half])
                elif outcome == "fetched whole":
                    self.assertLast(result, 0, downloaded(1))
                    self.assertEqual(asked, ["bytes=%d-" % half, None])
                else:
                    self.assertLast(result, 1, finished_with(1))
                    self.assertIn("%s: %s" % (name, HASH_DIFFERS), result.stderr)
                if outcome == "error":
                    self.assertFalse((self.game / name).exists())
                else:
                    self.assertEqual((self.game / name).read_bytes(), body)
                self.assertEqual(temporaries_below(self.game), [])


class LinuxIntegrityTest(IntegrityScenarios, unittest.TestCase):
    target = "linux"


class WindowsIntegrityTest(IntegrityScenarios, unittest.TestCase):
    target = "windows"


class PublishedHashScenarios:
    """launcher-manifest --sha256 against sha256sum on the same tree."""
    target = None

    @classmethod
    def setUpClass(cls):
        if shutil.which("sha256sum") is None:
            raise unittest.SkipTest("sha256sum is not installed")
        prepare_tool_class(cls, "launcher-manifest", "LAUNCHER_PATCH_TARGET")
        cls.tool.warm_up()

    def test_every_hash_written_is_sha256sums_and_the_rest_of_the_line_is_unchanged(self):
        """Files of many sizes (none, one byte, around the read sizes, a few
        MiB) and names that need encoding: each line with --sha256 is the
        line without it plus "#sha256=" and sha256sum's digest."""
        import tempfile
        rng = random.Random(51)
        sizes = [0, 1, 63, 64, 65, 32767, 32768, 32769, (1 << 20) - 1, 1 << 20, (1 << 20) + 1, 3 * (1 << 20) + 7]
        with tempfile.TemporaryDirectory(prefix="launcher-manifest-sha-") as scratch:
            tree = Path(scratch) / "tree"
            names = []
            for i, size in enumerate(sizes):
                name = ["f%02d.bin" % i, "dir one/f%02d #x.bin" % i, "d/e/f%02d-\u00e9.bin" % i][i % 3]
                write_file(tree / name, rng.randbytes(size))
                names.append(name)
            plain = self.tool.run([self.tool.native(tree), "http://127.0.0.1:9/base/"])
            hashed = self.tool.run(["--sha256", self.tool.native(tree), "http://127.0.0.1:9/base/"])
            self.assertEqual(plain.code, 0, plain.describe())
            self.assertEqual(hashed.code, 0, hashed.describe())
            listing = subprocess.run(["sha256sum", "--"] + names, cwd=tree, check=True, capture_output=True)
            expected = {}
            for line in listing.stdout.decode("utf-8").splitlines():
                digest, _, name = line.partition("  ")
                expected[name] = digest
            self.assertEqual(len(hashed.lines), len(plain.lines))
            self.assertEqual(hashed.lines[0], plain.lines[0])
            self.assertEqual(hashed.lines[-1], plain.lines[-1])
            for with_fragment, without in zip(hashed.lines[1:-1], plain.lines[1:-1]):
                url_head, _, fragment = with_fragment.rpartition("#sha256=")
                self.assertEqual(url_head, without)
                path = without.split("|", 1)[0]
                self.assertEqual(fragment, expected[path], path)
            self.assertEqual(len(hashed.lines) - 2, len(names))


class LinuxPublishedHashTest(PublishedHashScenarios, unittest.TestCase):
    target = "linux"


class WindowsPublishedHashTest(PublishedHashScenarios, unittest.TestCase):
    target = "windows"


if __name__ == "__main__":
    sys.exit(run_target_classes([LinuxIntegrityTest, LinuxPublishedHashTest, WindowsIntegrityTest, WindowsPublishedHashTest]))
