"""The installed tree and a producer's project built against it.

`cmake --install` of this build goes into a throwaway prefix; the tests look at what is
there and build tests/install/consumer with find_package(wrapper CONFIG), offline.

Environment (CTest sets it): CMAKE_COMMAND, WRAPPER_BUILD_DIR (this build tree),
STANDIN_INSTALLER (the payload), WRAPPER_PRODUCT_ID (the configured id).
"""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
OTHER_PRODUCT = "{00000000-1111-2222-3333-444444444444}"
SETTINGS = ("link = https://example.com%1/start?\n"
            "campaign = utm_source=consumer\n"
            "landing = https://example.com%1/welcome?\n"
            "uninstall = https://example.com%1/goodbye?\n")


def run(argv, **kwargs):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=300, **kwargs)


class Installed:
    """One installation per test run, shared by the classes below."""
    folder = None

    @classmethod
    def prefix(cls):
        if cls.folder is None:
            cls.folder = tempfile.mkdtemp(prefix="wrapper-install-")
            result = run([CMAKE, "--install", os.environ["WRAPPER_BUILD_DIR"],
                          "--prefix", cls.folder])
            if result.returncode != 0:
                raise AssertionError(f"cmake --install failed:\n{result.stdout}{result.stderr}")
        return cls.folder

    @classmethod
    def remove(cls):
        if cls.folder is not None:
            shutil.rmtree(cls.folder, ignore_errors=True)
            cls.folder = None


def tearDownModule():
    Installed.remove()


def files_under(root):
    found = []
    for folder, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(folder, name), root) for name in names]
    return sorted(found)


def installed_files(windows=False):
    """What an installation holds, relative to its prefix."""
    exe = ".exe" if windows else ""
    files = [
        f"bin/wrapper-inspect{exe}",
        f"bin/wrapper-pack{exe}",
        f"bin/wrapper-stamp{exe}",
        "share/doc/wrapper/README.md",
        "share/doc/wrapper/package-format.md",
        "share/wrapper/cmake/WrapperAddPackage.cmake",
        "share/wrapper/cmake/wrapperConfig.cmake",
        "share/wrapper/cmake/wrapperConfigVersion.cmake",
        "share/wrapper/wrapper.exe",
    ]
    if not windows:
        files += ["share/bash-completion/completions/wrapper-inspect",
                  "share/bash-completion/completions/wrapper-pack",
                  "share/bash-completion/completions/wrapper-stamp"]
        if shutil.which("help2man"):
            files += ["share/man/man1/wrapper-inspect.1", "share/man/man1/wrapper-pack.1",
                      "share/man/man1/wrapper-stamp.1"]
    return sorted(files)


class InstalledTreeTests(unittest.TestCase):
    def setUp(self):
        self.prefix = Installed.prefix()

    def test_tools_launcher_docs_man_pages_completion_and_package_files(self):
        self.assertEqual(files_under(self.prefix), installed_files())

    def test_installed_pack_uses_the_installed_launcher(self):
        with tempfile.TemporaryDirectory() as work:
            package = os.path.join(work, "p.exe")
            result = run([os.path.join(self.prefix, "bin", "wrapper-pack"),
                          "--payload", os.environ["STANDIN_INSTALLER"], "-o", package])
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(os.path.join(self.prefix, "share", "wrapper", "wrapper.exe"), "rb") as f:
                launcher = f.read()
            with open(package, "rb") as f:
                self.assertEqual(f.read(len(launcher)), launcher)

    def test_man_pages_name_the_options(self):
        if not shutil.which("help2man"):
            self.skipTest("help2man is not installed: no man pages")
        with open(os.path.join(self.prefix, "share/man/man1/wrapper-inspect.1")) as f:
            page = f.read()
        self.assertIn("\\-\\-expect\\-product\\-id", page)
        self.assertIn("wrapper-inspect " + os.environ["WRAPPER_VERSION"], page)


class ToolsOnlyConfigureTests(unittest.TestCase):
    def test_configures_without_googletest(self):
        source = os.path.dirname(os.path.dirname(HERE))
        with tempfile.TemporaryDirectory() as build:
            result = run([CMAKE, "-S", source, "-B", build, "-G", "Ninja", "-DBUILD_TESTING=OFF",
                          "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"])
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            with open(os.path.join(build, "CMakeCache.txt")) as f:
                cache = f.read()
            self.assertNotIn("WINE_PROGRAM", cache)
            self.assertIn("CLI11_DIR:PATH=", cache)


class PackageFileTests(unittest.TestCase):
    """CPack's packages of this build (and of the Windows build, when it is there): the
    installation's files under the package's own root, the host tools stripped."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="wrapper-cpack-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def cpack(self, build_dir, generator):
        result = run([os.environ.get("CPACK_COMMAND", "cpack"), "--config", os.path.join(build_dir, "CPackConfig.cmake"),
                      "-G", generator, "-B", self.work], cwd=build_dir)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        made = [name for name in os.listdir(self.work)
                if name.endswith((".deb", ".tar.gz", ".zip"))]
        self.assertEqual(len(made), 1, made)
        return os.path.join(self.work, made[0])

    @staticmethod
    def listed(lines, root):
        """The file names of a listing whose last column is the path, under `root`."""
        names = []
        for line in lines:
            path = line.split()[-1] if line.split() else ""
            if path.startswith(root) and not path.endswith("/"):
                names.append(path[len(root):])
        return sorted(names)

    def test_debian_package(self):
        if not shutil.which("dpkg-deb"):
            self.skipTest("dpkg-deb is not installed")
        package = self.cpack(os.environ["WRAPPER_BUILD_DIR"], "DEB")
        listing = run(["dpkg-deb", "-c", package]).stdout
        print(listing)
        self.assertEqual(self.listed(listing.splitlines(), "./usr/"), installed_files())
        self.assertIn("libssl", run(["dpkg-deb", "-f", package, "Depends"]).stdout)
        unpacked = os.path.join(self.work, "unpacked")
        run(["dpkg-deb", "-x", package, unpacked])
        for tool in ("wrapper-pack", "wrapper-inspect"):
            described = run(["file", os.path.join(unpacked, "usr", "bin", tool)]).stdout
            self.assertIn(", stripped", described)

    def test_tar_gz(self):
        package = self.cpack(os.environ["WRAPPER_BUILD_DIR"], "TGZ")
        listing = run(["tar", "tzf", package]).stdout
        print(listing)
        root = os.path.basename(package)[:-len(".tar.gz")] + "/"
        self.assertEqual(self.listed(listing.splitlines(), root), installed_files())

    def test_windows_zip(self):
        windows = os.environ["WRAPPER_WINDOWS_BUILD_DIR"]
        if not os.path.isfile(os.path.join(windows, "CPackConfig.cmake")):
            self.skipTest("the windows preset's build is not configured")
        package = self.cpack(windows, "ZIP")
        listing = run(["unzip", "-l", package]).stdout
        print(listing)
        root = os.path.basename(package)[:-len(".zip")] + "/"
        self.assertEqual(self.listed(listing.splitlines(), root), installed_files(windows=True))


class ConsumerProjectTests(unittest.TestCase):
    """tests/install/consumer, configured and built against the installation."""

    def setUp(self):
        self.prefix = Installed.prefix()
        self.work = tempfile.mkdtemp(prefix="wrapper-consumer-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.build = os.path.join(self.work, "build")
        self.settings = os.path.join(self.work, "release.ini")
        self.installer = os.path.join(self.work, "installer.exe")
        with open(self.settings, "w") as f:
            f.write(SETTINGS)
        shutil.copyfile(os.environ["STANDIN_INSTALLER"], self.installer)
        self.inspect = os.path.join(self.prefix, "bin", "wrapper-inspect")

    def configure(self, *extra):
        result = run([CMAKE, "-S", os.path.join(HERE, "consumer"), "-B", self.build, "-G", "Ninja",
                      f"-DCMAKE_PREFIX_PATH={self.prefix}", f"-DINSTALLER={self.installer}",
                      f"-DSETTINGS={self.settings}", *extra])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def build_log(self, expect_success=True):
        result = run([CMAKE, "--build", self.build])
        log = result.stdout + result.stderr
        self.assertEqual(result.returncode == 0, expect_success, log)
        print(log)
        return log

    def fields(self, package):
        result = run([self.inspect, "--json", package])
        self.assertEqual(result.returncode, 0, result.stderr)
        report = json.loads(result.stdout)
        return report, {name: value["text"] for name, value in report["fields"].items()}

    def test_packs_verifies_and_packs_again_only_when_an_input_changes(self):
        self.configure()
        package = os.path.join(self.build, "setup.exe")
        log = self.build_log()
        self.assertIn("Packing setup: " + package, log)
        self.assertIn("wrapper-pack: wrote " + os.path.join(self.build, "setup.wrapper-package"),
                      log)
        self.assertIn("all 18 checks passed", log)
        self.assertEqual(run([self.inspect, "--verify", package]).returncode, 0)
        report, fields = self.fields(package)
        self.assertEqual(fields["CampaignQuery"], "utm_source=consumer")
        self.assertEqual(report["launcherImage"]["productId"], os.environ["WRAPPER_PRODUCT_ID"])
        # Only the package is left in the build folder's top level, no work files.
        self.assertNotIn("setup.wrapper-package", os.listdir(self.build))

        self.assertNotIn("Packing", self.build_log())

        with open(self.settings, "w") as f:
            f.write(SETTINGS.replace("utm_source=consumer", "utm_source=changed"))
        self.assertIn("Packing setup", self.build_log())
        self.assertEqual(self.fields(package)[1]["CampaignQuery"], "utm_source=changed")

        size = self.fields(package)[0]["layout"]["payload"]["size"]
        with open(self.installer, "ab") as f:
            f.write(b"\0" * 512)
        self.assertIn("Packing setup", self.build_log())
        self.assertEqual(self.fields(package)[0]["layout"]["payload"]["size"], size + 512)

        # A refused package fails the build and leaves no package behind, not even the old one.
        with open(self.settings, "w") as f:
            f.write(SETTINGS.replace("utm_source=consumer", "?utm_source=broken"))
        log = self.build_log(expect_success=False)
        self.assertIn('wrapper-pack: campaign query starts with "?"', log)
        self.assertFalse(os.path.exists(package))

    def test_signs_then_verifies_against_the_product_id(self):
        for tool in ("openssl", "osslsigncode"):
            if not shutil.which(tool):
                self.skipTest(f"{tool} is not installed")
        cert = os.path.join(self.work, "cert.pem")
        key = os.path.join(self.work, "key.pem")
        made = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=test",
                    "-days", "2", "-keyout", key, "-out", cert])
        self.assertEqual(made.returncode, 0, made.stderr)
        self.configure(f"-DSIGN_CERT={cert}", f"-DSIGN_KEY={key}")
        signed = os.path.join(self.build, "release", "setup-signed.exe")
        log = self.build_log()
        self.assertIn("Packing setup-signed: " + signed, log)
        self.assertIn("pass  the launcher reads the uninstall key of the expected product: "
                      "product id " + os.environ["WRAPPER_PRODUCT_ID"], log)
        self.assertEqual(self.fields(signed)[0]["signature"]["state"], "matches")

        self.configure(f"-DEXPECT_PRODUCT_ID={OTHER_PRODUCT}")
        log = self.build_log(expect_success=False)
        self.assertIn("FAIL  the launcher reads the uninstall key of the expected product", log)
        self.assertFalse(os.path.exists(signed))
        self.assertTrue(os.path.exists(os.path.join(self.build, "setup.exe")))


if __name__ == "__main__":
    unittest.main()
