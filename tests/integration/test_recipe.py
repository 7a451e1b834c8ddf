"""The README's publishing recipe, run as written (the shell block after its
"publish-recipe" mark, with its variables BUILD, PUBLISHED, BASE_URL, KEY
and PUBKEY): three releases go to nginx on loopback, signed with a
throwaway minisign key, and launcher-patch (Linux, and Windows under Wine)
brings game folders up to each, the dropped file removed, also for a player
who skipped the release that dropped it. Needs minisign, nginx-light and the
Linux launcher-manifest. Standalone: python3 tests/integration/test_recipe.py
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "scripts"))
sys.path.insert(0, str(REPO / "tests" / "support"))
sys.path.insert(0, str(REPO / "tests" / "integration"))

from console_tool import ConsoleTool  # noqa: E402
from local_nginx import LocalNginx  # noqa: E402
from test_manifest import write_tree  # noqa: E402

# What the launcher keeps of its own at the top of a game folder: the
# player's settings, what it remembers of the signed manifests it took, and
# the hashes of the files it read.
LAUNCHER_OWN_FILES = ("launcher.ini", "launcher.state", "launcher.hashes")


def recipe_commands():
    """The shell block right after the mark in README.md."""
    text = (REPO / "README.md").read_text(encoding="utf-8")
    start = text.index("```sh\n", text.index("<!-- publish-recipe")) + len("```sh\n")
    return text[start:text.index("```", start)]


def release_trees():
    """The second release changes three files, adds one and drops one; the
    third changes one more. Each change changes the size: the launcher
    compares sizes only."""
    rng = random.Random(41)
    first = {"qorin.exe": rng.randbytes(200000), "data/maps/run vale.map": rng.randbytes(70000),
             "data/old.map": rng.randbytes(3000), "music/th\u00e8me.mp3": rng.randbytes(50000),
             "data/sounds/a.ogg": rng.randbytes(9000), "readme.txt": b"release 1\n"}
    second = dict(first, **{"qorin.exe": rng.randbytes(200001), "data/maps/run vale.map": rng.randbytes(80000),
                            "readme.txt": b"2\n", "data/new/added.bin": rng.randbytes(4000)})
    del second["data/old.map"]
    return [first, second, dict(second, **{"data/sounds/a.ogg": rng.randbytes(9500)})]


def game_files(game):
    found = {p.relative_to(game).as_posix(): p.read_bytes() for p in Path(game).rglob("*") if p.is_file()}
    return {path: data for path, data in found.items() if path not in LAUNCHER_OWN_FILES}


class PublishRecipe(unittest.TestCase):
    def setUp(self):
        manifest_tool = ConsoleTool("launcher-manifest", "linux")
        if shutil.which("minisign") is None or not manifest_tool.exe.exists():
            self.skipTest("needs minisign and %s" % manifest_tool.exe)
        self.patchers = [p for p in (ConsoleTool("launcher-patch", t) for t in ("linux", "windows"))
                         if p.unavailable() is None]
        for patcher in self.patchers:
            patcher.warm_up()
        self.work = Path(tempfile.mkdtemp(prefix="launcher-recipe-")).resolve()
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.work.chmod(0o755)  # nginx reads as this user; readable anyway should it read as nobody
        (self.work / "bin").mkdir()
        os.symlink(manifest_tool.exe.resolve(), self.work / "bin" / "launcher-manifest")
        self.env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        self.env.update(BUILD=str(self.work / "build"), PUBLISHED=str(self.work / "srv"),
                        KEY=str(self.work / "test.key"), PUBKEY=str(self.work / "test.pub"),
                        PATH=str(self.work / "bin") + os.pathsep + os.environ["PATH"])
        # A throwaway key pair without a password.
        subprocess.run(["minisign", "-G", "-W", "-p", self.env["PUBKEY"], "-s", self.env["KEY"]],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True, timeout=30)

    def publish(self, release, number):
        """Runs the recipe for one release, in an empty working folder; the
        published manifest's text."""
        shutil.rmtree(self.env["BUILD"], ignore_errors=True)
        write_tree(self.env["BUILD"], release)
        working = self.work / ("release-%d" % number)
        working.mkdir()
        done = subprocess.run(["sh", "-c", recipe_commands()], cwd=working, env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, "release %d: %s" % (number, done.stderr.decode(errors="replace")))
        return Path(self.env["PUBLISHED"], "download", "manifest.txt").read_text(encoding="utf-8")

    def bring_up_to_date(self, patcher, game, release, number):
        result = patcher.run(["patch", "--dir", patcher.native(game)])
        where = "release %d, %s" % (number, patcher.target)
        self.assertEqual(result.code, 0, where + ": " + result.describe())
        installed = game_files(game)
        self.assertEqual(sorted(installed), sorted(release), where)
        self.assertEqual([p for p in installed if installed[p] != release[p]], [], where + ": contents differ")

    def test_each_release_reaches_players_and_dropped_files_go(self):
        if not self.patchers:
            self.skipTest("no launcher-patch can run")
        public_key = Path(self.env["PUBKEY"]).read_text().splitlines()[1]
        with LocalNginx(self.work / "srv") as nginx:
            self.env["BASE_URL"] = nginx.url("").rstrip("/")
            ini = "[launcher]\r\nPatchURL=%s\r\nManifestKey=%s\r\n" % (nginx.url("download/manifest.txt"), public_key)
            games = {}
            for patcher in self.patchers:
                for player in ("steady", "skipper"):
                    games[patcher.target, player] = game = self.work / (patcher.target + "-" + player)
                    write_tree(game, {"launcher.ini": ini.encode()})
            for number, release in enumerate(release_trees(), 1):
                manifest = self.publish(release, number)
                self.assertEqual(manifest.splitlines().count("data/old.map|-1|"), min(number - 1, 1), manifest)
                for patcher in self.patchers:
                    self.bring_up_to_date(patcher, games[patcher.target, "steady"], release, number)
                    if number != 2:  # this player skips the release that dropped the file
                        self.bring_up_to_date(patcher, games[patcher.target, "skipper"], release, number)


if __name__ == "__main__":
    unittest.main(verbosity=2)
