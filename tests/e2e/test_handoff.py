#!/usr/bin/env python3
"""End-to-end tests of the hand-off after a successful install: Version.ini in the
installed application's folder and the landing page handed to the system's URL handler.
Real packages (wrapper.exe around the stand-in installer) run under Wine; see winelab.py
for the environment they need.

The URL handler for http and https is a copy of the URL recorder the packages ship, which
appends the URL it was started with to the file its command names: the launcher asks the
desktop shell to open the page, so the handler runs with the shell's environment, not the
launcher's. The previous handlers come back afterwards.
"""

import configparser
import contextlib
import os
import shutil
import subprocess
import time
import unittest

import winelab

UNINSTALL_KEY = winelab.uninstall_key()
URL_COMMAND_KEYS = [f"HKCR\\{scheme}\\shell\\open\\command" for scheme in ("http", "https")]
HANDLER = "C:\\users\\Public\\e2e-handoff\\url-handler.exe"
INSTALL_ROOT = "C:\\users\\Public\\e2e-handoff\\installed"

SETTINGS = {
    "link": "https://link.example/%1/go?",
    "campaign": "k=v",
    "landing": "https://land.example%1/p?",
    "uninstall": "https://un.example%1/u?",
}

# How long a handler start may lag behind the launcher's exit (the shell starts it and
# returns at once), and how long to wait before concluding that none was started.
HANDLER_TIMEOUT = 15
SETTLE_SECONDS = 2

# The prefix's ANSI code page, in which the launcher writes Version.ini.
ANSI = "cp1252"

_scope = winelab.ModuleScope("wrapper-e2e-handoff-")
setUpModule = _scope.set_up
tearDownModule = _scope.tear_down


def default_value(key):
    """The (type, data) of a key's default value, or None when it has none."""
    try:
        text = winelab.wine_tool("reg", "query", key, "/ve")
    except winelab.WineLabError:
        return None
    for line in text.splitlines():
        parts = line.strip().split("    ", 2)
        if len(parts) == 3 and parts[0].startswith("("):
            return parts[1], parts[2]
    return None


def read_ini(unix_file):
    """Sections and their (key, value) rows in file order, or None without a file."""
    if not os.path.exists(unix_file):
        return None
    parser = configparser.RawConfigParser(delimiters=("=",), interpolation=None)
    parser.optionxform = str
    with open(unix_file, encoding=ANSI) as stream:
        parser.read_string(stream.read())
    return {section: list(parser.items(section)) for section in parser.sections()}


def version_ini(campaign, uninstall_url, uninstall_param, link=SETTINGS["link"]):
    return {
        "QD": [("url", link), ("paramcount", "1"), ("1", campaign)],
        "UNINSTALL": [("url", uninstall_url), ("param", uninstall_param)],
    }


class HandOffTests(winelab.WineTestCase):

    scope = _scope
    own_temp_folder = False

    @classmethod
    def setUpClass(cls):
        # Class clean-ups run after the class, and also when the rest of this set-up fails.
        super().setUpClass()
        cls.package = winelab.pack(os.path.join(cls.work, "setup.exe"),
                                   winelab.standin_installer(), **SETTINGS)
        cls.odd_package = winelab.pack(
            os.path.join(cls.work, "odd.exe"), winelab.standin_installer(),
            **{**SETTINGS, "campaign": "src=n1%25&id=21"})
        handler = winelab.unix_path(HANDLER)
        os.makedirs(os.path.dirname(handler), exist_ok=True)
        shutil.copy(winelab.url_recorder(), handler)
        cls.addClassCleanup(shutil.rmtree, os.path.dirname(handler), True)
        cls.handler_record = os.path.join(cls.work, "handler-record")
        command = f'"{HANDLER}" "{winelab.windows_path(cls.handler_record)}" "%1"'
        for key in URL_COMMAND_KEYS:
            cls.addClassCleanup(cls.restore_default, key, default_value(key))
            winelab.wine_tool("reg", "add", key, "/ve", "/d", command, "/f")

    @staticmethod
    def restore_default(key, previous):
        if previous is None:
            with contextlib.suppress(winelab.WineLabError):
                winelab.wine_tool("reg", "delete", key, "/ve", "/f")
        else:
            winelab.wine_tool("reg", "add", key, "/ve", "/t", previous[0], "/d", previous[1],
                              "/f")

    def setUp(self):
        super().setUp()
        self.addCleanup(winelab.reg_delete, UNINSTALL_KEY, None, 32)
        self.addCleanup(shutil.rmtree, winelab.unix_path(INSTALL_ROOT), True)

    def start_run(self):
        # Every run installs afresh: no registration, no folder left by an earlier one.
        super().start_run()
        winelab.reg_delete(UNINSTALL_KEY, view=32)
        shutil.rmtree(winelab.unix_path(INSTALL_ROOT), ignore_errors=True)
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.handler_record)

    def install(self, install_dir, package=None, exit_code=0, register=True, language=None,
                env=None, outcome=False):
        """Runs a package whose installer installs into `install_dir`; returns the
        launcher's exit code (or the whole outcome)."""
        environment = {"STANDIN_RECORD": winelab.windows_path(self.record),
                       "STANDIN_INSTALL_DIR": install_dir,
                       "STANDIN_EXIT": str(exit_code),
                       "STANDIN_REGISTER": "1" if register else "0"}
        if language is not None:
            environment["STANDIN_LANGUAGE"] = language
        environment.update(env or {})
        result = winelab.run_package(package or self.package, env=environment)
        self.assertFalse(result.crashed, f"the launcher crashed:\n{result.stderr}")
        return result if outcome else result.code

    def starts(self):
        with contextlib.suppress(winelab.WineLabError):  # caught mid-write
            return winelab.read_record(self.record)
        return []

    def installer_start(self):
        starts = self.starts()
        self.assertEqual(len(starts), 1, f"expected one installer start, got {starts}")
        return starts[0]

    def handler_urls(self, expect_one):
        """The URLs the handler was started with, once one arrived (or after a settling
        time when none is expected)."""
        deadline = time.monotonic() + (HANDLER_TIMEOUT if expect_one else SETTLE_SECONDS)
        while True:
            urls = winelab.read_url_record(self.handler_record)
            if (expect_one and urls) or time.monotonic() > deadline:
                return urls
            time.sleep(0.05)

    def version_ini(self, install_dir):
        return read_ini(os.path.join(winelab.unix_path(install_dir), "Version.ini"))

    def assert_installer_deleted(self):
        path = winelab.unix_path(self.installer_start().module_path)
        self.assertFalse(os.path.exists(path), f"{path} was not deleted")

    def test_good_run_writes_version_ini_and_opens_the_localized_page(self):
        install_dir = INSTALL_ROOT + "\\Demo"
        self.assertEqual(self.install(install_dir, language="lang\\de.ini"), 0)
        self.assertEqual(self.version_ini(install_dir),
                         version_ini("k=v", "https://un.example", "/u?k=v"))
        self.assertEqual(self.handler_urls(True), ["https://land.example\\de/p?k=v"])
        self.assert_installer_deleted()

    def test_no_cfg_ini_gives_the_page_without_language_segment(self):
        install_dir = INSTALL_ROOT + "\\Demo"
        self.assertEqual(self.install(install_dir), 0)
        self.assertFalse(os.path.exists(os.path.join(winelab.unix_path(install_dir), "cfg.ini")))
        self.assertEqual(self.version_ini(install_dir),
                         version_ini("k=v", "https://un.example", "/u?k=v"))
        self.assertEqual(self.handler_urls(True), ["https://land.example/p?k=v"])

    def test_nothing_handed_off_without_a_successful_registered_install(self):
        cases = [("installer exits 1", {"exit_code": 1}),
                 ("uninstall key missing after exit 0", {"register": False})]
        for label, options in cases:
            with self.subTest(label):
                self.start_run()
                install_dir = INSTALL_ROOT + "\\Demo"
                self.assertEqual(self.install(install_dir, language="lang\\de.ini", **options), 0)
                self.assertTrue(os.path.isdir(winelab.unix_path(install_dir)))
                self.assertIsNone(self.version_ini(install_dir))
                self.assertEqual(self.handler_urls(False), [])
                self.assert_installer_deleted()

    def test_a_stamp_is_the_campaign_of_a_package_signed_without_one(self):
        for tool in ("osslsigncode", "openssl"):
            if shutil.which(tool) is None:
                self.skipTest(f"{tool} is not installed")
        key, cert = (os.path.join(self.work, name) for name in ("key.pem", "cert.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                        "/CN=test", "-days", "2", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)

        def signed(name, campaign):
            packed = winelab.pack(os.path.join(self.work, name + ".unsigned"),
                                  winelab.standin_installer(), **{**SETTINGS, "campaign": campaign})
            output = os.path.join(self.work, name)
            subprocess.run(["osslsigncode", "sign", "-addUnauthenticatedBlob", "-certs", cert,
                            "-key", key, "-in", packed, "-out", output],
                           check=True, capture_output=True)
            return output

        def patched(package, name, area, after=b""):
            """The package with `area` written into its slot, `after` appended."""
            data = bytearray(open(package, "rb").read())
            at = data.rindex(b"---BEGIN_BLOB---") + 16
            data[at:at + len(area)] = area
            output = os.path.join(self.work, name)
            with open(output, "wb") as stream:
                stream.write(bytes(data) + after)
            return output

        base = signed("base.exe", "")
        kept = signed("kept.exe", "k=v")
        tool_stamped = os.path.join(self.work, "tool.exe")
        subprocess.run([winelab.wrapper_stamp(), "--campaign", "utm=tool&id=%41", "-o",
                        tool_stamped, base], check=True, capture_output=True)
        cases = [
            ("stamped by wrapper-stamp", tool_stamped, "utm=tool&id=%41"),
            ("unstamped slot", base, ""),
            ("stamp outside the grammar",
             patched(base, "bad.exe", b"wrapper-campaign:utm=a b"), ""),
            ("bytes after the signature",
             patched(base, "appended.exe", b"wrapper-campaign:utm=x", b"\0" * 7 + b"x"), ""),
            ("signed with a campaign", patched(kept, "kept-stamped.exe",
                                               b"wrapper-campaign:utm=other"), "k=v"),
        ]
        for label, package, campaign in cases:
            with self.subTest(label):
                self.start_run()
                install_dir = INSTALL_ROOT + "\\Demo"
                self.assertEqual(self.install(install_dir, package=package,
                                              language="lang\\de.ini"), 0)
                self.assertEqual(self.version_ini(install_dir),
                                 version_ini(campaign, "https://un.example", "/u?" + campaign))
                self.assertEqual(self.handler_urls(True),
                                 ["https://land.example\\de/p?" + campaign])

    def test_existing_version_ini_keeps_its_other_sections_and_keys(self):
        install_dir = INSTALL_ROOT + "\\Demo"
        unix_dir = winelab.unix_path(install_dir)
        os.makedirs(unix_dir)
        with open(os.path.join(unix_dir, "Version.ini"), "w", encoding=ANSI, newline="") as stream:
            stream.write("[App]\r\nversion=3.1.4\r\nchannel=beta\r\n"
                         "[QD]\r\nurl=https://old.example/\r\nextra=keep\r\n")
        self.assertEqual(self.install(install_dir, language="x\\fr.ini"), 0)
        self.assertEqual(self.version_ini(install_dir), {
            "App": [("version", "3.1.4"), ("channel", "beta")],
            "QD": [("url", SETTINGS["link"]), ("extra", "keep"), ("paramcount", "1"),
                   ("1", "k=v")],
            "UNINSTALL": [("url", "https://un.example"), ("param", "/u?k=v")],
        })
        self.assertEqual(self.handler_urls(True), ["https://land.example\\fr/p?k=v"])

    def test_campaign_with_one_and_percent_is_kept_whole(self):
        install_dir = INSTALL_ROOT + "\\Demo"
        campaign = "src=n1%25&id=21"
        self.assertEqual(self.install(install_dir, package=self.odd_package,
                                      language="lang\\jp.lng"), 0)
        self.assertEqual(self.version_ini(install_dir),
                         version_ini(campaign, "https://un.example", "/u?" + campaign))
        self.assertEqual(self.handler_urls(True), ["https://land.example\\jp/p?" + campaign])

    def test_unusual_install_folders_work(self):
        long_base = INSTALL_ROOT + "\\long\\"
        cases = [
            ("Latin-1 letter", INSTALL_ROOT + "\\Édition spéciale\\Démo"),
            ("150 characters", long_base + "d" * (150 - len(long_base))),
            # Code page 1252 spells neither: as ANSI text every letter would be "?".
            ("Cyrillic", INSTALL_ROOT + "\\Программа\\Демо"),
            ("CJK", INSTALL_ROOT + "\\程序\\演示"),
        ]
        self.assertEqual(len(cases[1][1]), 150)
        for label, install_dir in cases:
            with self.subTest(label):
                self.start_run()
                self.assertEqual(self.install(install_dir, language="lang\\de.ini"), 0)
                self.assertEqual(self.version_ini(install_dir),
                                 version_ini("k=v", "https://un.example", "/u?k=v"))
                self.assertEqual(self.handler_urls(True), ["https://land.example\\de/p?k=v"])

    def test_folder_spelled_only_approximately_leaves_its_look_alike_untouched(self):
        # Code page 1252 spells "Ā" as "A" and a full-width backslash as "\": as ANSI text
        # the path would name these other folders, which exist and hold a record of their own.
        theirs = "[QD]\r\nurl=https://theirs.example/\r\n"
        cases = [("Latin letter with macron", "\\Āpp", "\\App"),
                 ("full-width backslash", "\\A＼B", "\\A\\B")]
        for label, name, look_alike in cases:
            with self.subTest(label):
                self.start_run()
                other = winelab.unix_path(INSTALL_ROOT + look_alike)
                os.makedirs(other)
                with open(os.path.join(other, "Version.ini"), "w", encoding=ANSI,
                          newline="") as stream:
                    stream.write(theirs)
                install_dir = INSTALL_ROOT + name
                self.assertEqual(self.install(install_dir, language="lang\\de.ini"), 0)
                self.assertEqual(self.version_ini(install_dir),
                                 version_ini("k=v", "https://un.example", "/u?k=v"))
                with open(os.path.join(other, "Version.ini"), encoding=ANSI, newline="") as stream:
                    self.assertEqual(stream.read(), theirs)
                self.assertEqual(self.handler_urls(True), ["https://land.example\\de/p?k=v"])

    def test_page_opens_through_the_desktop_shell_only(self):
        # Wine starts its desktop shell (explorer.exe) for the launcher, which finds the
        # desktop among the shell windows and asks it to open the page: the handler is the
        # shell's child, not the elevated launcher's. With explorer.exe unavailable (as for
        # a service, or a shell another program ended) the route fails at its first step,
        # and since every Wine process reports an elevated token, no page opens: the
        # launcher never starts the handler itself. The relay trace shows the launcher's
        # calls, among them the loads of the libraries the route needs, by their full paths
        # in the system folder.
        cases = [("desktop shell", {}, True, ["ole32", "oleaut32"]),
                 ("no desktop shell", {"WINEDLLOVERRIDES": "mscoree,mshtml=;explorer.exe=d"},
                  False, ["ole32", "oleaut32"])]
        for label, env, through_shell, libraries in cases:
            with self.subTest(label):
                self.start_run()
                if not through_shell:
                    winelab.wait_for_desktop_shell_exit()
                result = self.install(INSTALL_ROOT + "\\Demo", language="lang\\de.ini",
                                      env={"WINEDEBUG": "+relay", **env}, outcome=True)
                self.assertEqual(result.code, 0)
                self.assertEqual(self.handler_urls(through_shell),
                                 ["https://land.example\\de/p?k=v"] if through_shell else [])

                lines = result.stderr.splitlines()
                # Apartment-threaded, OLE1 DDE off; the thread that asks is the launcher's.
                initialised = [line for line in lines if "CoInitializeEx(00000000,00000006)" in line]
                self.assertEqual(len(initialised), 1, initialised)
                thread = initialised[0].split(":", 1)[0] + ":"
                launcher = [line for line in lines if line.startswith(thread)]
                # The launcher loads every library in one place, and the first load is
                # the registry's, for the installation folder: its return address tells
                # the launcher's loads from those the libraries make themselves.
                loads = [line.split('L"', 1)[1].rsplit(" ret=", 1) for line in launcher
                         if "Call KERNEL32.LoadLibraryExW(" in line]
                self.assertTrue(loads, "nothing loaded")
                # LOAD_LIBRARY_SEARCH_SYSTEM32: their own imports come from there alone.
                self.assertEqual(
                    [arguments for arguments, returns in loads if returns == loads[0][1]],
                    [f'C:\\\\windows\\\\system32\\\\{name}.dll",00000000,00000800)'
                     for name in ["advapi32"] + libraries])
                created = [line for line in launcher if "Ret  combase.CoCreateInstance()" in line]
                self.assertEqual(len(created), 1, created)
                self.assertIn("retval=00000000" if through_shell else "retval=80040152",
                              created[0])
                opened = [line for line in launcher if "Call shell32.ShellExecuteW(" in line]
                self.assertEqual(opened, [])
                self.assertEqual(len([line for line in launcher
                                      if "Call combase.CoUninitialize()" in line]), 1)

    def test_until_the_installer_has_started_only_kernel32_is_loaded(self):
        # Wine reports every module a process loads (+loaddll) with the process's id
        # (+pid). Up to the installer's start the launcher holds what every program holds:
        # its own image and kernel32 with what Wine loads for it (kernelbase; ntdll does
        # not show). The registry's, COM's and the shell's libraries come after the
        # installer has ended, for the hand-off, from the system folder.
        result = self.install(INSTALL_ROOT + "\\Demo", language="lang\\de.ini",
                              env={"WINEDEBUG": "+pid,+loaddll"}, outcome=True)
        self.assertEqual(result.code, 0)
        self.assertEqual(self.handler_urls(True), ["https://land.example\\de/p?k=v"])
        loaded = []  # (process id, module path), in the order of the trace
        for line in result.stderr.splitlines():
            if ":trace:loaddll:" in line and 'Loaded L"' in line:
                path = line.split('Loaded L"', 1)[1].split('"', 1)[0].replace("\\\\", "\\")
                loaded.append((line.split(":", 1)[0], path.lower()))
        launcher = loaded[0][0]
        self.assertTrue(loaded[0][1].endswith("\\setup.exe"), loaded[0])
        installer_start = next(index for index, (process, path) in enumerate(loaded)
                               if process != launcher and winelab.temp_file_prefix().lower() in path)
        before = [path for process, path in loaded[1:installer_start] if process == launcher]
        after = [path for process, path in loaded[installer_start:] if process == launcher]
        system = "c:\\windows\\system32\\"
        self.assertEqual(before, [system + "kernelbase.dll", system + "kernel32.dll"])
        for name in ("advapi32.dll", "ole32.dll", "oleaut32.dll"):
            self.assertIn(system + name, after)


if __name__ == "__main__":
    unittest.main()
