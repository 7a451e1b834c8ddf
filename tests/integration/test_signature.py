"""Scenarios for signed manifests: launcher-patch with a ManifestKey in
launcher.ini uses a manifest only when the minisign signature published
beside it (the manifest URL's path + ".minisig") verifies, and otherwise
ends the pass as if the server could not be reached: exit 2, the reason on
standard error, nothing written. Keys and signatures are made by minisign
itself, and `minisign -V` must agree with the launcher in every case. A
signed manifest older than one already applied (minisign's "timestamp:" in
the trusted comment, kept per key in the game folder's launcher.state), or
past its "expires:", is refused the same way.

Runs against build/linux/launcher-patch and, under Wine, against
build/windows/launcher-patch.exe (LAUNCHER_PATCH_TARGET=linux|windows picks
one), with a private nginx on loopback. Needs minisign (scripts/install-deps.sh).
Standalone: python3 tests/integration/test_signature.py
"""
import re
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from console_tool import prepare_launcher_patch_class  # noqa: E402
from harness import (Nginx, entry, manifest_bytes, snapshot, snapshot_changes, wait_until,  # noqa: E402
                     write_file, write_launcher_ini)

UNREACHABLE = "Could not reach patch server (launcher.ini)."
REFUSED = "launcher-patch: manifest signature refused: "
MINISIGN_TIMEOUT_S = 30
LOG_WAIT_S = 10


def minisign(*args):
    """Runs minisign; its exit status (0 for success)."""
    return subprocess.run(["minisign", *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=MINISIGN_TIMEOUT_S).returncode


def make_key(folder, name):
    """A new minisign key pair without a password; (public key file, secret
    key file, the public key line, the key id as minisign prints it)."""
    public, secret = folder / (name + ".pub"), folder / (name + ".key")
    if minisign("-G", "-W", "-p", str(public), "-s", str(secret)) != 0:
        raise RuntimeError("minisign -G failed")
    comment, line = public.read_text().splitlines()[:2]
    return public, secret, line, comment.rsplit(" ", 1)[1]


class SignatureScenarios:
    target = None  # "linux" or "windows", set by the concrete classes

    @classmethod
    def setUpClass(cls):
        if shutil.which("minisign") is None:
            raise unittest.SkipTest("minisign is not installed (scripts/install-deps.sh)")
        prepare_launcher_patch_class(cls, "launcher-signature")
        cls.nginx = Nginx(cls.sandbox / "srv", cls.sandbox / "nginx")
        cls.addClassCleanup(cls.nginx.stop)
        cls.nginx.start()
        cls.keys = cls.sandbox / "keys"
        cls.keys.mkdir()
        cls.key = make_key(cls.keys, "publisher")
        cls.other_key = make_key(cls.keys, "stranger")
        cls.tool.warm_up()

    # ---- helpers -------------------------------------------------------

    def setUp(self):
        self.game = self.sandbox / self._testMethodName / "game"
        self.game.mkdir(parents=True)
        self.served = self.sandbox / "srv" / self._testMethodName

    def publish(self, relative, content):
        """Puts content in the nginx tree; (its path there, its URL)."""
        path = write_file(self.served / relative, content)
        return path, self.nginx.url(self._testMethodName + "/" + relative)

    def publish_release(self, name="manifest.txt"):
        """Two game files and their manifest (the manifest's path, its URL)."""
        _, url_a = self.publish("files/a.bin", b"alpha" * 100)
        _, url_b = self.publish("files/data/b.bin", b"bravo" * 7)
        lines = ["# release 7", entry("a.bin", 500, url_a), entry("data/b.bin", 35, url_b)]
        return self.publish(name, manifest_bytes(lines))

    def sign(self, manifest, key=None, legacy=False, comment="release 7 of the game"):
        """Signs manifest with minisign, the .minisig beside it; comment None
        keeps minisign's own trusted comment (its timestamp)."""
        _, secret, _, _ = key or self.key
        args = ["-S", "-s", str(secret), "-m", str(manifest), "-x", str(manifest) + ".minisig"]
        if comment is not None:
            args += ["-t", comment]
        if legacy:
            args.insert(1, "-l")
        self.assertEqual(minisign(*args), 0, "minisign -S failed")

    def minisign_accepts(self, manifest, key_line=None, signature=None):
        """What `minisign -V` says of manifest and its signature."""
        line = key_line or self.key[2]
        return minisign("-V", "-q", "-P", line, "-m", str(manifest),
                        "-x", str(signature or str(manifest) + ".minisig")) == 0

    def configure(self, manifest_url, key_line=None):
        write_launcher_ini(self.game, manifest_url, "ManifestKey=%s\r\n" % (key_line or self.key[2]))

    def run_tool(self, mode, url=None):
        args = [mode, "--dir", self.tool.native(self.game)]
        if url is not None:
            args += ["--url", url]
        return self.tool.run(args)

    def requested(self):
        """The request targets below this scenario's folder that nginx
        logged, in order, as paths relative to it."""
        prefix = "/" + self._testMethodName + "/"
        return [uri[len(prefix):] for _, uri in self.nginx.requests() if uri.startswith(prefix)]

    def wait_for_request(self, target):
        wait_until(lambda: target in self.requested(), LOG_WAIT_S, "nginx to log " + target)

    def assertPatched(self, result):
        self.assertEqual(result.code, 0, result.describe())
        self.assertEqual(result.lines[-1], "Downloaded 2 file(s). Ready.", result.describe())
        self.assertEqual((self.game / "a.bin").read_bytes(), b"alpha" * 100)
        self.assertEqual((self.game / "data" / "b.bin").read_bytes(), b"bravo" * 7)

    def assertRefused(self, result, reason):
        """The pass ended as unreachable, with exactly this reason on
        standard error."""
        self.assertEqual(result.code, 2, result.describe())
        self.assertEqual(result.lines[-1], UNREACHABLE, result.describe())
        self.assertEqual(result.stderr.splitlines(), [REFUSED + reason], result.describe())

    # ---- scenarios -----------------------------------------------------

    def test_signed_manifest_is_used_and_minisign_agrees(self):
        """A prehashed signature with a UTF-8 trusted comment: patch
        downloads, check then finds everything in place; the signature is
        fetched from beside the manifest once per pass."""
        manifest, url = self.publish_release()
        self.sign(manifest, comment="release 7 \u2014 \u00e9t\u00e9\tbuild 41")
        self.assertTrue(self.minisign_accepts(manifest))
        self.configure(url)
        self.assertPatched(self.run_tool("patch"))
        self.assertEqual(self.run_tool("check").code, 0)
        self.wait_for_request("files/data/b.bin")
        requests = self.requested()
        self.assertEqual(requests.count("manifest.txt.minisig"), 2, requests)
        self.assertLess(requests.index("manifest.txt.minisig"), requests.index("files/a.bin"))

    def test_legacy_signature_is_accepted(self):
        manifest, url = self.publish_release()
        self.sign(manifest, legacy=True)
        self.assertTrue(self.minisign_accepts(manifest))
        self.configure(url)
        self.assertPatched(self.run_tool("patch"))

    def test_query_string_stays_after_the_signature_path(self):
        """--url with a query: the signature is asked for at the path plus
        .minisig, the query after it."""
        manifest, url = self.publish_release()
        self.sign(manifest)
        self.configure(self.nginx.url("elsewhere/none.txt"))  # --url replaces PatchURL, the key stays
        self.assertPatched(self.run_tool("patch", url=url + "?v=3&channel=live"))
        self.wait_for_request("files/data/b.bin")
        self.assertIn("manifest.txt.minisig?v=3&channel=live", self.requested())

    def test_without_a_key_no_signature_is_fetched(self):
        """No ManifestKey: an unsigned manifest works as it always did, and
        even a broken .minisig beside it is never asked for."""
        manifest, url = self.publish_release()
        write_file(str(manifest) + ".minisig", b"not a signature\n")
        write_launcher_ini(self.game, url)
        self.assertPatched(self.run_tool("patch"))
        self.wait_for_request("files/data/b.bin")
        self.assertNotIn("manifest.txt.minisig", self.requested())

    def test_every_refusal_ends_the_pass_as_unreachable(self):
        """Each way a signature can fail: exit 2 in patch (and check), the
        reason on standard error, no game file requested or written, and
        minisign -V refuses the same files."""
        _, _, stranger_line, stranger_id = self.other_key
        publisher_id = self.key[3]

        def changed_byte(manifest):
            self.sign(manifest)
            data = bytearray(manifest.read_bytes())
            data[data.index(b"7")] = ord(b"8")  # in the comment line: still a valid manifest
            manifest.write_bytes(bytes(data))

        def changed_comment(manifest):
            self.sign(manifest)
            signature = Path(str(manifest) + ".minisig")
            lines = signature.read_bytes().split(b"\n")
            lines[2] = lines[2].replace(b"release 7", b"release 8")
            signature.write_bytes(b"\n".join(lines))

        def over_four_kib(manifest):
            self.sign(manifest)
            signature = Path(str(manifest) + ".minisig")
            lines = signature.read_bytes().split(b"\n")
            lines[0] += b"x" * 4096
            signature.write_bytes(b"\n".join(lines))

        def three_lines(manifest):
            self.sign(manifest)
            signature = Path(str(manifest) + ".minisig")
            signature.write_bytes(b"\n".join(signature.read_bytes().split(b"\n")[:3]) + b"\n")

        cases = [
            ("one manifest byte changed", changed_byte, None, "the manifest is not the one that was signed"),
            ("trusted comment changed", changed_comment, None, "the trusted comment is not the one that was signed"),
            ("signed with another key", lambda m: self.sign(m, key=self.other_key), None,
             "signed with another key (key id %s, the configured key's is %s)" % (stranger_id, publisher_id)),
            ("no signature", lambda m: None, None, "no signature could be fetched from %s.minisig (HTTP 404)"),
            ("signature over 4 KiB", over_four_kib, None, "the signature file is over 4 KiB"),
            ("signature cut to three lines", three_lines, None, "the signature file is not four lines of text"),
            ("key that is no key", self.sign, stranger_line[:-4],
             "the configured ManifestKey is not a minisign public key"),
        ]
        for name, prepare, key_line, reason in cases:
            with self.subTest(name):
                manifest, url = self.publish_release("%s/manifest.txt" % name.replace(" ", "-"))
                prepare(manifest)
                self.assertFalse(self.minisign_accepts(manifest, key_line))
                self.configure(url, key_line)
                before = snapshot(self.game)
                expected = reason % url if "%s" in reason else reason
                self.assertRefused(self.run_tool("patch"), expected)
                self.assertRefused(self.run_tool("check"), expected)
                self.assertEqual(snapshot_changes(before, snapshot(self.game)), [])
        # Nothing any refused manifest lists was ever fetched.
        wait_until(lambda: any(r.endswith("manifest.txt") for r in self.requested()), LOG_WAIT_S,
                   "nginx to log the manifests")
        self.assertEqual([r for r in self.requested() if r.startswith("files/")], [])

    def test_signed_manifests_never_go_back_in_time(self):
        """minisign's timestamp is kept per key in launcher.state by patch
        (check only compares): the same or a newer manifest is used; an older
        one, one without a timestamp or one past its expires is refused with
        nothing written; another key starts afresh; a damaged state file is
        said to be one and written anew."""
        manifest, url = self.publish_release()
        state = self.game / "launcher.state"
        kept = lambda *pairs: "launcher-state 1\n" + "".join("%s %d\n" % pair for pair in pairs)
        self.configure(url)
        self.sign(manifest, comment=None)
        comment = Path(str(manifest) + ".minisig").read_text().splitlines()[2]
        signed = int(re.fullmatch(r"trusted comment: timestamp:(\d+)\tfile:manifest.txt\thashed", comment).group(1))
        self.assertPatched(self.run_tool("patch"))
        self.assertEqual(self.run_tool("patch").code, 0)  # the same manifest again
        self.assertEqual(state.read_text(), kept((self.key[3], signed)))

        # An older release would replace a.bin and remove data/b.bin.
        _, url_old = self.publish("files/a-old.bin", b"old" * 10)
        manifest.write_bytes(manifest_bytes([entry("a.bin", 30, url_old), entry("data/b.bin", -1, url_old)]))
        before = snapshot(self.game)
        for comment, reason in [
                ("timestamp:%d\tfile:x" % (signed - 1), r"older than the manifest already applied \(timestamp %d, "
                 r"already applied %d\)" % (signed - 1, signed)),
                ("release 6", r"no timestamp in its trusted comment, after a manifest with one was applied "
                 r"\(already applied %d\)" % signed),
                ("timestamp:%d expires:1000000000" % (signed + 5), r"expired at 1000000000 \(the time is now \d+\)")]:
            self.sign(manifest, comment=comment)
            for mode in ("patch", "check"):
                result = self.run_tool(mode)
                self.assertEqual((result.code, result.lines[-1]), (2, UNREACHABLE), result.describe())
                self.assertRegex("|".join(result.stderr.splitlines()), "^%s%s$" % (re.escape(REFUSED), reason))
            self.assertEqual(snapshot_changes(before, snapshot(self.game)), [])

        self.sign(manifest, comment="timestamp:%d expires:%d" % (signed + 5, signed + 10 ** 8))
        self.assertEqual(self.run_tool("check").code, 1)
        self.assertEqual(state.read_text(), kept((self.key[3], signed)))
        self.assertEqual(self.run_tool("patch").code, 0)
        self.assertEqual(state.read_text(), kept((self.key[3], signed + 5)))

        self.sign(manifest, key=self.other_key, comment="timestamp:1000")
        self.configure(url, self.other_key[2])
        self.assertEqual(self.run_tool("patch").code, 0)
        self.assertEqual(state.read_text(), kept((self.key[3], signed + 5), (self.other_key[3], 1000)))

        state.write_text("launcher-state 1\n%s many\n" % self.other_key[3])
        self.sign(manifest, key=self.other_key, comment="timestamp:999")
        result = self.run_tool("patch")
        self.assertEqual(result.code, 0, result.describe())
        self.assertEqual(result.stderr.splitlines(), ["launcher-patch: launcher.state: damaged or unreadable, "
                                                      "read as empty: an older signed manifest is not refused this time"])
        self.assertEqual(state.read_text(), kept((self.other_key[3], 999)))


class LinuxBuild(SignatureScenarios, unittest.TestCase):
    target = "linux"


class WindowsBuild(SignatureScenarios, unittest.TestCase):
    target = "windows"


if __name__ == "__main__":
    unittest.main(verbosity=2)
