#!/usr/bin/env python3
"""The stand-in installer and the URL recorder on their own, so a launcher test that
relies on their traces never fails because of them."""

import configparser
import os
import shutil
import tempfile
import unittest

import winelab

UNINSTALL_KEY = winelab.uninstall_key()
APP_PATH_VALUE = winelab.install_dir_value()

_scope = winelab.ModuleScope()
setUpModule = _scope.set_up
tearDownModule = _scope.tear_down


class StandinInstallerTests(unittest.TestCase):

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="standin-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.record = os.path.join(self.work, "record")
        # Deep, not yet existing, non-ASCII and 150 units long: what real install
        # folders can look like.
        base = "C:\\Program Files (x86)\\Édition spéciale\\"
        self.install_dir = base + "d" * (150 - len(base))
        self.assertEqual(len(self.install_dir), 150)
        self.addCleanup(shutil.rmtree, winelab.unix_path(base), ignore_errors=True)
        self.addCleanup(winelab.reg_delete, UNINSTALL_KEY, None, 32)

    def run_standin(self, **env):
        env = {"STANDIN_RECORD": winelab.windows_path(self.record), **env}
        outcome = winelab.run_package(winelab.standin_installer(), ("first", "two words"),
                                      env=env)
        self.assertFalse(outcome.crashed, outcome.stderr)
        return outcome

    def language(self):
        parser = configparser.ConfigParser()
        parser.optionxform = str
        with open(os.path.join(winelab.unix_path(self.install_dir), "cfg.ini"),
                  encoding="latin-1") as stream:
            parser.read_string(stream.read())
        return {section: dict(parser[section]) for section in parser.sections()}

    def test_leaves_the_traces_asked_for_and_can_run_twice(self):
        traces = {"STANDIN_INSTALL_DIR": self.install_dir, "STANDIN_REGISTER": "1"}

        first = self.run_standin(STANDIN_LANGUAGE="de", STANDIN_EXIT="3", **traces)
        self.assertEqual(first.code, 3)
        self.assertEqual(self.language(), {"Language": {"LANGUAGE": "de"}})
        # A 32-bit program's HKLM\SOFTWARE writes land in the 32-bit view only, which is
        # where the 32-bit launcher reads them back.
        self.assertEqual(winelab.reg_query(UNINSTALL_KEY, APP_PATH_VALUE, view=32),
                         ("REG_SZ", self.install_dir))
        self.assertIsNone(winelab.reg_query(UNINSTALL_KEY, APP_PATH_VALUE, view=64))

        second = self.run_standin(STANDIN_LANGUAGE="fr", STANDIN_SLEEP_MS="400", **traces)
        self.assertEqual(second.code, 0)
        self.assertGreaterEqual(second.seconds, 0.4)
        self.assertEqual(self.language(), {"Language": {"LANGUAGE": "fr"}})

        starts = winelab.read_record(self.record)
        self.assertEqual(len(starts), 2)
        for start in starts:
            program = winelab.windows_path(winelab.standin_installer())
            self.assertEqual(start.command_line, f'"{program}" first "two words"')
            self.assertEqual(start.module_path.lower(), program.lower())


class UrlRecorderTests(unittest.TestCase):

    def test_appends_one_line_per_start_and_nothing_without_a_url(self):
        with tempfile.TemporaryDirectory(prefix="recorder-") as work:
            record = os.path.join(work, "urls.txt")
            starts = [(("https://example.com\\de/welcome?a=1&b=%20",), 0),
                      (("https://é.example/", "more"), 0),
                      ((), 2)]
            for urls, code in starts:
                outcome = winelab.run_package(winelab.url_recorder(),
                                              (winelab.windows_path(record), *urls))
                self.assertFalse(outcome.crashed, outcome.stderr)
                self.assertEqual(outcome.code, code, urls)
            with open(record, encoding="utf-8", newline="") as stream:
                self.assertEqual(stream.read(), "https://example.com\\de/welcome?a=1&b=%20\n"
                                                "https://é.example/ more\n")
            missing = winelab.run_package(winelab.url_recorder(),
                                          (winelab.windows_path(work) + "\\no\\such\\x.txt", "u"))
            self.assertEqual(missing.code, 1)


if __name__ == "__main__":
    unittest.main()
