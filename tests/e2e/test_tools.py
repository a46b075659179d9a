#!/usr/bin/env python3
"""End-to-end tests of the producer tools: the Windows build of wrapper-pack and
wrapper-inspect, run under Wine, must agree byte for byte with the Linux build, on the real
launcher and the stand-in installer, signed packages included.

Besides what winelab.py needs, these tests use the Windows builds of the tools and of
tests/e2e/unwind from the build trees' locations (winelab.location), and
  WRAPPER_VERSION      the project's version (CMake sets it)
"""

import hashlib
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


def _tool_path(key):
    """A built program by its location key; the test is skipped when it was not built."""
    try:
        return winelab.location(key)
    except winelab.WineLabError as error:
        raise unittest.SkipTest(str(error))


def host_pack():
    return winelab.wrapper_pack()


def host_inspect():
    return _tool_path("wrapper_inspect")


def windows_pack():
    return _tool_path("wrapper_pack_exe")


def windows_inspect():
    return _tool_path("wrapper_inspect_exe")


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

    def test_exceptions_unwind_through_the_logic_the_windows_tools_link(self):
        check = _tool_path("logic_unwind_check")
        outcome = winelab.run_package(check)
        self.assertEqual(outcome.code, 0, outcome.stdout + outcome.stderr)
        self.assertIn("caught", outcome.stdout)

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
            ("ANSI text from a settings file", ["-s", ansi, "--allow-ansi", "--uninstall",
                                                "https://u%1v"]),
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
        utf16 = self.write("utf16.ini", "link = https://a.example/\r\n".encode("utf-16"))
        cases = [
            ("campaign query with ?", ["--payload", self.installer, "--campaign", "?k=v"],
             'campaign query starts with "?"'),
            ("payload not an executable", ["--payload", text],
             ": not a Windows executable: no MZ header at its start"),
            ("field too long", ["--payload", self.installer, "--link", "x" * 300],
             "link template is 300 bytes long; a field holds at most 259"),
            ("launcher and payload swapped", ["--launcher", self.installer, "--payload",
                                              self.launcher],
             'its version resource names the product "Stand-in installer": not the launcher'),
            ("payload is the launcher", ["--payload", self.launcher],
             'its version resource names the product "wrapper": it is the launcher'),
            ("a local program as landing page", ["--payload", self.installer,
                                                 "--landing", "C:\\Windows\\x%1.exe"],
             "landing template holds a backslash at position 2; no URL holds one"),
            ("UTF-16 settings file", ["--payload", self.installer, "-s", utf16],
             "UTF-16 text (it starts with a UTF-16 byte order mark); save it as UTF-8 or ASCII"),
        ]
        for label, args, message in cases:
            with self.subTest(label):
                launcher = [] if "--launcher" in args else ["--launcher", self.launcher]
                host, guest, linux, windows = self.pack_both([*launcher, *args])
                self.assertEqual((host.code, guest.code), (1, 1), host.stderr + guest.stderr)
                for outcome in (host, guest):
                    self.assertIn(message, outcome.stderr)
                    self.assertEqual(outcome.stderr.count("\n"), 1, outcome.stderr)
                self.assertFalse(os.path.exists(linux))
                self.assertFalse(os.path.exists(windows))
        leftovers = sorted(n for n in os.listdir(self.work) if n.endswith(".partial"))
        self.assertEqual(leftovers, [])

    def test_same_usage_errors(self):
        for tool, program, args, message in (
                ("wrapper-pack", windows_pack(), ["--lancher", "x"],
                 "unknown option --lancher; did you mean --launcher?"),
                ("wrapper-pack", windows_pack(), ["--launcher", "x", "--payload", "y", "-o", "z",
                                                  "--trailing-bytes", "-1"],
                 '--trailing-bytes: "-1" is not a byte count from 0 to 4294967295'),
                ("wrapper-inspect", windows_inspect(), ["x.exe", "--strict"],
                 "--strict requires --verify")):
            with self.subTest(message):
                host_program = host_pack() if tool == "wrapper-pack" else host_inspect()
                host = self.run_host([host_program, *args])
                guest = self.run_windows(program, args)
                expected = f"{tool}: {message} (see {tool} --help)\n"
                self.assertEqual((host.code, host.stderr), (2, expected))
                self.assertEqual((guest.code, guest.stderr), (2, expected))

    def test_same_version_in_the_tools_and_the_launcher(self):
        version = os.environ.get("WRAPPER_VERSION")
        if not version:
            self.skipTest("WRAPPER_VERSION is not set")
        for tool, host_program, windows_program in (
                ("wrapper-pack", host_pack(), windows_pack()),
                ("wrapper-inspect", host_inspect(), windows_inspect())):
            with self.subTest(tool):
                host = self.run_host([host_program, "--version"])
                guest = self.run_windows(windows_program, ["--version"])
                self.assertEqual((host.code, host.stdout), (0, f"{tool} {version}\n"))
                self.assertEqual((guest.code, guest.stdout), (0, f"{tool} {version}\n"))
        # wrapper.exe's version resource, as windres wrote it and both builds read it.
        host, guest, linux, windows = self.pack_both(
            ["--launcher", self.launcher, "--payload", self.installer])
        self.assertEqual((host.code, guest.code), (0, 0), host.stderr + guest.stderr)
        report = json.loads(self.run_host([host_inspect(), "--json", linux]).stdout)
        guest_report = json.loads(self.run_windows(windows_inspect(), ["--json", linux]).stdout)
        self.assertEqual(report["launcherImage"], guest_report["launcherImage"])
        self.assertEqual(report["launcherImage"]["version"]["productName"], "wrapper")
        self.assertEqual(report["launcherImage"]["version"]["productVersion"], version)
        self.assertEqual(report["launcherImage"]["version"]["fileVersion"], version + ".0")
        self.assertEqual(report["launcherImage"]["machine"], "x86 (0x014C)")
        self.assertEqual(report["payload"]["version"]["productName"], "Stand-in installer")

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
        changed = bytearray(read(self.signed))
        changed[os.path.getsize(self.launcher) + 100] ^= 1  # inside the payload
        tampered = self.write("tampered.exe", bytes(changed))
        for label, package, code in (("signed", self.signed, 0), ("changed after signing",
                                                                   tampered, 1)):
            with self.subTest(label):
                host, guest = self.inspect_both(["--verify", package])
                self.assertEqual((host.code, guest.code), (code, code), host.stdout)
                # The first line names the package, each build in its own spelling.
                self.assertTrue(host.stdout.startswith("package                 " + package))
                self.assertEqual(host.stdout.split("\n", 1)[1], guest.stdout.split("\n", 1)[1])
        self.assertIn("pass  nothing but a certificate table follows the marker", host.stdout)
        self.assertIn("FAIL  a signature after the marker still matches the file (its "
                      "Authenticode digest): the signature's SHA-256 digest", host.stdout)

    def test_digest_is_the_one_osslsigncode_calculates(self):
        host, guest = self.inspect_both(["--json", self.signed])
        verify = subprocess.run(["osslsigncode", "verify", "-in", self.signed],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        calculated = next(line.split(":", 1)[1].strip().lower()
                          for line in verify.stdout.decode(errors="replace").splitlines()
                          if line.startswith("Calculated message digest"))
        for report in (json.loads(host.stdout), json.loads(guest.stdout)):
            self.assertEqual(report["signatures"][0]["state"], "matches")
            self.assertEqual(report["signatures"][0]["fileDigest"], calculated)
            self.assertEqual(report["sha256"]["payload"],
                             hashlib.sha256(read(self.installer)).hexdigest())
            self.assertEqual(report["sha256"]["package"],
                             hashlib.sha256(read(self.signed)).hexdigest())


class ToolFileSafetyTests(ToolTestCase):
    """The Windows tools never write over an input, whatever its name: the same path, or
    the same file in other letter case (volume serial number and file index decide)."""

    def test_output_that_is_an_input_is_refused(self):
        installer = self.write("installer.exe", read(self.installer))
        package = self.path("setup.exe")
        packed = self.run_windows(windows_pack(), ["--launcher", self.launcher, "--payload",
                                                   installer, "-o", package])
        self.assertEqual(packed.code, 0, packed.stderr)
        before = {name: read(self.path(name)) for name in ("installer.exe", "setup.exe")}
        upper = os.path.join(self.work, "INSTALLER.EXE")
        cases = [
            ("pack onto its payload", windows_pack(),
             ["--launcher", self.launcher, "--payload", installer, "-o", installer],
             "is the same file as the payload"),
            ("pack onto its payload in other letter case", windows_pack(),
             ["--launcher", self.launcher, "--payload", installer, "-o", upper],
             "is the same file as the payload"),
            ("extract onto the package", windows_inspect(),
             [package, "--extract-payload", os.path.join(self.work, "Setup.EXE")],
             "is the same file as the package"),
        ]
        for label, program, args, message in cases:
            with self.subTest(label):
                outcome = self.run_windows(program, args)
                self.assertEqual(outcome.code, 1, outcome.stderr)
                self.assertIn(message, outcome.stderr)
                self.assertIn("; an input is never written over", outcome.stderr)
                self.assertEqual(outcome.stderr.count("\n"), 1, outcome.stderr)
        self.assertEqual({name: read(self.path(name)) for name in before}, before)
        self.assertEqual(sorted(os.listdir(self.work)), ["installer.exe", "setup.exe"])


if __name__ == "__main__":
    unittest.main()
