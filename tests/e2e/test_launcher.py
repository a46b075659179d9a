#!/usr/bin/env python3
"""End-to-end tests of wrapper.exe: real packages, written by wrapper-pack around the
stand-in installer, run under Wine. See winelab.py for the environment they need.

Each test class gets its own temporary folder (TEMP and TMP), so leftovers and planted
files in one class cannot affect another; the previous setting comes back afterwards.
"""

import contextlib
import glob
import hashlib
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

import winelab
from winelab import TRAILER_SIZE, ResultCode

MARKER = winelab.marker()

RT_ICON = 3
RT_GROUP_ICON = 14
RT_MANIFEST = 24


# Libraries the system loader always takes from the system folder (its known libraries),
# never from beside the image. The launcher runs elevated from a downloads folder where
# anyone can plant a library, and what it imports is loaded before any of its code runs.
KNOWN_SYSTEM_LIBRARIES = {
    "advapi32.dll", "combase.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll",
    "kernel32.dll", "msvcrt.dll", "normaliz.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "ws2_32.dll",
}


SESSION_MANAGER_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager"
PENDING_RENAMES = "PendingFileRenameOperations"

_scope = winelab.ModuleScope("wrapper-e2e-")
setUpModule = _scope.set_up
tearDownModule = _scope.tear_down


def same_windows_path(a, b):
    """Windows compares paths case-insensitively and reads doubled separators as one."""
    def canonical(path):
        while "\\\\" in path:
            path = path.replace("\\\\", "\\")
        return path.lower()
    return canonical(a) == canonical(b)


def digest(path):
    with open(path, "rb") as stream:
        return hashlib.sha256(stream.read()).hexdigest()


class LauncherTestCase(winelab.WineTestCase):
    """Runs packages with the stand-in's record switched on and checks what it saw."""

    scope = _scope

    @classmethod
    def package(cls, name, **options):
        return winelab.pack(os.path.join(cls.work, name), winelab.standin_installer(), **options)

    def installer_env(self, **extra):
        env = {"STANDIN_RECORD": winelab.windows_path(self.record)}
        env.update(extra)
        return env

    def run_package(self, package, args=(), env=None, timeout=60):
        """Runs the package; returns the outcome and the seconds (Unix time) it ran in."""
        first = int(time.time())
        outcome = winelab.run_package(package, args, timeout=timeout,
                                      env=self.installer_env(**(env or {})))
        last = int(time.time())
        self.assertFalse(outcome.crashed, f"the launcher crashed:\n{outcome.stderr}")
        return outcome, range(first, last + 1)

    def starts(self):
        return winelab.read_record(self.record)

    def assert_started_once_from_temp(self, seconds, temp_windows=None):
        """The installer ran exactly once, from "<temp dir>\\Zorvik<N>.exe" with N drawn
        for the second the launcher started in, and with its quoted path as the whole
        command line."""
        temp_dir = winelab.temp_path_as_system_returns(temp_windows or self.temp_windows)
        starts = self.starts()
        self.assertEqual(len(starts), 1, f"expected one installer start, got {starts}")
        expected = {f'"{temp_dir}\\{winelab.temp_name(second)}"' for second in seconds}
        self.assertIn(starts[0].command_line, expected)
        self.assertTrue(same_windows_path(starts[0].module_path, starts[0].command_line[1:-1]),
                        f"ran from {starts[0].module_path}, command line {starts[0].command_line}")

    def assert_never_started(self):
        self.assertEqual(self.starts(), [])

    def assert_temp_clean(self, temp_unix=None):
        self.assertEqual(winelab.leftover_temp_files(temp_unix or self.temp_unix), [])


class WrapperImageTests(unittest.TestCase):
    """The built launcher itself, before it goes into any package."""

    @classmethod
    def setUpClass(cls):
        cls.path = winelab.wrapper_exe()
        cls.image = winelab.read_pe(cls.path)

    def test_marker_bytes_occur_nowhere_in_the_launcher(self):
        # The bytes looked for are the marker: 32 bytes that end every package's trailer,
        # whatever its payload and fields, so this cannot pass on bytes that are none.
        self.assertEqual(len(MARKER), winelab.MARKER_SIZE)
        with tempfile.TemporaryDirectory(prefix="marker-") as work:
            other = winelab.pack(os.path.join(work, "other.exe"), winelab.standin_installer(),
                                 link="https://other.example/%1", campaign="c=1",
                                 landing="https://other.example%1/", uninstall="https://u%1/")
            with open(other, "rb") as stream:
                package = stream.read()
        self.assertEqual(package.rfind(MARKER), len(package) - winelab.MARKER_SIZE)
        # The backward scan would stop inside the launcher's own bytes otherwise.
        with open(self.path, "rb") as stream:
            self.assertEqual(stream.read().find(MARKER), -1)

    def test_imports_kernel32_alone(self):
        # Only libraries the loader always takes from the system folder, and of those only
        # kernel32: everything else is loaded once the installer has run, when needed.
        imports = [name.lower() for name in self.image.imports]
        self.assertEqual(sorted(set(imports) - KNOWN_SYSTEM_LIBRARIES), [])
        self.assertEqual(imports, ["kernel32.dll"])

    def test_carries_no_c_runtime(self):
        # No msvcrt import (above), no thread-local storage for a runtime's callbacks, no
        # section of a runtime's start-up tables. (The link itself fails on a static
        # constructor, which nothing would run.)
        names = [name for name, _ in self.image.sections]
        self.assertEqual(self.image.tls_directory, (0, 0))
        self.assertEqual([name for name in names if name in (".CRT", ".tls")], [])

    def test_stays_within_its_size_budget(self):
        # It is downloaded with every package.
        self.assertLessEqual(os.path.getsize(self.path), winelab.launcher_size_limit())

    def test_is_a_32_bit_gui_program(self):
        self.assertEqual(self.image.machine, winelab.PeImage.I386)
        self.assertEqual(self.image.subsystem, winelab.PeImage.GUI)

    def test_manifest_asks_for_administrator(self):
        manifest = self.image.resources.get((RT_MANIFEST, 1))
        self.assertIsNotNone(manifest, "no RT_MANIFEST resource with ID 1")
        root = ElementTree.fromstring(manifest)
        levels = [element.attrib for element in root.iter()
                  if element.tag.endswith("}requestedExecutionLevel")]
        self.assertEqual(levels, [{"level": "requireAdministrator", "uiAccess": "false"}])

    def test_icon_group_holds_four_8_bit_sizes(self):
        group = self.image.resources.get((RT_GROUP_ICON, 1))
        self.assertIsNotNone(group, "no icon group with ID 1")
        count = int.from_bytes(group[4:6], "little")
        found = []
        for index in range(count):
            entry = group[6 + 14 * index:6 + 14 * (index + 1)]
            width, height = entry[0], entry[1]
            bits = int.from_bytes(entry[6:8], "little")
            icon = self.image.resources.get((RT_ICON, int.from_bytes(entry[12:14], "little")))
            self.assertIsNotNone(icon, f"icon {width}x{height} missing")
            # The image itself: a BITMAPINFOHEADER with colour and mask planes stacked.
            header_bits = int.from_bytes(icon[14:16], "little")
            found.append((width, height, bits, header_bits,
                          int.from_bytes(icon[8:12], "little") == 2 * height))
        self.assertEqual(sorted(found, reverse=True),
                         [(size, size, 8, 8, True) for size in (48, 32, 24, 16)])


class GoodPackageTests(LauncherTestCase):
    """A well-formed package: the installer runs once from the temporary folder, is
    waited for and deleted, and the launcher reports success whatever the installer
    returned."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.plain = cls.package("setup.exe")
        odd_dir = os.path.join(cls.work, "Pâck agé")
        os.makedirs(odd_dir)
        cls.odd_place = shutil.copy(cls.plain, os.path.join(odd_dir, "my setup é.exe"))

    def test_runs_installer_once_from_temp_and_cleans_up(self):
        cases = [
            ("installer exits 0", self.plain, (), {"STANDIN_EXIT": "0"}),
            ("installer exits 1", self.plain, (), {"STANDIN_EXIT": "1"}),
            ("installer exits with an exception code", self.plain, (),
             {"STANDIN_EXIT": "0xC0000005"}),
            ("launcher started with arguments", self.plain,
             ("/VERYSILENT", "two words", '--dir="C:\\x y"', "%TEMP%"), {}),
            ("package in a folder with spaces and accents", self.odd_place, (), {}),
        ]
        for label, package, args, env in cases:
            with self.subTest(label):
                self.start_run()
                outcome, seconds = self.run_package(package, args, env)
                self.assertEqual(outcome.code, 0)
                self.assert_started_once_from_temp(seconds)
                self.assert_temp_clean()

    def test_waits_for_installer_and_extracts_payload_exactly(self):
        # The installer stays alive long enough to copy its file while it runs: the copy
        # must equal the payload byte for byte, and the launcher must still be waiting.
        running = winelab.start_package(
            self.plain, env=self.installer_env(STANDIN_SLEEP_MS="2500"))
        try:
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and running.running():
                with contextlib.suppress(winelab.WineLabError):  # caught mid-write
                    if self.starts():
                        break
                time.sleep(0.05)
            starts = self.starts()
            self.assertEqual(len(starts), 1, "the installer did not start")
            extracted = winelab.unix_path(starts[0].module_path)
            with open(extracted, "rb") as stream:
                copy = stream.read()
            self.assertTrue(running.running(), "the launcher did not wait for the installer")
        finally:
            outcome = running.wait(60)
        self.assertFalse(outcome.crashed, outcome.stderr)
        self.assertEqual(outcome.code, 0)
        self.assertGreaterEqual(outcome.seconds, 2.5)
        self.assertEqual(hashlib.sha256(copy).hexdigest(), digest(winelab.standin_installer()))
        self.assertFalse(os.path.exists(extracted), "the temporary installer was not deleted")


    def test_installer_cannot_write_delete_or_rename_its_own_file(self):
        # Wine has no elevation: the installer runs with the same rights as any other
        # program of the user, and tries what such a program could do to its file. The
        # launcher holds the copy, sharing only reading, until the installer has ended.
        # Started directly, with nothing holding its file, the same program can open it for
        # deleting and rename it: those refusals are the hold's. A running program's file
        # cannot be opened for writing either way. (The copy's own security descriptor, which
        # refuses writing to the user as well, does not show under Wine: it keeps none.)
        attempts = os.path.join(self.work, f"attempts-{time.time_ns()}")
        env = {"STANDIN_TRY_OWN_FILE": winelab.windows_path(attempts)}
        outcome, seconds = self.run_package(self.plain, env=env)
        self.assertEqual(outcome.code, 0)
        self.assert_started_once_from_temp(seconds)
        self.assert_temp_clean()
        direct = shutil.copy(winelab.standin_installer(), os.path.join(self.work, "direct.exe"))
        self.assertEqual(winelab.run_package(direct, env=env).code, 0)
        with open(attempts, encoding="ascii") as stream:
            self.assertEqual(stream.read().splitlines(),
                             ["write=32 delete=32 rename=32", "write=32 delete=0 rename=0"])


class TrailingDataTests(LauncherTestCase):
    """Whatever follows the trailer (a signature, padding) is skipped by the scan."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The marker with one byte changed, for each of its 32 positions, back to back:
        # a scan that accepts a partial match stops here instead of at the real trailer.
        decoy = os.path.join(cls.work, "decoy.bin")
        with open(decoy, "wb") as stream:
            for position in range(len(MARKER)):
                near_miss = bytearray(MARKER)
                near_miss[position] ^= 0x20
                stream.write(bytes(near_miss) + b"\0")
        cls.cases = [
            ("100 KiB of filler", cls.package("filler.exe", trailing_bytes=100 * 1024)),
            ("near-misses of the marker", cls.package("decoy.exe", trailing_file=decoy)),
        ]

    def test_trailer_found_behind_trailing_data(self):
        for label, package in self.cases:
            with self.subTest(label):
                self.start_run()
                outcome, seconds = self.run_package(package, timeout=90)
                self.assertEqual(outcome.code, 0)
                self.assert_started_once_from_temp(seconds)
                self.assert_temp_clean()


class SignedPackageTests(LauncherTestCase):
    """A package code-signed after it was built: the signature follows the trailer."""

    SIGNER = "Wrapper E2E Throwaway Signer"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for tool in ("openssl", "osslsigncode"):
            if not shutil.which(tool):
                raise unittest.SkipTest(f"{tool} not installed")
        cls.unsigned = cls.package("unsigned.exe")
        key = os.path.join(cls.work, "key.pem")
        cert = os.path.join(cls.work, "cert.pem")
        cls.signed = os.path.join(cls.work, "signed.exe")
        cls.tool(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                  "-out", cert, "-days", "2", "-subj", f"/CN={cls.SIGNER}"])
        cls.certificate = (cert, key)
        cls.sign(cls.unsigned, "signed.exe")

    @classmethod
    def sign(cls, package, name):
        signed = os.path.join(cls.work, name)
        cert, key = cls.certificate
        cls.tool(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", package,
                  "-out", signed])
        return signed

    @staticmethod
    def tool(argv, check=True):
        result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=60, text=True)
        if check and result.returncode != 0:
            raise AssertionError(f"{argv[0]} failed: {result.stdout}{result.stderr}")
        return result.stdout + result.stderr

    def test_signature_follows_the_intact_trailer(self):
        with open(self.unsigned, "rb") as stream:
            unsigned = stream.read()
        with open(self.signed, "rb") as stream:
            signed = stream.read()
        marker_end = signed.rfind(MARKER) + len(MARKER)
        self.assertGreater(len(signed), marker_end, "nothing follows the marker")
        self.assertEqual(signed[marker_end - TRAILER_SIZE:marker_end], unsigned[-TRAILER_SIZE:])
        # Self-signed, so the chain does not verify; the signer must still be listed.
        self.assertIn(self.SIGNER, self.tool(["osslsigncode", "verify", "-in", self.signed],
                                             check=False))

    def test_trailer_slipped_into_the_certificate_table_is_never_used(self):
        # The signature's digest does not cover the certificate table: a second payload,
        # trailer and marker appended inside it (the table's length and the header's entry
        # grown to match) leave the signature valid. The launcher must still run the signed
        # payload with the signed settings. The installer registers a folder, so the settings
        # the launcher used show in its Version.ini.
        signed_link = "https://signed.example/%1"
        signed = self.sign(self.package("signed-settings.exe", link=signed_link), "good.exe")
        impostor_payload = os.path.join(self.work, "impostor-installer.exe")
        with open(winelab.standin_installer(), "rb") as stream:
            impostor = stream.read() + b"impostor"
        with open(impostor_payload, "wb") as stream:
            stream.write(impostor)
        with open(winelab.pack(os.path.join(self.work, "impostor.exe"), impostor_payload,
                               link="https://impostor.example/%1"), "rb") as stream:
            slipped = stream.read()[-(len(impostor) + TRAILER_SIZE):]
        slipped += bytes(-len(slipped) % 8)  # the table keeps its 8-byte alignment

        with open(signed, "rb") as stream:
            data = bytearray(stream.read())
        entry, offset, size = winelab.certificate_entry(data)
        self.assertEqual(offset + size, len(data))
        struct.pack_into("<I", data, entry + 4, size + len(slipped))
        length = struct.unpack_from("<I", data, offset)[0]  # WIN_CERTIFICATE.dwLength
        struct.pack_into("<I", data, offset, length + len(slipped))
        tampered = os.path.join(self.work, "tampered.exe")
        with open(tampered, "wb") as stream:
            stream.write(data + slipped)

        # Still verifies: the digest in the signature is the digest of the file.
        report = self.tool(["osslsigncode", "verify", "-in", tampered], check=False)
        digests = re.findall(r"(Current|Calculated) message digest\s*:\s*([0-9A-Fa-f]+)", report)
        self.assertEqual(len(digests), 2, report)
        self.assertEqual(digests[0][1], digests[1][1], report)
        self.assertIn(self.SIGNER, report)

        install_windows = f"C:\\users\\Public\\e2e\\{type(self).__name__}-installed"
        install_unix = winelab.unix_path(install_windows)
        winelab.reg_delete(winelab.uninstall_key(), view=32)
        self.addCleanup(winelab.reg_delete, winelab.uninstall_key(), None, 32)
        self.addCleanup(shutil.rmtree, install_unix, True)
        images = os.path.join(self.work, f"images-{time.time_ns()}")
        outcome, seconds = self.run_package(tampered, env={
            "STANDIN_RECORD_IMAGE": winelab.windows_path(images),
            "STANDIN_INSTALL_DIR": install_windows, "STANDIN_REGISTER": "1"})
        self.assertEqual(outcome.code, 0)
        self.assert_started_once_from_temp(seconds)
        with open(winelab.standin_installer(), "rb") as stream:
            self.assertEqual(winelab.read_image_record(images),
                             [winelab.image_digest(stream.read())])
        with open(os.path.join(install_unix, "Version.ini"), encoding="cp1252") as stream:
            self.assertIn(f"url={signed_link}\n", stream.read())
        self.assert_temp_clean()

    def test_runs_like_the_unsigned_package(self):
        for exit_code in ("0", "1"):
            with self.subTest(installer_exit=exit_code):
                self.start_run()
                outcome, seconds = self.run_package(self.signed, env={"STANDIN_EXIT": exit_code})
                self.assertEqual(outcome.code, 0)
                self.assert_started_once_from_temp(seconds)
                self.assert_temp_clean()


class BrokenPackageTests(LauncherTestCase):
    """Packages whose trailer is missing or lies: the launcher reports the fault, starts
    nothing it should not, and leaves no temporary file behind."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        trailer_offset = (os.path.getsize(winelab.wrapper_exe())
                          + os.path.getsize(winelab.standin_installer()))
        bare = shutil.copy(winelab.wrapper_exe(), os.path.join(cls.work, "bare.exe"))
        cls.cases = [
            ("no marker at all", bare, ResultCode.SCAN_SEEK_OR_CREATE_FAILED),
            ("PayloadSize one past the trailer offset",
             cls.package("over.exe", payload_size=trailer_offset + 1),
             ResultCode.SEEK_PAYLOAD_FAILED),
            ("PayloadSize 2^40", cls.package("huge.exe", payload_size=1 << 40),
             ResultCode.SEEK_PAYLOAD_FAILED),
            # The copy is then no program at all (empty, or missing its first byte): the
            # start fails, which is the installer's failure, not the launcher's.
            ("PayloadSize 0", cls.package("empty.exe", payload_size=0), 0),
            ("PayloadSize one short",
             cls.package("short.exe",
                         payload_size=os.path.getsize(winelab.standin_installer()) - 1), 0),
        ]

    def test_fault_reported_and_installer_never_started(self):
        for label, package, code in self.cases:
            with self.subTest(label):
                self.start_run()
                outcome, _ = self.run_package(package)
                self.assertEqual(outcome.code, code)
                self.assert_never_started()
                self.assert_temp_clean()


class LibrarySearchTests(LauncherTestCase):
    """The launcher narrows library search to the system folder before its run begins."""

    def test_search_restricted_to_the_system_folder_before_the_own_file_is_read(self):
        package = self.package("search.exe")
        outcome, _ = self.run_package(package, env={"WINEDEBUG": "+relay"})
        self.assertEqual(outcome.code, 0)
        lines = outcome.stderr.splitlines()

        def first(text):
            return next((i for i, line in enumerate(lines) if text in line), None)

        # LOAD_LIBRARY_SEARCH_SYSTEM32, and the call succeeded.
        restricted = first("Ret  KERNEL32.SetDefaultDllDirectories() retval=00000001")
        self.assertIsNotNone(first("Call KERNEL32.SetDefaultDllDirectories(00000800)"))
        self.assertIsNotNone(restricted, "SetDefaultDllDirectories never returned success")
        # The run begins by opening the package file for reading.
        own_open = next((i for i, line in enumerate(lines)
                         if "Call KERNEL32.CreateFileW(" in line and "search.exe" in line), None)
        self.assertIsNotNone(own_open, "the package file was never opened")
        self.assertLess(restricted, own_open)


class HeldInstallerTests(LauncherTestCase):
    """A scanner that holds the extracted installer open after it has run: the launcher
    retries the delete for a moment, then leaves it in the temporary folder: a delete at
    restart would be by name, so there is none.
    The stand-in plays the scanner: a process it starts inherits a handle to its file
    without delete sharing and keeps it for STANDIN_HOLD_MS."""

    def setUp(self):
        super().setUp()
        winelab.reg_delete(SESSION_MANAGER_KEY, PENDING_RENAMES)
        self.addCleanup(winelab.reg_delete, SESSION_MANAGER_KEY, PENDING_RENAMES)

    def run_held(self, hold_ms):
        package = self.package(f"held-{hold_ms}.exe")
        return self.run_package(package, env={
            "STANDIN_HOLD_MS": str(hold_ms),
            "STANDIN_HOLDER": winelab.windows_path(winelab.standin_installer()),
        })

    def test_installer_let_go_during_the_retries_is_deleted(self):
        outcome, seconds = self.run_held(300)
        self.assertEqual(outcome.code, 0)
        self.assert_started_once_from_temp(seconds)
        self.assert_temp_clean()
        self.assertIsNone(winelab.reg_query(SESSION_MANAGER_KEY, PENDING_RENAMES))

    def test_installer_held_past_the_retries_is_left_and_nothing_is_scheduled(self):
        hold_ms = 6000
        outcome, seconds = self.run_held(hold_ms)
        self.assertEqual(outcome.code, 0)
        self.assert_started_once_from_temp(seconds)
        # Bounded: the launcher ends long before the holder lets go.
        self.assertLess(outcome.seconds, hold_ms / 1000 - 1)
        left = winelab.leftover_temp_files(self.temp_unix)
        self.assertEqual(len(left), 1, f"expected the held installer, found {left}")
        self.assertIsNone(winelab.reg_query(SESSION_MANAGER_KEY, PENDING_RENAMES))
        time.sleep(hold_ms / 1000 + 1)
        os.remove(os.path.join(self.temp_unix, left[0]))


class OwnFileRaceTests(LauncherTestCase):
    """A running program's file can be renamed and another put under its name as soon as
    its image is mapped. The launcher reads only the file it was started from: a package
    renamed away as it starts, with another package of the same launcher planted in its
    place, never runs the planted payload; it either reads its own file or ends with 1."""

    STARTS = 12

    @staticmethod
    def wait_until_mapped(unix_path, running, timeout=30):
        wanted = os.path.realpath(unix_path)
        deadline = time.monotonic() + timeout
        while running.running() and time.monotonic() < deadline:
            for maps in glob.glob("/proc/[0-9]*/maps"):
                with contextlib.suppress(OSError), open(maps, encoding="utf-8",
                                                        errors="replace") as stream:
                    if wanted in stream.read():
                        return
            time.sleep(0.001)
        raise winelab.WineLabError(f"{unix_path} was never mapped")

    def test_planted_package_never_runs(self):
        with open(winelab.standin_installer(), "rb") as stream:
            theirs = stream.read() + b"\0"  # another installer: one byte more
        other_installer = os.path.join(self.work, "other-installer.exe")
        with open(other_installer, "wb") as stream:
            stream.write(theirs)
        planted = winelab.pack(os.path.join(self.work, "planted.exe"), other_installer)
        genuine = self.package("genuine.exe")
        images = os.path.join(self.work, "race-images.txt")
        for attempt in range(self.STARTS):
            with self.subTest(attempt=attempt):
                self.start_run()
                with contextlib.suppress(FileNotFoundError):
                    os.remove(images)
                target = shutil.copy(genuine, os.path.join(self.work, f"race-{attempt}.exe"))
                running = winelab.start_package(target, env=self.installer_env(
                    STANDIN_RECORD_IMAGE=winelab.windows_path(images)))
                self.wait_until_mapped(target, running)
                os.rename(target, target + ".moved")
                shutil.copy(planted, target)
                outcome = running.wait(60)
                self.assertFalse(outcome.crashed, f"the launcher crashed:\n{outcome.stderr}")
                started = winelab.read_image_record(images)
                self.assertNotIn(winelab.image_digest(theirs), started)
                self.assertIn(outcome.code, (0, ResultCode.OPEN_OWN_FILE_FAILED))
                self.assertEqual(len(started), 1 if outcome.code == 0 else 0)
                self.assert_temp_clean()


class OccupiedNameTests(LauncherTestCase):
    """A file already at the temporary name belongs to someone else: the launcher gives
    up with 15 and neither starts, changes nor deletes it."""

    PLANTED_SECONDS = 6

    def test_planted_file_left_alone(self):
        package = self.package("setup.exe")
        first = int(time.time())
        # The planted files are stand-ins too, so a start would show in the record.
        planted = {}
        for second in range(first, first + self.PLANTED_SECONDS):
            path = os.path.join(self.temp_unix, winelab.temp_name(second))
            shutil.copy(winelab.standin_installer(), path)
            past = time.time() - 3600
            os.utime(path, (past, past))
            planted[path] = (digest(path), os.stat(path).st_mtime_ns)
        try:
            outcome, seconds = self.run_package(package)
            self.assertLess(seconds[-1], first + self.PLANTED_SECONDS,
                            "the run outlasted the planted names; the result proves nothing")
            self.assertEqual(outcome.code, ResultCode.INSTALLER_CREATE_FAILED)
            self.assert_never_started()
            for path, (sha, mtime) in planted.items():
                self.assertTrue(os.path.exists(path), f"{path} was deleted")
                self.assertEqual((digest(path), os.stat(path).st_mtime_ns), (sha, mtime),
                                 f"{path} was changed")
            self.assertEqual(winelab.leftover_temp_files(self.temp_unix),
                             sorted(os.path.basename(path) for path in planted))
        finally:
            for path in planted:
                with contextlib.suppress(FileNotFoundError):
                    os.remove(path)


class TempFolderTests(LauncherTestCase):
    """Unusual temporary folders, set through HKCU\\Environment as a user would."""

    PUBLIC = "C:\\users\\Public"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.setup_exe = cls.package("setup.exe")

    def run_with_temp(self, temp_windows, create=True):
        with winelab.temp_folder(temp_windows, create=create):
            return self.run_package(self.setup_exe)

    def test_temp_with_space_never_runs_program_at_its_prefix(self):
        # Started unquoted, "C:\users\Public\Temp Dir\\Zorvik1.exe" would run
        # C:\users\Public\Temp.exe. The impostor is a stand-in too, recording to the same
        # file, so its module path would give it away.
        temp_windows = self.PUBLIC + "\\Temp Dir\\"
        impostor_windows = self.PUBLIC + "\\Temp.exe"
        impostor = winelab.unix_path(impostor_windows)
        shutil.copy(winelab.standin_installer(), impostor)
        try:
            outcome, seconds = self.run_with_temp(temp_windows)
        finally:
            os.remove(impostor)
        self.assertEqual(outcome.code, 0)
        for start in self.starts():
            self.assertFalse(same_windows_path(start.module_path, impostor_windows),
                             "the program at the temporary folder's prefix was started")
        self.assert_started_once_from_temp(seconds, temp_windows)
        self.assert_temp_clean(winelab.unix_path(temp_windows))

    def test_temp_with_non_ascii_name(self):
        temp_windows = self.PUBLIC + "\\Témp ünïcode"
        outcome, seconds = self.run_with_temp(temp_windows)
        self.assertEqual(outcome.code, 0)
        self.assert_started_once_from_temp(seconds, temp_windows)
        self.assert_temp_clean(winelab.unix_path(temp_windows))

    def test_installer_path_of_260_units_or_more_is_refused(self):
        # "\\Zorvik", the number and ".exe" follow the folder. No program can be started
        # from a path of 260 units or more, so the launcher refuses it with 14 and creates
        # nothing. The number is drawn from the second the run starts in and grows by about
        # 3 a second, so its digits are known in advance; the folders are sized to them.
        cases = [("259 units", 259, None), ("260 units", 260, None),
                 ("245-character folder", None, 245)]
        for label, path_length, folder_length in cases:
            with self.subTest(label):
                self.start_run()
                second = winelab.wait_for_next_second()
                while len(str(winelab.temp_number(second))) != len(str(winelab.temp_number(second + 2))):
                    second = winelab.wait_for_next_second()
                name_length = len(winelab.temp_name(second)) + 1  # with its separator
                if folder_length is None:
                    folder_length = path_length - name_length
                path_length = folder_length + name_length
                temp_windows = (self.PUBLIC + "\\" + "p" * (folder_length - len(self.PUBLIC) - 2)
                                + "\\")
                self.assertEqual(len(winelab.temp_path_as_system_returns(temp_windows)),
                                 folder_length)
                outcome, seconds = self.run_with_temp(temp_windows)
                self.assertEqual(outcome.code, 0 if path_length < 260 else ResultCode.TEMP_DIRECTORY_FAILED)
                if outcome.code == 0:
                    self.assert_started_once_from_temp(seconds, temp_windows)
                else:
                    self.assert_never_started()
                self.assert_temp_clean(winelab.unix_path(temp_windows))

    def test_unusable_temp_folders(self):
        cases = [
            # The system has no temporary path to give when it is longer than MAX_PATH.
            ("longer than MAX_PATH", self.PUBLIC + "\\" + "x" * 300, False,
             ResultCode.TEMP_DIRECTORY_FAILED),
            ("does not exist", self.PUBLIC + "\\no such folder", False,
             ResultCode.INSTALLER_CREATE_FAILED),
        ]
        for label, temp_windows, create, code in cases:
            with self.subTest(label):
                self.start_run()
                outcome, _ = self.run_with_temp(temp_windows, create=create)
                self.assertEqual(outcome.code, code)
                self.assert_never_started()


if __name__ == "__main__":
    unittest.main()
