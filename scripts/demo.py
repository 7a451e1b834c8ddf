#!/usr/bin/env python3
"""A demo of the launcher's patching on this machine.

Builds a demo game folder (build/demo/game) and a demo patch set
(build/demo/server) with its manifest, serves the patch set from nginx on
loopback, and runs a check pass, a patch pass and a second check pass in the
game folder with launcher-patch, the launcher's engine without its window.
"""
import os
import random
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from local_nginx import LocalNginx  # noqa: E402

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(TOP, "build", "linux")
DEMO = os.path.join(TOP, "build", "demo")

# (path in the game folder, size in bytes)
PATCH_SET = [
    ("qorin.exe", 48_000),
    ("data/maps/runvale.map", 700_000),
    ("data/maps/harbor.map", 420_000),
    ("data/textures/terrain.pak", 2_500_000),
    ("data/sounds/ambient.pak", 1_200_000),
    ("config/defaults.cfg", 1_800),
] + [("data/npc/npc%02d.dat" % i, 3_000 + 97 * i) for i in range(40)]


def write_patch_set(server_dir, base_url):
    rng = random.Random(4)
    lines = ["# demo patch set: path|size|url"]
    for path, size in PATCH_SET:
        target = os.path.join(server_dir, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(rng.randbytes(size))
        lines.append("%s|%d|%s%s" % (path, size, base_url, path))
    with open(os.path.join(server_dir, "download", "manifest.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def run_tool(mode, game_dir):
    print("\n$ launcher-patch %s --dir %s" % (mode, os.path.relpath(game_dir, TOP)), flush=True)
    code = subprocess.call([os.path.join(BUILD, "launcher-patch"), mode, "--dir", game_dir])
    print("(exit status %d)" % code, flush=True)


def main():
    shutil.rmtree(DEMO, ignore_errors=True)
    server_dir = os.path.join(DEMO, "server")
    game_dir = os.path.join(DEMO, "game")
    os.makedirs(os.path.join(server_dir, "download"))
    os.makedirs(game_dir)
    with LocalNginx(server_dir) as nginx:
        write_patch_set(server_dir, nginx.url("/"))
        shutil.copy(os.path.join(BUILD, "launcher"), game_dir)
        with open(os.path.join(game_dir, "launcher.ini"), "w") as f:
            f.write("[launcher]\nPatchURL=%s\nGameExe=qorin.exe\nGameArgs=Runvale\n"
                    "Server=127.0.0.1\nServerPort=6543\nUser=\n" % nginx.url("download/manifest.txt"))
        print("Patch server: %s (nginx on loopback)" % nginx.url("download/manifest.txt"))
        print("Game folder:  %s" % game_dir)
        run_tool("check", game_dir)
        run_tool("patch", game_dir)
        run_tool("check", game_dir)
        print("\n$ launcher  (reads launcher.ini; its window is not built yet)", flush=True)
        code = subprocess.call([os.path.join(game_dir, "launcher")])
        print("(exit status %d)" % code)


if __name__ == "__main__":
    main()
