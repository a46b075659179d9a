"""The installed tree and a producer's project built against it.

`cmake --install` of this build goes into a throwaway prefix; the tests look at what is
there and build tests/install/consumer with find_package(wrapper CONFIG), offline.

Environment (CTest sets it): CMAKE_COMMAND, WRAPPER_BUILD_DIR (this build tree),
STANDIN_INSTALLER (the payload), WRAPPER_PRODUCT_ID (the configured id).
"""

import gzip
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
        "share/doc/wrapper/LICENSE",
        "share/doc/wrapper/README.md",
        "share/doc/wrapper/SHA256SUMS",
        "share/doc/wrapper/package-format.md",
        "share/wrapper/cmake/WrapperAddPackage.cmake",
        "share/wrapper/cmake/wrapperConfig.cmake",
        "share/wrapper/cmake/wrapperConfigVersion.cmake",
        "share/wrapper/wrapper-url-recorder.exe",
        "share/wrapper/wrapper.exe",
    ]
    if not windows:
        files += ["share/bash-completion/completions/wrapper-inspect",
                  "share/bash-completion/completions/wrapper-pack",
                  "share/bash-completion/completions/wrapper-stamp"]
        files += [f"{target}/lib/cmake/wrapper/{name}.cmake"
                  for target in ("i686-w64-mingw32", "x86_64-w64-mingw32")
                  for name in ("wrapperConfig", "wrapperConfigVersion")]
        if shutil.which("help2man"):
            files += ["share/man/man1/wrapper-inspect.1.gz", "share/man/man1/wrapper-pack.1.gz",
                      "share/man/man1/wrapper-stamp.1.gz"]
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
        with gzip.open(os.path.join(self.prefix, "share/man/man1/wrapper-inspect.1.gz"), "rt") as f:
            page = f.read()
        self.assertIn("\\-\\-expect\\-product\\-id", page)
        self.assertIn("wrapper-inspect " + os.environ["WRAPPER_VERSION"], page)

    def test_man_pages_have_examples_and_see_also(self):
        if not shutil.which("help2man"):
            self.skipTest("help2man is not installed: no man pages")
        for tool in ("wrapper-pack", "wrapper-inspect", "wrapper-stamp"):
            with gzip.open(os.path.join(self.prefix, f"share/man/man1/{tool}.1.gz"), "rt") as f:
                page = f.read()
            self.assertIn(".SH EXAMPLES", page, tool)
            self.assertIn('.SH "SEE ALSO"', page, tool)

    def test_completion_offers_option_values_and_exe_names(self):
        script = os.path.join(self.prefix, "share/bash-completion/completions/wrapper-pack")
        rows = [  # the words on the line (the last is being completed), the offers
            (["wrapper-pack", "--payload", ""], ["B.EXE", "a.exe", "folder"]),
            (["wrapper-pack", "--launcher", "=", ""], ["B.EXE", "a.exe", "folder"]),
            (["wrapper-pack", "--settings", "="], ["B.EXE", "a.exe", "folder", "r.ini"]),
            (["wrapper-pack", "--settings=r"], ["--settings=r.ini"]),
            (["wrapper-pack", "--payload=a"], ["--payload=a.exe"]),
            (["wrapper-pack", "--campaign", ""], []),
            (["wrapper-pack", "--sett"], ["--settings"]),
            (["wrapper-inspect", "--verify", ""], ["B.EXE", "a.exe", "folder"]),
            (["wrapper-stamp", "--output-dir", ""], ["folder"]),
            (["wrapper-stamp", "--output-dir=f"], ["--output-dir=folder"]),
        ]
        with tempfile.TemporaryDirectory() as work:
            for name in ("a.exe", "B.EXE", "r.ini"):
                open(os.path.join(work, name), "w").close()
            os.mkdir(os.path.join(work, "folder"))
            for words, offers in rows:
                with self.subTest(" ".join(words)):
                    shown = run(["bash", "-c", 'source "$0"; COMP_WORDS=("${@:1}"); '
                                 "COMP_CWORD=$(($# - 1)); _wrapper_tools \"$1\"; "
                                 'printf "%s\\n" "${COMPREPLY[@]}"', script, *words], cwd=work)
                    self.assertEqual(shown.returncode, 0, shown.stderr)
                    self.assertEqual(sorted(filter(None, shown.stdout.splitlines())), offers)


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
    installation's files under the package's own root, the host tools stripped, the build's
    launcher and URL recorder as they were linked, no build path in the tools, and
    SHA256SUMS that hold."""

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

    def check_unpacked(self, root, files, tools, build_dir):
        """The installation unpacked at `root`, which holds `files`, its tools named `tools`,
        from `build_dir`."""
        for program, built in (("wrapper.exe", "wrapper"),
                               ("wrapper-url-recorder.exe", "recorder")):
            with open(os.path.join(root, "share", "wrapper", program), "rb") as f:
                shipped = f.read()
            with open(os.path.join(os.environ["WRAPPER_WINDOWS_BUILD_DIR"], "Tools",
                                   "packageBuilder", built, program), "rb") as f:
                self.assertEqual(shipped, f.read(), f"{program} is not the build's own")
        for tool in tools:
            with open(os.path.join(root, "bin", tool), "rb") as f:
                program = f.read()
            if os.environ.get("WRAPPER_SANITIZED") == "1":
                continue  # instrumentation names its objects' paths; never released
            for folder in (os.path.dirname(os.path.dirname(HERE)), build_dir):
                self.assertNotIn(folder.encode(), program, tool)
        checked = run(["sha256sum", "--check", "--strict", "share/doc/wrapper/SHA256SUMS"],
                      cwd=root)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        self.assertEqual(sorted(line.rsplit(": ", 1)[0] for line in checked.stdout.splitlines()),
                         [name for name in files if name != "share/doc/wrapper/SHA256SUMS"])

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
        files = sorted(installed_files() + ["share/doc/wrapper/changelog.Debian.gz",
                                            "share/doc/wrapper/copyright"])
        self.assertEqual(self.listed(listing.splitlines(), "./usr/"), files)
        self.assertIn("libssl", run(["dpkg-deb", "-f", package, "Depends"]).stdout)
        if shutil.which("lintian"):
            checked = run(["lintian", package])
            print(checked.stdout + checked.stderr)
            self.assertEqual([line for line in checked.stdout.splitlines()
                              if line.startswith("E:")], [])
        unpacked = os.path.join(self.work, "unpacked")
        run(["dpkg-deb", "-x", package, unpacked])
        for tool in ("wrapper-pack", "wrapper-inspect"):
            described = run(["file", os.path.join(unpacked, "usr", "bin", tool)]).stdout
            self.assertIn(", stripped", described)
        self.check_unpacked(os.path.join(unpacked, "usr"), files, ("wrapper-pack", "wrapper-inspect"),
                            os.environ["WRAPPER_BUILD_DIR"])

    def test_tar_gz(self):
        package = self.cpack(os.environ["WRAPPER_BUILD_DIR"], "TGZ")
        listing = run(["tar", "tzf", package]).stdout
        print(listing)
        root = os.path.basename(package)[:-len(".tar.gz")] + "/"
        self.assertEqual(self.listed(listing.splitlines(), root), installed_files())
        run(["tar", "xzf", package, "-C", self.work])
        self.check_unpacked(os.path.join(self.work, root), installed_files(),
                            ("wrapper-pack", "wrapper-inspect"),
                            os.environ["WRAPPER_BUILD_DIR"])

    def test_windows_zip(self):
        windows = os.environ["WRAPPER_WINDOWS_BUILD_DIR"]
        if not os.path.isfile(os.path.join(windows, "CPackConfig.cmake")):
            self.skipTest("the windows preset's build is not configured")
        package = self.cpack(windows, "ZIP")
        listing = run(["unzip", "-l", package]).stdout
        print(listing)
        root = os.path.basename(package)[:-len(".zip")] + "/"
        self.assertEqual(self.listed(listing.splitlines(), root), installed_files(windows=True))
        run(["unzip", "-q", package, "-d", self.work])
        self.check_unpacked(os.path.join(self.work, root), installed_files(windows=True),
                            ("wrapper-pack.exe", "wrapper-inspect.exe"), windows)


class ConsumerProjectTests(unittest.TestCase):
    """tests/install/consumer, configured and built against the installation. Its inputs
    lie in a folder whose name holds a space and a semicolon."""

    def setUp(self):
        self.prefix = Installed.prefix()
        self.work = tempfile.mkdtemp(prefix="wrapper-consumer-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.build = os.path.join(self.work, "build")
        inputs = os.path.join(self.work, "in a; folder")
        os.mkdir(inputs)
        self.settings = os.path.join(inputs, "release.ini")
        self.installer = os.path.join(inputs, "installer.exe")
        with open(self.settings, "w") as f:
            f.write(SETTINGS)
        shutil.copyfile(os.environ["STANDIN_INSTALLER"], self.installer)
        self.inspect = os.path.join(self.prefix, "bin", "wrapper-inspect")
        self.generator = "Ninja"

    def configure(self, *extra, prefix_path=True):
        found = [f"-DCMAKE_PREFIX_PATH={self.prefix}"] if prefix_path else []
        result = run([CMAKE, "-S", os.path.join(HERE, "consumer"), "-B", self.build,
                      "-G", self.generator, *found, f"-DINSTALLER:FILEPATH={self.installer}",
                      f"-DSETTINGS:FILEPATH={self.settings}", *extra])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def build_log(self, expect_success=True):
        result = run([CMAKE, "--build", self.build])
        log = result.stdout + result.stderr
        self.assertEqual(result.returncode == 0, expect_success, log)
        print(log)
        log = log.replace("\n  ", " ")  # CMake's messages, unwrapped
        # The work files are never named, and none is left.
        self.assertNotIn("/packed.exe", log)
        self.assertNotIn("/signed.exe", log)
        self.assertNotIn("/slotted.exe", log)
        work_files = ("packed.exe", "signed.exe", "slotted.exe")
        for folder, _, names in os.walk(self.build):
            self.assertEqual([n for n in names if n in work_files], [], folder)
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
        # One line for the package: no tool output on success.
        self.assertIn("Packing setup: " + package, log)
        self.assertNotIn("wrapper-pack", log)
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
        self.assertIn(package + " not written: packing failed", log)
        self.assertFalse(os.path.exists(package))

    def test_unix_makefiles_layered_settings_and_an_output_in_a_new_folder(self):
        # make takes no semicolon in a dependency's path: spaces only.
        self.generator = "Unix Makefiles"
        os.rename(os.path.dirname(self.installer), os.path.join(self.work, "inputs"))
        self.installer = os.path.join(self.work, "inputs", "installer.exe")
        self.settings = os.path.join(self.work, "inputs", "release.ini")
        more = os.path.join(self.work, "more.ini")
        with open(more, "w") as f:
            f.write("landing = https://example.com%1/hello?\n")
        package = os.path.join(self.work, "out put", "new folder", "My Setup.exe")
        self.configure(f"-DMORE_SETTINGS:FILEPATH={more}", "-DCAMPAIGN=utm_source=inline",
                       f"-DOUTPUT:FILEPATH={package}")
        self.assertIn("Packing setup: " + package, self.build_log())
        fields = self.fields(package)[1]
        self.assertEqual(fields["CampaignQuery"], "utm_source=inline")
        self.assertEqual(fields["LandingTemplate"], "https://example.com%1/hello?")
        self.assertEqual(fields["LinkTemplate"], "https://example.com%1/start?")

    def test_an_output_that_is_not_a_regular_file_is_left_alone(self):
        kept = os.path.join(self.work, "kept.txt")
        with open(kept, "w") as f:
            f.write("kept")
        folder = os.path.join(self.work, "a folder")
        os.mkdir(folder)
        shutil.copyfile(kept, os.path.join(folder, "kept.txt"))
        link = os.path.join(self.work, "link.exe")
        os.symlink(kept, link)
        for output, kind in ((folder, "a folder"), (link, "a symbolic link")):
            with self.subTest(kind):
                self.configure(f"-DOUTPUT:FILEPATH={output}")
                log = self.build_log(expect_success=False)
                self.assertIn(f"{output} is {kind}; wrapper_add_package replaces only a regular "
                              "file", log)
                with open(os.path.join(output, "kept.txt") if os.path.isdir(output) else kept) as f:
                    self.assertEqual(f.read(), "kept")
        self.assertTrue(os.path.islink(link))

    def test_finds_the_package_from_a_mingw_cross_build(self):
        # An ordinary MinGW toolchain file: packages come from the target's root alone. The
        # installation's prefix stands for /usr, whose i686-w64-mingw32 folder that root is.
        toolchain = os.path.join(self.work, "mingw.cmake")
        with open(toolchain, "w") as f:
            f.write("set(CMAKE_SYSTEM_NAME Windows)\n"
                    "set(CMAKE_SYSTEM_PROCESSOR i686)\n"
                    f"set(CMAKE_FIND_ROOT_PATH [[{self.prefix}/i686-w64-mingw32]])\n"
                    "set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)\n"
                    "set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)\n"
                    "set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)\n"
                    "set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)\n")
        self.configure(f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", prefix_path=False)
        self.assertIn("Packing setup", self.build_log())

    def test_a_signing_command_that_signs_nothing_fails_the_build(self):
        self.configure("-DSIGN_CERT:STRING=copy")
        signed = os.path.join(self.build, "release", "setup-signed.exe")
        log = self.build_log(expect_success=False)
        self.assertIn("FAIL  a signature after the marker is present and matches the file", log)
        self.assertIn(signed + " not written: the check failed", log)
        self.assertFalse(os.path.exists(signed))

    def test_signs_then_verifies_against_the_product_id(self):
        for tool in ("openssl", "osslsigncode"):
            if not shutil.which(tool):
                self.skipTest(f"{tool} is not installed")
        cert = os.path.join(self.work, "in a; folder", "cert.pem")
        key = os.path.join(self.work, "in a; folder", "key.pem")
        made = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=test",
                    "-days", "2", "-keyout", key, "-out", cert])
        self.assertEqual(made.returncode, 0, made.stderr)
        # A signing argument with a space and a semicolon stays one argument.
        self.configure(f"-DSIGN_CERT:FILEPATH={cert}", f"-DSIGN_KEY:FILEPATH={key}", "-DSIGN_NAME=Consumer; setup")
        signed = os.path.join(self.build, "release", "setup-signed.exe")
        self.assertIn("Packing setup-signed: " + signed, self.build_log())
        self.assertEqual(self.fields(signed)[0]["signatures"][0]["state"], "matches")
        self.assertFalse(self.fields(signed)[0]["campaignStamp"]["slot"]["present"])

        # The slot is added after signing, and the signature still matches.
        self.configure("-DSTAMP_SLOT=ON")
        self.build_log()
        report = self.fields(signed)[0]
        self.assertEqual(report["signatures"][0]["state"], "matches")
        self.assertEqual(report["campaignStamp"]["slot"]["state"], "unstamped")
        self.configure("-DSTAMP_SLOT=OFF")

        # The certificate is an input of the signed package alone.
        os.utime(cert)
        log = self.build_log()
        self.assertIn("Packing setup-signed", log)
        self.assertNotIn("Packing setup:", log)

        self.configure(f"-DSIGN_KEY:FILEPATH={cert}")
        log = self.build_log(expect_success=False)
        self.assertIn(signed + " not written: signing failed", log)
        self.assertFalse(os.path.exists(signed))

        self.configure(f"-DSIGN_KEY:FILEPATH={key}", f"-DEXPECT_PRODUCT_ID={OTHER_PRODUCT}")
        log = self.build_log(expect_success=False)
        self.assertIn("FAIL  the launcher reads the uninstall key of the expected product", log)
        self.assertIn(signed + " not written: the check failed", log)
        self.assertFalse(os.path.exists(signed))
        self.assertTrue(os.path.exists(os.path.join(self.build, "setup.exe")))


if __name__ == "__main__":
    unittest.main()
