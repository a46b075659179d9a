#!/usr/bin/env python3
"""End-to-end tests of the product id setting: a launcher configured for another product
reads that product's uninstall key, and only that one.

The launcher and stand-in installer for the other product come from a second Windows
build tree, configured with WRAPPER_PRODUCT_ID and built (the two targets only) when the
class starts; later runs rebuild only what changed. Environment beside winelab's (CTest
sets it): CMAKE_COMMAND, WRAPPER_SOURCE_DIR, OTHER_PRODUCT_BUILD_DIR.
"""

import os
import shutil
import subprocess
import tempfile
import unittest

import winelab

OTHER_ID = "{0E2E7A11-5C3B-4D8E-9F60-7A1B2C3D4E5F}"
OTHER_KEY = ("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
             + OTHER_ID + "_is1")
INSTALL_DIR = "C:\\users\\Public\\e2e-product\\installed"
# No landing page (and so no campaign query): nothing is opened, only Version.ini written.
SETTINGS = {"link": "https://link.example/%1/go?", "campaign": "",
            "landing": "", "uninstall": "https://un.example%1/u?"}

_scope = winelab.ModuleScope("wrapper-e2e-product-")
setUpModule = _scope.set_up
tearDownModule = _scope.tear_down


def build_other_product():
    """(launcher, stand-in installer) built with OTHER_ID."""
    cmake = os.environ.get("CMAKE_COMMAND", "cmake")
    source = os.environ["WRAPPER_SOURCE_DIR"]
    build = os.environ["OTHER_PRODUCT_BUILD_DIR"]
    steps = [
        [cmake, "-S", source, "-B", build, "-G", "Ninja",
         "--toolchain", os.path.join(source, "cmake", "mingw-i686.cmake"),
         "-DCMAKE_BUILD_TYPE=MinSizeRel", f"-DWRAPPER_PRODUCT_ID={OTHER_ID}"],
        [cmake, "--build", build, "--target", "wrapper", "standin-installer"],
    ]
    for step in steps:
        result = subprocess.run(step, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=900)
        if result.returncode != 0:
            raise winelab.WineLabError(f"{' '.join(step)} failed:\n{result.stdout}"
                                       f"{result.stderr}")
    return (os.path.join(build, "Tools", "packageBuilder", "wrapper", "wrapper.exe"),
            os.path.join(build, "tests", "e2e", "installer", "standin-installer.exe"))


class OtherProductTests(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.launcher, cls.standin = build_other_product()
        cls.work = tempfile.mkdtemp(prefix="OtherProductTests-", dir=_scope.workspace)

    def setUp(self):
        for key in (OTHER_KEY, winelab.uninstall_key()):
            winelab.reg_delete(key, view=32)
            self.addCleanup(winelab.reg_delete, key, None, 32)
        shutil.rmtree(winelab.unix_path(INSTALL_DIR), ignore_errors=True)
        self.addCleanup(shutil.rmtree, winelab.unix_path(INSTALL_DIR), True)

    def run_package(self, installer):
        package = winelab.pack(os.path.join(self.work, "setup.exe"), installer,
                               launcher=self.launcher, **SETTINGS)
        result = winelab.run_package(package, env={"STANDIN_INSTALL_DIR": INSTALL_DIR,
                                                   "STANDIN_REGISTER": "1"})
        self.assertFalse(result.crashed, f"the launcher crashed:\n{result.stderr}")
        self.assertEqual(result.code, 0)
        return os.path.join(winelab.unix_path(INSTALL_DIR), "Version.ini")

    def test_hands_off_to_the_installation_registered_under_its_own_key(self):
        version_ini = self.run_package(self.standin)
        self.assertEqual(winelab.reg_query(OTHER_KEY, winelab.install_dir_value(), view=32),
                         ("REG_SZ", INSTALL_DIR))
        self.assertIsNone(winelab.reg_query(winelab.uninstall_key(), winelab.install_dir_value(),
                                            view=32))
        with open(version_ini, encoding="cp1252") as f:
            self.assertEqual(f.read().split(), ["[QD]", "url=https://link.example/%1/go?",
                                                "paramcount=1", "1=", "[UNINSTALL]",
                                                "url=https://un.example", "param=/u?"])

    def test_an_installation_under_the_default_key_is_not_its_product(self):
        # The default build's stand-in registers the default product: no hand-off.
        version_ini = self.run_package(winelab.standin_installer())
        self.assertIsNotNone(winelab.reg_query(winelab.uninstall_key(), winelab.install_dir_value(),
                                               view=32))
        self.assertFalse(os.path.exists(version_ini))


if __name__ == "__main__":
    unittest.main()
