#!/usr/bin/env python3
"""The launcher's demo on this machine.

Prepares a demo game folder (build/demo/game: the launcher, its default
artwork, a launcher.ini, a short generated music loop and a small demo game),
serves a generated patch set with its manifest from nginx on loopback,
listens on a loopback TCP port standing for the game server, and starts the
launcher. Click CHECK FILES and PATCH FILES to watch the files arrive, type a
name and press Enter to start the demo game. Ctrl+C or closing the window
stops everything.
"""
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import threading

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "scripts"))
sys.path.insert(0, os.path.join(TOP, "tests", "support"))
from console_tool import ConsoleTool, make_manifest  # noqa: E402
from local_nginx import LocalNginx  # noqa: E402

BUILD = os.path.join(TOP, "build", "linux")
DEMO = os.path.join(TOP, "build", "demo")
MANIFEST_TOOL = ConsoleTool("launcher-manifest", build=BUILD)

# (path in the game folder, size in bytes)
PATCH_SET = [
    ("data/maps/runvale.map", 700_000),
    ("data/maps/harbor.map", 420_000),
    ("data/textures/terrain.pak", 2_500_000),
    ("data/sounds/ambient.pak", 1_200_000),
    ("config/defaults.cfg", 1_800),
] + [("data/npc/npc%02d.dat" % i, 3_000 + 97 * i) for i in range(40)]

# The demo game: shows the arguments it was started with, and notes them in
# demo-game.log in the game folder.
DEMO_GAME = """#!/bin/sh
echo "$(date '+%H:%M:%S') started in $(pwd) with: $*" >> demo-game.log
echo $$ > demo-game.pid
exec xmessage -center -title "Zenthara Online (demo game)" \\
  "The demo game was started with the arguments: $*"
"""


def write_patch_set(files_dir, base_url, manifest_path):
    """The patch set's files below files_dir, served from base_url, and
    their manifest, made the way a server operator makes it."""
    rng = random.Random(4)
    for path, size in PATCH_SET:
        target = os.path.join(files_dir, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(rng.randbytes(size))
    make_manifest(files_dir, base_url, manifest_path, tool=MANIFEST_TOOL)


def write_music(game_dir):
    """A calm eight-second arpeggio, looped by the launcher."""
    wav = os.path.join(DEMO, "music.wav")
    notes = ["220", "277.18", "329.63", "440", "329.63", "277.18", "246.94", "329.63"]
    parts = []
    for i, freq in enumerate(notes):
        part = os.path.join(DEMO, "note%d.wav" % i)
        subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", part, "synth", "1", "sine", freq,
                        "sine", str(float(freq) * 1.5), "fade", "q", "0.05", "1", "0.4", "vol", "0.25"],
                       check=True)
        parts.append(part)
    subprocess.run(["sox"] + parts + [wav], check=True)
    subprocess.run(["lame", "--quiet", "-b", "96", wav, os.path.join(game_dir, "music.mp3")], check=True)


class GameServer:
    """Accepts and closes TCP connections on a loopback port, as the status
    probe expects of a running game server."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.sock.accept()
            except OSError:
                return
            connection.close()

    def stop(self):
        self.sock.close()


def prepare_game_folder(game_dir, manifest_url, server_port):
    os.makedirs(game_dir)
    for name in ("launcher", "bg.bmp", "icon.bmp"):
        shutil.copy(os.path.join(BUILD, name), game_dir)
    with open(os.path.join(game_dir, "launcher.ini"), "w") as f:
        f.write("[launcher]\nPatchURL=%s\nGameExe=qorin.sh\nGameArgs=Runvale -demo\n"
                "Server=127.0.0.1\nServerPort=%d\nUser=\n" % (manifest_url, server_port))
    game = os.path.join(game_dir, "qorin.sh")
    with open(game, "w") as f:
        f.write(DEMO_GAME)
    os.chmod(game, 0o755)
    write_music(game_dir)


def run_launcher(game_dir):
    """Runs the launcher and returns its exit status once it and the demo
    game it may have started have both ended. The launcher ends as soon as
    the game runs, but under xvfb-run the display would end with this
    script, and the game with it; so the demo stays until the game's window
    is closed. The game inherits the launcher's output, a pipe read here:
    the pipe ends only when the last of the two has ended."""
    launcher = subprocess.Popen([os.path.join(game_dir, "launcher")], cwd=game_dir,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def forward():
        for line in launcher.stdout:
            sys.stdout.buffer.write(line)
            sys.stdout.flush()

    reader = threading.Thread(target=forward, daemon=True)
    reader.start()
    try:
        code = launcher.wait()
        print("The launcher exited with status %d." % code, flush=True)
        reader.join(timeout=1.0)  # the rest of its output, when nothing else holds the pipe
        if reader.is_alive():
            print("The demo game is running; close its window (or press Ctrl+C) to end the demo.", flush=True)
            reader.join()
    except KeyboardInterrupt:
        if launcher.poll() is None:
            launcher.send_signal(signal.SIGINT)
            launcher.wait()
    return launcher.returncode


def main():
    if not os.environ.get("DISPLAY") and not os.environ.get("WAYLAND_DISPLAY"):
        print("The launcher is a windowed program and there is no display here (DISPLAY is not set).\n"
              "Run this on a desktop, or in a virtual one:  xvfb-run -s '-screen 0 1920x1080x24' scripts/run.sh\n"
              "The headless check and patch tool works anywhere:  build/linux/launcher-patch --help",
              file=sys.stderr)
        return 1
    for needed in [os.path.join(BUILD, name) for name in ("launcher", "bg.bmp", "icon.bmp")] + [MANIFEST_TOOL.exe]:
        if not os.path.exists(needed):
            print("%s is missing: build it first (cmake --build build/linux)" % needed, file=sys.stderr)
            return 1
    shutil.rmtree(DEMO, ignore_errors=True)
    server_dir = os.path.join(DEMO, "server")
    game_dir = os.path.join(DEMO, "game")
    os.makedirs(os.path.join(server_dir, "download"))
    game_server = GameServer()
    try:
        with LocalNginx(server_dir) as nginx:
            write_patch_set(os.path.join(server_dir, "files"), nginx.url("files"),
                            os.path.join(server_dir, "download", "manifest.txt"))
            prepare_game_folder(game_dir, nginx.url("download/manifest.txt"), game_server.port)
            print("Patch server: %s (nginx on loopback)" % nginx.url("download/manifest.txt"))
            print("Game server:  127.0.0.1:%d (a loopback listener)" % game_server.port)
            print("Game folder:  %s" % game_dir)
            print("Click CHECK FILES, then PATCH FILES; type a name and press Enter to start the demo game.\n"
                  "Close the window or press Ctrl+C to stop.", flush=True)
            run_launcher(game_dir)
    except KeyboardInterrupt:
        pass
    finally:
        game_server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
