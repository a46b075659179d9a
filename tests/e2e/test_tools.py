#!/usr/bin/env python3
"""End-to-end tests of the producer tools: the Windows build of wrapper-pack and
wrapper-inspect, run under Wine, must agree byte for byte with the Linux build, on the real
launcher and the stand-in installer, signed packages included.

Besides what winelab.py needs, these tests use (each with a default next to what winelab
already knows):
  WRAPPER_INSPECT      the host wrapper-inspect (default: beside WRAPPER_PACK's build)
  WRAPPER_PACK_EXE     the Windows wrapper-pack.exe (default: beside WRAPPER_EXE's build)
  WRAPPER_INSPECT_EXE  the Windows wrapper-inspect.exe (likewise)
"""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

import winelab

SETTINGS = (b"# release settings\r\n"
            b"link      = https://example.com%1/start?\r\n"
            b"campaign  = utm_source=e2e&utm_medium=tools\r\n"
            b"landing   = https://example.com%1/welcome?#top\r\n"
            b"uninstall = https://example.com%1/goodbye?\r\n")

_scope = winelab.ModuleScope()
setUpModule = _scope.set_up
tearDownModule = _scope.tear_down


def _tool_path(variable, sibling_of, relative):
    path = os.environ.get(variable)
    if not path:
        path = os.path.normpath(os.path.join(os.path.dirname(sibling_of()), relative))
    if not os.path.isfile(path):
        raise unittest.SkipTest(f"{variable}={path} does not exist; build it first")
    return path


def host_pack():
    return winelab.wrapper_pack()


def host_inspect():
    return _tool_path("WRAPPER_INSPECT", winelab.wrapper_pack, "../inspect/wrapper-inspect")


def windows_pack():
    return _tool_path("WRAPPER_PACK_EXE", winelab.wrapper_exe, "../pack/wrapper-pack.exe")


def windows_inspect():
    return _tool_path("WRAPPER_INSPECT_EXE", winelab.wrapper_exe, "../inspect/wrapper-inspect.exe")


def read(path):
    with open(path, "rb") as stream:
        return stream.read()


class ToolTestCase(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="wrapper-tools-e2e-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.launcher = winelab.wrapper_exe()
        self.installer = winelab.standin_installer()

    def path(self, name):
        return os.path.join(self.work, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as stream:
            stream.write(data)
        return self.path(name)

    def run_host(self, argv):
        result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return winelab.Outcome(result.returncode, result.stdout.decode("utf-8", "replace"),
                               result.stderr.decode("utf-8", "replace"), 0.0)

    def run_windows(self, program, args):
        """Runs a Windows tool; arguments that name files here are given as Windows paths."""
        converted = [winelab.windows_path(a) if a.startswith(self.work) or a in
                     (self.launcher, self.installer) else a for a in args]
        outcome = winelab.run_package(program, converted)
        self.assertFalse(outcome.crashed, outcome.stderr)
        # Console text from Windows ends lines with CR LF.
        outcome.stdout = outcome.stdout.replace("\r\n", "\n")
        outcome.stderr = outcome.stderr.replace("\r\n", "\n")
        return outcome


class ToolBuildsAgreeTests(ToolTestCase):
    """Both builds of each tool, the same command, the same result."""

    def pack_both(self, args, name="setup.exe"):
        linux = self.path("linux-" + name)
        windows = self.path("windows-" + name)
        host = self.run_host([host_pack(), *args, "-o", linux])
        guest = self.run_windows(windows_pack(), [*args, "-o", windows])
        return host, guest, linux, windows

    def test_same_package_bytes(self):
        settings = self.write("release.ini", SETTINGS)
        ansi = self.write("ansi.ini", b"landing = https://caf\xe9.example%1/w?\n")
        empty = self.write("empty.bin", b"")
        cases = [
            ("settings file", ["-s", settings]),
            ("options", ["--link", "https://a.example/%1", "--campaign", "k=v",
                         "--landing", "https://a.example%1/w?", "--uninstall", "https://a%1/u?"]),
            ("option overrides the file", ["-s", settings, "--campaign", "utm_source=override"]),
            ("ANSI text from a settings file", ["-s", ansi, "--allow-ansi", "--uninstall", "u%1v"]),
            ("no settings at all", []),
            ("test package", ["-s", settings, "--trailing-bytes", "100", "--payload-size", "7"]),
        ]
        for label, args in cases:
            with self.subTest(label):
                host, guest, linux, windows = self.pack_both(
                    ["--launcher", self.launcher, "--payload", self.installer, *args])
                self.assertEqual(host.code, 0, host.stderr)
                self.assertEqual(guest.code, 0, guest.stderr)
                self.assertEqual(read(linux), read(windows))
                self.assertEqual(guest.stderr, host.stderr)
        with self.subTest("empty payload, unchecked"):
            host, guest, linux, windows = self.pack_both(
                ["--launcher", self.launcher, "--payload", empty, "--unchecked", "-s", settings])
            self.assertEqual((host.code, guest.code), (0, 0), host.stderr + guest.stderr)
            self.assertEqual(read(linux), read(windows))

    def test_same_refusals_and_nothing_written(self):
        text = self.write("text.bin", b"not an executable")
        cases = [
            ("campaign query with ?", ["--payload", self.installer, "--campaign", "?k=v"],
             'campaign query starts with "?"'),
            ("payload not an executable", ["--payload", text],
             "is not a Windows executable: no MZ header at its start"),
            ("field too long", ["--payload", self.installer, "--link", "x" * 300],
             "link template is 300 bytes long; a field holds at most 259"),
        ]
        for label, args, message in cases:
            with self.subTest(label):
                host, guest, linux, windows = self.pack_both(["--launcher", self.launcher, *args])
                self.assertEqual((host.code, guest.code), (1, 1))
                for outcome in (host, guest):
                    self.assertIn(message, outcome.stderr)
                    self.assertEqual(outcome.stderr.count("\n"), 1, outcome.stderr)
                self.assertFalse(os.path.exists(linux))
                self.assertFalse(os.path.exists(windows))
        leftovers = sorted(n for n in os.listdir(self.work) if n.endswith(".partial"))
        self.assertEqual(leftovers, [])

    def test_windows_pack_replaces_an_existing_package(self):
        target = self.write("setup.exe", b"old" * 1000)
        outcome = self.run_windows(windows_pack(), ["--launcher", self.launcher, "--payload",
                                                    self.installer, "-o", target])
        self.assertEqual(outcome.code, 0, outcome.stderr)
        self.assertEqual(os.path.getsize(target),
                         os.path.getsize(self.launcher) + os.path.getsize(self.installer) + 1080)


class SignedPackageToolTests(ToolTestCase):
    """The release flow on the real launcher: pack, sign, inspect, verify, extract, with
    both builds of wrapper-inspect reading the signed package the same way."""

    def setUp(self):
        super().setUp()
        for tool in ("openssl", "osslsigncode"):
            if not shutil.which(tool):
                self.skipTest(f"{tool} not installed")
        settings = self.write("release.ini", SETTINGS)
        self.unsigned = self.path("setup.exe")
        packed = self.run_host([host_pack(), "--launcher", self.launcher, "--payload",
                                self.installer, "-s", settings, "-o", self.unsigned])
        self.assertEqual(packed.code, 0, packed.stderr)
        key, cert = self.path("key.pem"), self.path("cert.pem")
        self.signed = self.path("setup-signed.exe")
        for argv in (["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                      "/CN=test", "-days", "2", "-keyout", key, "-out", cert],
                     ["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Example setup",
                      "-in", self.unsigned, "-out", self.signed]):
            result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                                    timeout=60)
            self.assertEqual(result.returncode, 0, result.stderr)

    def inspect_both(self, args):
        host = self.run_host([host_inspect(), *args])
        guest = self.run_windows(windows_inspect(), args)
        return host, guest

    def test_both_builds_see_the_same_signed_package(self):
        host, guest = self.inspect_both(["--json", "--verify", self.signed])
        self.assertEqual((host.code, guest.code), (0, 0), host.stdout + guest.stdout)
        host_report, guest_report = json.loads(host.stdout), json.loads(guest.stdout)
        del host_report["package"], guest_report["package"]
        self.assertEqual(host_report, guest_report)

        layout = host_report["layout"]
        launcher_size = os.path.getsize(self.launcher)
        installer_size = os.path.getsize(self.installer)
        self.assertEqual(layout["payload"], {"offset": launcher_size, "size": installer_size})
        self.assertEqual(layout["markerEnd"], os.path.getsize(self.unsigned))
        self.assertEqual(layout["afterMarker"]["kind"], "certificate-table")
        self.assertEqual(read(self.signed)[layout["markerEnd"] - 1080:layout["markerEnd"]],
                         read(self.unsigned)[-1080:])
        self.assertTrue(host_report["verify"]["passed"])
        self.assertEqual(host_report["handOff"]["landingUrl"]["de"],
                         "https://example.com\\de/welcome?#toputm_source=e2e&utm_medium=tools")

    def test_both_builds_extract_the_installer(self):
        for label, run in (("linux", self.run_host), ("windows", None)):
            with self.subTest(label):
                target = self.path(f"{label}-installer.exe")
                args = [self.signed, "--extract-payload", target]
                outcome = (self.run_host([host_inspect(), *args]) if run
                           else self.run_windows(windows_inspect(), args))
                self.assertEqual(outcome.code, 0, outcome.stderr)
                self.assertEqual(read(target), read(self.installer))

    def test_verify_text_is_the_same(self):
        host, guest = self.inspect_both(["--verify", self.signed])
        self.assertEqual((host.code, guest.code), (0, 0))
        self.assertEqual(host.stdout, guest.stdout)
        self.assertIn("pass  nothing but a certificate table follows the marker", host.stdout)


if __name__ == "__main__":
    unittest.main()
