#!/usr/bin/env python3
"""Checks the resources compiled into the three Windows programs
(launcher.exe, launcher-patch.exe, launcher-manifest.exe), read back from the
built files: the PE resource directory is parsed here by hand, the
application manifest (type 24, RT_MANIFEST, id 1) is parsed as XML and the
VERSIONINFO (type 16, RT_VERSION, id 1) block by block.

Under Wine (when it is here; tests/support/wine.py) the tools are also
started once each, since Windows refuses to start a program whose manifest
it cannot use.

The Windows build folder is LAUNCHER_WINDOWS_BUILD (absolute, or relative to
the repository), build/windows by default. Without the built programs the
tests are skipped. Every resource carries the build's version, as
launcher_version.txt in the build folder and launcher-patch --version say it.

Usage: [LAUNCHER_WINDOWS_BUILD=build/h7-windows] python3 tests/integration/test_windows_resources.py [names...]
"""

import os
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ElementTree

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "support"))
from console_tool import build_version  # noqa: E402
from wine import WINE_ENVIRONMENT, wine_ready  # noqa: E402

BUILD = os.path.join(REPO, os.environ.get("LAUNCHER_WINDOWS_BUILD", "build/windows"))

RT_ICON_GROUP = 14
RT_VERSION = 16
RT_MANIFEST = 24

DESCRIPTIONS = {
    "launcher": "Zenthara Online launcher",
    "launcher-patch": "Zenthara Online patch checker",
    "launcher-manifest": "Zenthara Online manifest builder",
}
PROGRAMS = sorted(DESCRIPTIONS)

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SETTINGS_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
SETTINGS_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"

SUPPORTED_OS = {
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
}



def built_version():
    """("4.1", (4, 1, 0, 0)): the build's version and its four numbers."""
    text = build_version(BUILD)
    numbers = tuple(int(part) for part in text.split("."))
    return text, numbers + (0,) * (4 - len(numbers))


# ---- PE resources -------------------------------------------------------------

# The processor a manifest must name, by the image's optional header magic.
PE_ARCHITECTURES = {0x10B: "x86", 0x20B: "amd64"}


def pe_architecture(path):
    with open(path, "rb") as handle:
        image = handle.read(4096)
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    return PE_ARCHITECTURES.get(struct.unpack_from("<H", image, pe + 24)[0])


def pe_resources(path):
    """{(type, id): {language: bytes}} of a PE file, for the entries named
    by number (named ones are keyed by their name). The shipped build is
    32-bit (PE32); the 64-bit test build (PE32+) is read too."""
    with open(path, "rb") as handle:
        image = handle.read()
    if image[:2] != b"MZ":
        raise AssertionError("%s: no MZ header" % path)
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise AssertionError("%s: no PE signature" % path)
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    if magic not in PE_ARCHITECTURES:
        raise AssertionError("%s: not a PE32 or PE32+ image, magic %#x" % (path, magic))
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva, resource_size = struct.unpack_from("<II", image, directories + 2 * 8)
    if resource_rva == 0 or resource_size == 0:
        return {}
    table = optional + optional_size
    layout = []
    for index in range(sections):
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", image, table + 40 * index + 8)
        layout.append((virtual_address, max(virtual_size, raw_size), raw_pointer))

    def offset_of(rva):
        for virtual_address, size, raw_pointer in layout:
            if virtual_address <= rva < virtual_address + size:
                return raw_pointer + rva - virtual_address
        raise AssertionError("%s: RVA %#x is in no section" % (path, rva))

    base = offset_of(resource_rva)

    def name_of(field):
        if not field & 0x80000000:
            return field
        at = base + (field & 0x7FFFFFFF)
        length = struct.unpack_from("<H", image, at)[0]
        return image[at + 2:at + 2 + 2 * length].decode("utf-16-le")

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", image, base + directory + 12)
        for index in range(named + numbered):
            name, target = struct.unpack_from("<II", image, base + directory + 16 + 8 * index)
            yield name_of(name), target

    found = {}
    for kind, kind_target in entries(0):
        if not kind_target & 0x80000000:
            raise AssertionError("%s: resource type %r is not a directory" % (path, kind))
        for ident, ident_target in entries(kind_target & 0x7FFFFFFF):
            if not ident_target & 0x80000000:
                raise AssertionError("%s: resource %r/%r is not a directory" % (path, kind, ident))
            for language, leaf in entries(ident_target & 0x7FFFFFFF):
                if leaf & 0x80000000:
                    raise AssertionError("%s: resource %r/%r/%r nests too deep" % (path, kind, ident, language))
                data_rva, size = struct.unpack_from("<II", image, base + leaf)
                start = offset_of(data_rva)
                found.setdefault((kind, ident), {})[language] = image[start:start + size]
    return found


# ---- VERSIONINFO --------------------------------------------------------------

def align4(offset):
    return (offset + 3) & ~3


def version_block(data, offset=0):
    """One block of a VS_VERSIONINFO tree at offset: (key, value, children),
    value being text for a text block and bytes for a binary one."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    if length < 6 or offset + length > len(data):
        raise AssertionError("version block at %d has a bad length %d" % (offset, length))
    end = offset + length
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end:
            raise AssertionError("version block at %d: key without an end" % offset)
    key = data[offset + 6:key_end].decode("utf-16-le")
    at = align4(key_end + 2)
    if kind == 1:
        raw = data[at:at + 2 * value_length]
        value = raw.decode("utf-16-le").rstrip("\0")
        at += 2 * value_length
    elif kind == 0:
        value = data[at:at + value_length]
        at += value_length
    else:
        raise AssertionError("version block %r: type %d is neither text nor binary" % (key, kind))
    children = []
    at = align4(at)
    while at < end:
        child = version_block(data, at)
        children.append(child[:3])
        at = align4(at + child[3])
    return key, value, children, length


def version_info(data):
    """(fixed file version, fixed product version, {block: {name: text}},
    [(language, code page)]) of a VERSIONINFO resource."""
    key, fixed, children, _ = version_block(data)
    if key != "VS_VERSION_INFO":
        raise AssertionError("the root block is %r, not VS_VERSION_INFO" % key)
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != 0xFEEF04BD:
        raise AssertionError("VS_FIXEDFILEINFO signature %#x" % signature)

    def four(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings, translations = {}, []
    for name, _, blocks in children:
        if name == "StringFileInfo":
            for table, _, values in blocks:
                strings[table] = {value_name: text for value_name, text, _ in values}
        elif name == "VarFileInfo":
            for value_name, raw, _ in blocks:
                if value_name == "Translation":
                    translations += [struct.unpack_from("<HH", raw, at) for at in range(0, len(raw), 4)]
    return four(file_ms, file_ls), four(product_ms, product_ls), strings, translations


# ---- The checks -----------------------------------------------------------------

def program_path(program):
    return os.path.join(BUILD, program + ".exe")


def skip_without_build():
    missing = [program + ".exe" for program in PROGRAMS if not os.path.isfile(program_path(program))]
    if missing:
        raise unittest.SkipTest("no Windows build in %s (%s missing); set LAUNCHER_WINDOWS_BUILD"
                                % (BUILD, ", ".join(missing)))


class Resources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        skip_without_build()
        cls.resources = {program: pe_resources(program_path(program)) for program in PROGRAMS}
        cls.version_text, cls.version = built_version()

    def single(self, program, kind, ident):
        languages = self.resources[program].get((kind, ident))
        self.assertTrue(languages, "%s.exe has no resource %d of type %d" % (program, ident, kind))
        self.assertEqual(len(languages), 1, "%s.exe has resource %d of type %d in %d languages"
                         % (program, ident, kind, len(languages)))
        return next(iter(languages.values()))

    def manifest(self, program):
        return ElementTree.fromstring(self.single(program, RT_MANIFEST, 1))


class Manifest(Resources):
    def test_only_manifest_is_id_1(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                idents = sorted(ident for kind, ident in self.resources[program] if kind == RT_MANIFEST)
                self.assertEqual(idents, [1])

    def test_runs_as_invoker(self):
        path = "{%s}trustInfo/{%s}security/{%s}requestedPrivileges/{%s}requestedExecutionLevel" % ((ASM_V3,) * 4)
        for program in PROGRAMS:
            with self.subTest(program=program):
                levels = self.manifest(program).findall(path)
                self.assertEqual(len(levels), 1)
                self.assertEqual(levels[0].get("level"), "asInvoker")
                self.assertEqual(levels[0].get("uiAccess"), "false")

    def test_supported_systems(self):
        path = "{%s}compatibility/{%s}application/{%s}supportedOS" % ((COMPATIBILITY,) * 3)
        for program in PROGRAMS:
            with self.subTest(program=program):
                ids = [entry.get("Id", "").lower() for entry in self.manifest(program).findall(path)]
                self.assertEqual(sorted(ids), sorted(SUPPORTED_OS))

    def settings(self, program, namespace, name):
        path = "{%s}application/{%s}windowsSettings/{%s}%s" % (ASM_V3, ASM_V3, namespace, name)
        return [(element.text or "").strip() for element in self.manifest(program).findall(path)]

    def test_long_paths(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                self.assertEqual(self.settings(program, SETTINGS_2016, "longPathAware"), ["true"])

    def test_common_controls_6(self):
        path = "{%s}dependency/{%s}dependentAssembly/{%s}assemblyIdentity" % ((ASM_V1,) * 3)
        for program in PROGRAMS:
            with self.subTest(program=program):
                found = [identity for identity in self.manifest(program).findall(path)
                         if identity.get("name") == "Microsoft.Windows.Common-Controls"]
                self.assertEqual(len(found), 1)
                identity = found[0]
                self.assertEqual(identity.get("type"), "win32")
                self.assertEqual(identity.get("version"), "6.0.0.0")
                self.assertEqual(identity.get("publicKeyToken"), "6595b64144ccf1df")
                self.assertIn(identity.get("processorArchitecture"), ("*", pe_architecture(program_path(program))))

    def test_own_identity(self):
        path = "{%s}assemblyIdentity" % ASM_V1
        for program in PROGRAMS:
            with self.subTest(program=program):
                identity = self.manifest(program).find(path)
                self.assertIsNotNone(identity)
                self.assertEqual(identity.get("version"), "%d.%d.%d.%d" % self.version)
                self.assertEqual(identity.get("processorArchitecture"), pe_architecture(program_path(program)))

    def test_dpi_awareness_of_the_window_only(self):
        self.assertEqual(self.settings("launcher", SETTINGS_2005, "dpiAware"), ["true/pm"])
        awareness = self.settings("launcher", SETTINGS_2016, "dpiAwareness")
        self.assertEqual(len(awareness), 1)
        self.assertEqual([part.strip() for part in awareness[0].split(",")], ["PerMonitorV2", "PerMonitor"])
        for program in ("launcher-patch", "launcher-manifest"):
            with self.subTest(program=program):
                for namespace, name in ((SETTINGS_2005, "dpiAware"), (SETTINGS_2016, "dpiAwareness")):
                    self.assertEqual(self.settings(program, namespace, name), [], name)


class Version(Resources):
    def test_fixed_versions(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                file_version, product_version, _, _ = version_info(self.single(program, RT_VERSION, 1))
                self.assertEqual(file_version, self.version)
                self.assertEqual(product_version, self.version)

    def test_strings(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                _, _, strings, translations = version_info(self.single(program, RT_VERSION, 1))
                self.assertEqual(sorted(strings), ["040904b0"])
                self.assertEqual(strings["040904b0"], {
                    "CompanyName": "Zenthara Online",
                    "FileDescription": DESCRIPTIONS[program],
                    "FileVersion": "%d.%d.%d.%d" % self.version,
                    "InternalName": program,
                    "LegalCopyright": "Copyright (C) 2026 Zenthara Online",
                    "OriginalFilename": program + ".exe",
                    "ProductName": "Zenthara Online",
                    "ProductVersion": self.version_text,
                })
                self.assertEqual(translations, [(0x409, 1200)])

    def test_same_version_as_the_window_shows(self):
        # launcher-patch --version prints the window footer's LauncherVersion.
        reason = wine_ready("windows resources")
        if reason:
            self.skipTest(reason)
        said = subprocess.run(["wine", program_path("launcher-patch"), "--version"],
                              env=dict(os.environ, **WINE_ENVIRONMENT), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=120).stdout.decode("utf-8", "replace")
        self.assertEqual(said.strip(), "launcher-patch " + self.version_text)
        shown = self.version_text
        for program in PROGRAMS:
            with self.subTest(program=program):
                _, _, strings, _ = version_info(self.single(program, RT_VERSION, 1))
                self.assertEqual(strings["040904b0"]["ProductVersion"], shown)
                self.assertTrue(strings["040904b0"]["FileVersion"].startswith(shown + "."))

    def test_launcher_keeps_its_icon(self):
        self.single("launcher", RT_ICON_GROUP, 1)


class UnderWine(unittest.TestCase):
    """The loader takes the manifests: each tool starts and prints its usage."""

    def test_tools_start(self):
        skip_without_build()
        reason = wine_ready("windows resources")
        if reason:
            self.skipTest(reason)
        environment = dict(os.environ, **WINE_ENVIRONMENT)
        for program in ("launcher-patch", "launcher-manifest"):
            with self.subTest(program=program):
                done = subprocess.run(["wine", program_path(program), "--help"], env=environment,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
                output = done.stdout.decode("utf-8", "replace")
                self.assertIn("usage: " + program, output)


if __name__ == "__main__":
    unittest.main(verbosity=2)
