"""Runs a console program of a build, launcher-patch or launcher-manifest,
the way the tests, the benchmark and the demo need it: the Linux build
directly, the Windows build under Wine.

build/<target>/<name> is the program (".exe" for Windows), unless a build
folder is named (by the caller, or LAUNCHER_LINUX_BUILD or _WINDOWS_BUILD),
or LAUNCHER_PATCH_LINUX, LAUNCHER_MANIFEST_WINDOWS and so on (the name in
capitals, then the target) name the file itself. Under Wine,
drive Z: is the root folder, so native() turns a folder into Z: plus its
path with backslashes.

The program's output goes to files, never pipes: Wine may start a
wineserver that inherits them and stays after the program ended, and
reading a pipe to its end would wait for that server too. Proxy variables
are removed, so that loopback requests never go through a proxy.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from wine import WINE_ENVIRONMENT, wine_ready  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
RUN_TIMEOUT_S = 120
WINE_FIRST_START_S = 300  # the first Wine start in a prefix may build the prefix

_warm_prefixes = set()  # Wine prefixes this process has started a program in


@dataclass
class ToolResult:
    code: int
    stdout: bytes  # as written
    lines: list  # stdout as text, CR LF read as LF, one item a line
    stderr: str
    elapsed_s: float

    def describe(self):
        return "exit %d after %.1f s\nstdout: %r\nstderr: %s" % (
            self.code, self.elapsed_s, self.lines, self.stderr[-2000:])


class ConsoleTool:
    """One console program of one build: target "linux" or "windows"."""

    def __init__(self, name, target="linux", build=None):
        self.name = name
        self.target = target
        self.windows = target == "windows"
        self.separator = "\\" if self.windows else "/"  # between folders in native()
        folder = build or os.environ.get("LAUNCHER_%s_BUILD" % target.upper()) or Path("build", target)
        default = Path(REPO, folder) / (name + (".exe" if self.windows else ""))
        override = os.environ.get("%s_%s" % (name.upper().replace("-", "_"), target.upper()))
        self.exe = Path(override or default)

    def version(self):
        """The version ("4.1") of the build the program belongs to."""
        return build_version(self.exe.parent)

    def unavailable(self):
        """Why this program cannot run here, for a test to skip with, or
        None. A Windows build without Wine follows tests/support/wine.py:
        with LAUNCHER_REQUIRE_WINE=1 this raises WineRequired instead."""
        if not self.exe.exists():
            return "%s not built" % self.exe
        return wine_ready(self.name) if self.windows else None

    def native(self, path):
        """The path as the program should be given it."""
        path = str(Path(path).resolve())
        return "Z:" + path.replace("/", "\\") if self.windows else path

    def environment(self, timeout_ms=None, base=None):
        """base (the current environment by default) less its proxies; the
        network timeout of launcher-patch only when timeout_ms is given."""
        env = {k: v for k, v in (os.environ if base is None else base).items()
               if not k.lower().endswith("_proxy")}
        env["no_proxy"] = env["NO_PROXY"] = "127.0.0.1,localhost"
        env.pop("LAUNCHER_PATCH_TIMEOUT_MS", None)
        if timeout_ms is not None:
            env["LAUNCHER_PATCH_TIMEOUT_MS"] = str(timeout_ms)
        if self.windows:
            env["WINEDEBUG"] = WINE_ENVIRONMENT["WINEDEBUG"]
            env.setdefault("WINEDLLOVERRIDES", WINE_ENVIRONMENT["WINEDLLOVERRIDES"])
        return env

    def command(self, args):
        return (["wine"] if self.windows else []) + [str(self.exe)] + list(args)

    def run(self, args, stdout_path=None, timeout_s=RUN_TIMEOUT_S, timeout_ms=None, cwd=None, env=None):
        """Runs the program with args, stdout into stdout_path when given;
        env is the environment to start from. Raises TimeoutExpired (the
        program killed) after timeout_s."""
        with tempfile.TemporaryFile() as scratch, tempfile.TemporaryFile() as err:
            out = open(stdout_path, "wb") if stdout_path else scratch
            started = time.monotonic()
            try:
                process = subprocess.Popen(self.command(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                           cwd=cwd, env=self.environment(timeout_ms, env))
                try:
                    code = process.wait(timeout=timeout_s)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
                    raise
            finally:
                if stdout_path:
                    out.close()
            elapsed = time.monotonic() - started
            scratch.seek(0)
            err.seek(0)
            stdout = Path(stdout_path).read_bytes() if stdout_path else scratch.read()
            stderr = err.read().decode("utf-8", errors="replace")
        if os.environ.get("INTEGRATION_TRACE"):
            print("  [%s %s %.2f s exit %d] %s" % (self.name, self.target, elapsed, code, " ".join(args[:1])),
                  file=sys.stderr, flush=True)
        lines = stdout.decode("utf-8", errors="replace").replace("\r\n", "\n").split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        return ToolResult(code, stdout, lines, stderr, elapsed)

    def warm_up(self, env=None):
        """The first Wine start in a prefix may build the prefix: it is given
        time once, so that every later run can keep the usual timeout."""
        prefix = (os.environ if env is None else env).get("WINEPREFIX", "~/.wine")
        if self.windows and prefix not in _warm_prefixes:
            self.run(["--help"], timeout_s=WINE_FIRST_START_S, env=env)
            _warm_prefixes.add(prefix)


def build_version(folder):
    """The version ("4.1") CMake wrote into a build folder."""
    return Path(folder, "launcher_version.txt").read_text(encoding="utf-8").strip()


def make_manifest(folder, base_url, out_path, tool=None, env=None):
    """Publishes the manifest of every file below folder, served from
    base_url, as launcher-manifest writes it (tool, the Linux build's by
    default, run in env), to out_path; returns its bytes. out_path may lie
    inside folder: the tool leaves its own output out. RuntimeError when
    the tool is missing or fails."""
    tool = tool or ConsoleTool("launcher-manifest")
    if not tool.exe.exists():
        raise RuntimeError("%s not built" % tool.exe)
    tool.warm_up(env)
    result = tool.run([tool.native(folder), base_url], stdout_path=out_path, env=env)
    if result.code != 0:
        raise RuntimeError("%s could not list %s: %s" % (tool.exe, folder, result.describe()))
    return result.stdout


def prepare_tool_class(cls, program, variable, sandbox_prefix=None):
    """The common start of a console-tool scenario class (cls.target is
    "linux" or "windows"): skips the class unless the environment variable,
    when set, names its target and the build of program can run; sets
    cls.tool and, with sandbox_prefix, cls.sandbox, a fresh folder removed
    when the class ends."""
    wanted = os.environ.get(variable)
    if wanted and wanted != cls.target:
        raise unittest.SkipTest("%s=%s" % (variable, wanted))
    cls.tool = ConsoleTool(program, cls.target)
    why = cls.tool.unavailable()
    if why:
        raise unittest.SkipTest(why)
    if sandbox_prefix is not None:
        cls.sandbox = Path(tempfile.mkdtemp(prefix="%s-%s-" % (sandbox_prefix, cls.target))).resolve()
        cls.addClassCleanup(shutil.rmtree, cls.sandbox, ignore_errors=True)


def prepare_launcher_patch_class(cls, sandbox_prefix=None):
    """prepare_tool_class for launcher-patch, picked by LAUNCHER_PATCH_TARGET."""
    prepare_tool_class(cls, "launcher-patch", "LAUNCHER_PATCH_TARGET", sandbox_prefix)


def run_target_classes(classes, variable="LAUNCHER_PATCH_TARGET", names=None):
    """Runs the test classes whose target the environment variable picks
    (all when it is unset) and gives the exit status: 0 only when at least
    one scenario ran and none failed. names (by default the command line's)
    pick tests instead, as unittest names them ("LinuxResumeTest.test_x")."""
    names = sys.argv[1:] if names is None else names
    loader = unittest.TestLoader()
    if names:
        module = sys.modules[classes[0].__module__]
        suite = loader.loadTestsFromNames(names, module)
    else:
        wanted = os.environ.get(variable)
        picked = [c for c in classes if not wanted or c.target == wanted]
        suite = unittest.TestSuite(loader.loadTestsFromTestCase(c) for c in picked)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    ran = result.testsRun - len(result.skipped)
    return 0 if result.wasSuccessful() and ran > 0 else 1
