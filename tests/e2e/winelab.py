#!/usr/bin/env python3
"""Wine workbench for the launcher's end-to-end tests.

One throwaway Wine prefix serves a whole test run: `winelab.py setup` creates it and
leaves a persistent wineserver behind, so each later program start costs a fraction of
a second; `winelab.py cleanup` stops that server. The tests import this module for
running packages under a time limit, editing the prefix's registry, translating paths
and building packages with wrapper-pack.

Configuration comes from the environment (CTest sets it):
  WINEPREFIX         the prefix (required)
  WRAPPER_LOCATIONS  the host build's wrapper-locations.json (default: build/host's), which
                     names the programs and files of both build trees: wrapper.exe, the
                     stand-in installer, the tools, the result codes (see locations())
  WRAPPER_EXE, ...   optional overrides of single locations, the key in capitals
  WINE, WINESERVER   optional overrides of the Wine programs

Wine output always goes to files: Wine's helper processes inherit the output handles
and would keep a pipe open long after the program itself has exited.
"""

import contextlib
import dataclasses
import enum
import functools
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

MARKER_SIZE = 32
TRAILER_SIZE = 1080

# Written into every prefix this module creates; `setup` only ever deletes a folder
# that carries it, so a mistyped WINEPREFIX cannot wipe anything else.
OWNERSHIP_MARK = ".winelab-prefix"

ENVIRONMENT_KEY = r"HKCU\Environment"
AEDEBUG_KEY = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug"

# reg.exe and cmd.exe write to files in the OEM code page of the prefix's locale.
CONSOLE_ENCODING = "cp437"


def _result_codes():
    """The launcher's exit codes by name, from the result-codes.json the build writes
    (kSeekFieldsFailed becomes SEEK_FIELDS_FAILED); an alias names another's number."""
    with open(location("result_codes"), encoding="utf-8") as stream:
        listed = json.load(stream)
    numbers = {entry["name"]: entry["number"] for entry in listed["codes"]}
    numbers.update(listed["aliases"])
    return {re.sub(r"(?<!^)(?=[A-Z])", "_", name[1:]).upper(): number
            for name, number in numbers.items()}


class WineLabError(RuntimeError):
    pass


def _require(name):
    value = os.environ.get(name)
    if not value:
        raise WineLabError(f"environment variable {name} is not set")
    return value


def prefix():
    return os.path.abspath(_require("WINEPREFIX"))


def wine_program():
    return os.environ.get("WINE") or shutil.which("wine") or "wine"


def wineserver_program():
    return os.environ.get("WINESERVER") or shutil.which("wineserver") or "wineserver"


# --- the build trees' locations -----------------------------------------------------
# Each build tree holds a wrapper-locations.json that CMake writes: its programs and files
# by key (a host build's also lists the windows build's programs), and the launcher's size
# budget. An environment variable of the key's name in capitals (WRAPPER_EXE) overrides a
# location.
_SOURCE_DIR = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                            "..", ".."))


@functools.cache
def locations():
    """The host build's locations: key -> value."""
    path = os.environ.get("WRAPPER_LOCATIONS") or os.path.join(
        _SOURCE_DIR, "build", "host", "wrapper-locations.json")
    if not os.path.isfile(path):
        raise WineLabError(f"WRAPPER_LOCATIONS={path} does not exist; configure the host "
                           "build first")
    with open(path, encoding="utf-8") as stream:
        return json.load(stream)


def location(key):
    """The existing file a build tree lists under `key`."""
    variable = key.upper()
    path = os.environ.get(variable) or locations().get(key)
    if not path or not os.path.isfile(path):
        raise WineLabError(f"{variable}={path} does not exist; build it first")
    return path


def launcher_size_limit():
    """wrapper.exe's size budget in bytes (WRAPPER_LAUNCHER_SIZE_LIMIT in CMake)."""
    return int(locations()["launcher_size_limit"])


# The launcher's exit codes; a number never changes meaning.
ResultCode = enum.IntEnum("ResultCode", _result_codes())


def wrapper_exe():
    return location("wrapper_exe")


def standin_installer():
    return location("standin_installer")


def url_recorder():
    return location("url_recorder")


def wrapper_pack():
    return location("wrapper_pack")


def wrapper_inspect():
    return location("wrapper_inspect")


def wrapper_stamp():
    return location("wrapper_stamp")


def wine_env(extra=None):
    """The environment for any Wine program: quiet, headless, this prefix."""
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    # UTF-8 for paths and variables crossing from Unix, the same ANSI code page (1252)
    # whatever locale the caller runs in.
    env["LC_ALL"] = "C.UTF-8"
    env["WINEPREFIX"] = prefix()
    env["WINEDEBUG"] = "-all"
    # No .NET or HTML engine download prompts while the prefix boots.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    if extra:
        env.update(extra)
    return env


@dataclasses.dataclass
class Outcome:
    code: int
    stdout: str
    stderr: str
    seconds: float

    @property
    def crashed(self):
        # A crash can end with an ordinary-looking small exit code; Wine's report of an
        # unhandled exception ("wine: Unhandled page fault ...", "wine: Unhandled exception
        # ...") is the reliable sign. A relay trace names SetUnhandledExceptionFilter.
        return "wine: Unhandled" in self.stderr

    @property
    def refused(self):
        # Wine did not start the program at all (no executable image, a truncated one, a
        # DOS program): the exit code is Wine's, not the program's.
        return ("Application could not be started" in self.stdout
                or "wine: failed to start" in self.stderr
                or "is a DOS application" in self.stderr)


class WineTimeout(WineLabError):
    pass


class Running:
    """A program started in the background, with its output going to files."""

    def __init__(self, argv, env, encoding="utf-8"):
        self.argv = argv
        self.encoding = encoding
        self._out = tempfile.TemporaryFile()
        self._err = tempfile.TemporaryFile()
        self.started = time.monotonic()
        # A session of its own, so a time-out can take down everything it started.
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self._out,
                                        stderr=self._err, env=env, start_new_session=True)

    def running(self):
        return self.process.poll() is None

    def wait(self, timeout):
        """Waits for the program's end, at most `timeout` s; then kills it and raises."""
        try:
            remaining = max(0.0, timeout - (time.monotonic() - self.started))
            try:
                code = self.process.wait(timeout=remaining)
            except subprocess.TimeoutExpired:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
                raise WineTimeout(f"{self.argv!r} still running after {timeout} s; stderr:\n"
                                  + self._read(self._err, "utf-8")) from None
            seconds = time.monotonic() - self.started
            return Outcome(code, self._read(self._out, self.encoding),
                           self._read(self._err, "utf-8"), seconds)
        finally:
            self._out.close()
            self._err.close()

    @staticmethod
    def _read(stream, encoding):
        stream.seek(0)
        return stream.read().decode(encoding, "replace")


def _run(argv, timeout, env=None, encoding="utf-8"):
    """Runs argv with output to files and a hard time limit; returns an Outcome."""
    return Running(argv, env or wine_env(), encoding).wait(timeout)


def start_package(path, args=(), env=None):
    """Starts a package without waiting; call wait() on the result."""
    return Running([wine_program(), path, *args], wine_env(env))


def run_package(path, args=(), timeout=60, env=None):
    """Runs a package (or any Windows program) and waits for it, at most `timeout` s.

    `env` adds variables to the program's environment, which the launcher hands on to
    the installer. The exit code is the process's modulo 256, as Wine reports it.
    """
    return start_package(path, args, env).wait(timeout)


def wine_tool(*args, timeout=60):
    """Runs a Wine built-in such as reg or cmd; fails loudly when it fails."""
    outcome = _run([wine_program(), *args], timeout, wine_env(), CONSOLE_ENCODING)
    if outcome.code != 0:
        raise WineLabError(f"wine {' '.join(args)} exited with {outcome.code}:\n"
                           f"{outcome.stdout}{outcome.stderr}")
    return outcome.stdout


# --- registry --------------------------------------------------------------------------

def _view_switch(view):
    # Wine's reg.exe sees the 32-bit view by default here; 32 or 64 picks one explicitly.
    if view not in (None, 32, 64):
        raise ValueError(f"registry view {view!r}")
    return [f"/reg:{view}"] if view else []


def reg_add(key, name, value, kind="REG_SZ", view=None):
    wine_tool("reg", "add", key, "/v", name, "/t", kind, "/d", str(value), "/f",
              *_view_switch(view))


def reg_delete(key, name=None, view=None):
    """Deletes a value, or the whole key when `name` is None. Missing is fine."""
    value = ["/v", name] if name is not None else []
    with contextlib.suppress(WineLabError):
        wine_tool("reg", "delete", key, *value, "/f", *_view_switch(view))


def reg_query(key, name, view=None):
    """Returns (type, data) of a value as reg.exe shows it, or None when it is absent."""
    try:
        text = wine_tool("reg", "query", key, "/v", name, *_view_switch(view))
    except WineLabError:
        return None
    for line in text.splitlines():
        parts = line.strip().split("    ", 2)
        if len(parts) >= 2 and parts[0].lower() == name.lower():
            data = parts[2] if len(parts) > 2 else ""
            return parts[1], data
    return None


@contextlib.contextmanager
def temp_folder(windows_dir, create=True):
    """Points TEMP and TMP at `windows_dir` for the programs started inside the block.

    Wine builds a program's TEMP and TMP from HKCU\\Environment, not from the Unix
    environment. The previous values (and their types) come back afterwards, even
    when the block fails.
    """
    saved = {name: reg_query(ENVIRONMENT_KEY, name) for name in ("TEMP", "TMP")}
    if create:
        os.makedirs(unix_path(windows_dir), exist_ok=True)
    try:
        for name in ("TEMP", "TMP"):
            reg_add(ENVIRONMENT_KEY, name, windows_dir)
        yield windows_dir
    finally:
        for name, previous in saved.items():
            if previous is None:
                reg_delete(ENVIRONMENT_KEY, name)
            else:
                reg_add(ENVIRONMENT_KEY, name, previous[1], previous[0])


def temp_path_as_system_returns(windows_dir):
    """The temporary directory a program sees for TMP=`windows_dir`: made absolute and
    normalized the way the system does it, with exactly one trailing backslash."""
    parts = [p for p in windows_dir.replace("/", "\\").split("\\") if p not in ("", ".")]
    normalized = []
    for part in parts:
        if part == "..":
            if len(normalized) > 1:
                normalized.pop()
        else:
            normalized.append(part)
    return "\\".join(normalized) + "\\"


# --- paths -----------------------------------------------------------------------------

def windows_path(unix):
    """A Unix path as a Windows program in the prefix sees it (C: or Z:)."""
    unix = os.path.abspath(unix)
    drive_c = os.path.realpath(os.path.join(prefix(), "drive_c"))
    real = os.path.realpath(unix)
    if real == drive_c or real.startswith(drive_c + os.sep):
        return "C:\\" + os.path.relpath(real, drive_c).replace("/", "\\").lstrip(".")
    return "Z:" + unix.replace("/", "\\")


def unix_path(windows):
    """A Windows path inside the prefix as a Unix path. Existing components are matched
    case-insensitively, as the system matches them; doubled separators count as one."""
    if len(windows) < 2 or windows[1] != ":":
        raise WineLabError(f"not an absolute Windows path: {windows!r}")
    current = os.path.realpath(os.path.join(prefix(), "dosdevices", windows[0].lower() + ":"))
    for part in (p for p in windows[2:].replace("/", "\\").split("\\") if p):
        candidate = os.path.join(current, part)
        if not os.path.exists(candidate) and os.path.isdir(current):
            for entry in os.listdir(current):
                if entry.lower() == part.lower():
                    candidate = os.path.join(current, entry)
                    break
        current = candidate
    return current


# --- the launcher's temporary name ----------------------------------------------------

def temp_names_program():
    return location("launcher_temp_names")


_temp_names = {}


def temp_name(seconds):
    """The name the launcher gives its temporary installer when it starts in the given
    second, as the launcher's own code draws it (tests/e2e/names). Names are fetched a
    minute at a time, so that asking costs nothing while a run is being timed."""
    if seconds not in _temp_names:
        batch = list(range(seconds - 5, seconds + 60))
        result = subprocess.run([temp_names_program(), *map(str, batch)],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        names = result.stdout.decode("ascii").split()
        if result.returncode != 0 or len(names) != len(batch):
            raise WineLabError(f"launcher-temp-names failed ({result.returncode})")
        _temp_names.update(zip(batch, names))
    return _temp_names[seconds]


def temp_number(seconds):
    """The number in that name."""
    return int(re.fullmatch(r"\D+(\d+)\.exe", temp_name(seconds)).group(1))


def temp_file_prefix():
    """What every temporary installer's name starts with."""
    return re.fullmatch(r"(\D+)\d+\.exe", temp_name(0)).group(1)


def wait_for_next_second(margin=0.02):
    """Sleeps until `margin` s after the next whole second of Unix time; returns that
    second. A program started right afterwards draws its temporary name from it, unless
    its start takes longer than the rest of the second."""
    now = time.time()
    second = int(now) + 1
    time.sleep(max(0.0, second + margin - now))
    return second


def leftover_temp_files(unix_dir):
    if not os.path.isdir(unix_dir):
        return []
    prefix = temp_file_prefix().lower()
    return sorted(name for name in os.listdir(unix_dir) if name.lower().startswith(prefix))


# --- packages -------------------------------------------------------------------------

def pack(output, payload, launcher=None, link=None, campaign=None, landing=None,
         uninstall=None, trailing_bytes=None, trailing_file=None, payload_size=None):
    """Builds a package with wrapper-pack and returns its path."""
    argv = [wrapper_pack(), "--launcher", launcher or wrapper_exe(), "--payload", payload,
            "--output", output]
    for option, value in (("--link", link), ("--campaign", campaign), ("--landing", landing),
                          ("--uninstall", uninstall), ("--trailing-bytes", trailing_bytes),
                          ("--trailing-file", trailing_file), ("--payload-size", payload_size)):
        if value is not None:
            argv += [option, str(value)]
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    if result.returncode != 0 or not os.path.isfile(output):
        raise WineLabError(f"wrapper-pack failed ({result.returncode}): "
                           f"{result.stdout.decode(errors='replace')}"
                           f"{result.stderr.decode(errors='replace')}")
    return output


# --- what the launcher and the tools hold ----------------------------------------------
# Read from what they produce, never copied here: the marker from a package wrapper-pack
# wrote, the uninstall key from wrapper-inspect's report on it.

@functools.lru_cache(maxsize=None)
def _reference_package():
    """The bytes of a package of wrapper.exe and the stand-in, and the report on it."""
    work = tempfile.mkdtemp(prefix="winelab-reference-")
    try:
        path = pack(os.path.join(work, "reference.exe"), standin_installer(),
                    landing="https://example.com%1/?", uninstall="https://example.com%1/?")
        with open(path, "rb") as stream:
            data = stream.read()
        report = inspect(path)
        if report["launcherResult"]["code"] != ResultCode.SUCCESS:
            raise WineLabError(f"wrapper-inspect: the launcher would refuse {path}")
        return data, report
    finally:
        shutil.rmtree(work, ignore_errors=True)


def inspect(path):
    """wrapper-inspect's JSON report on the file at `path`: among the rest, the result the
    launcher gives running it (launcherResult) and, when that is 0, where the payload lies
    (layout.payload). A file the launcher would refuse still has its report (exit 1)."""
    result = subprocess.run([wrapper_inspect(), "--json", path], stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=60)
    if result.returncode not in (0, 1) or not result.stdout:
        raise WineLabError(f"wrapper-inspect failed ({result.returncode}): "
                           f"{result.stderr.decode(errors='replace')}")
    return json.loads(result.stdout)


def marker():
    """The trailer marker, as the packed package carries it just before its end."""
    data, report = _reference_package()
    end = report["layout"]["markerEnd"]
    return data[end - MARKER_SIZE:end]


def uninstall_key():
    """The key the launcher reads the installation folder from (32-bit view), with HKLM."""
    return _reference_package()[1]["handOff"]["uninstallKey"]["path"]


def install_dir_value():
    """The name of the uninstall key's value that holds the installation folder."""
    return _reference_package()[1]["handOff"]["uninstallKey"]["installDirValue"]


# --- executable images ----------------------------------------------------------------

@dataclasses.dataclass
class PeImage:
    machine: int
    subsystem: int
    resources: dict  # (type id, name id) -> bytes of the first language
    imports: list  # names of the libraries imported, directly or delay-loaded, in order
    sections: list  # (name, bytes in the file), in order
    headers_size: int  # bytes of the headers in the file, section table included
    tls_directory: tuple  # (RVA, size) of the thread-local storage directory; (0, 0): none

    I386 = 0x14C
    GUI = 2


def certificate_entry(data):
    """Where a PE32 image's data directory entry 4 (the certificate table: file offset,
    size) lies in `data`, and what it holds: (entry offset, table offset, table size)."""
    header = struct.unpack_from("<I", data, 0x3C)[0]
    entry = header + 4 + 20 + 96 + 4 * 8
    offset, size = struct.unpack_from("<II", data, entry)
    return entry, offset, size


def read_pe(path):
    """The few facts about a PE image the tests look at: machine, subsystem, the
    resources with numeric type and name, the libraries imported (directly or
    delay-loaded), the sections with their sizes in the file, the size of the headers
    and the TLS directory."""
    with open(path, "rb") as stream:
        data = stream.read()

    def u16(offset):
        return struct.unpack_from("<H", data, offset)[0]

    def u32(offset):
        return struct.unpack_from("<I", data, offset)[0]

    if data[:2] != b"MZ":
        raise WineLabError(f"{path} is not an executable image")
    header = u32(0x3C)
    if data[header:header + 4] != b"PE\0\0":
        raise WineLabError(f"{path} has no PE header")
    coff = header + 4
    machine = u16(coff)
    section_count = u16(coff + 2)
    optional = coff + 20
    optional_size = u16(coff + 16)
    if u16(optional) != 0x10B:
        raise WineLabError(f"{path} is not a 32-bit image")
    subsystem = u16(optional + 68)
    import_rva = u32(optional + 96 + 1 * 8)
    resource_rva = u32(optional + 96 + 2 * 8)
    delay_import_rva = u32(optional + 96 + 13 * 8)
    tls_directory = struct.unpack_from("<II", data, optional + 96 + 9 * 8)
    headers_size = u32(optional + 60)
    sections = []
    section_names = []
    for index in range(section_count):
        entry = optional + optional_size + 40 * index
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from(
            "<IIII", data, entry + 8)
        sections.append((virtual_address, max(virtual_size, raw_size), raw_pointer))
        section_names.append((data[entry:entry + 8].rstrip(b"\0").decode("ascii"), raw_size))

    def file_offset(rva):
        for address, size, pointer in sections:
            if address <= rva < address + size:
                return rva - address + pointer
        raise WineLabError(f"RVA {rva:#x} outside every section of {path}")

    resources = {}
    if resource_rva:
        root = file_offset(resource_rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", data, root + directory + 12)
            for index in range(named + numbered):
                name, target = struct.unpack_from("<II", data, root + directory + 16 + 8 * index)
                yield name, target

        for type_id, type_target in entries(0):
            for name_id, name_target in entries(type_target & 0x7FFFFFFF):
                if (type_id | name_id) & 0x80000000:
                    continue  # named resources: the launcher has none
                _, leaf = next(entries(name_target & 0x7FFFFFFF))
                data_rva, size = struct.unpack_from("<II", data, root + leaf)
                start = file_offset(data_rva)
                resources[(type_id, name_id)] = data[start:start + size]
    def c_string(rva):
        start = file_offset(rva)
        return data[start:data.index(b"\0", start)].decode("ascii")

    imports = []
    # Import descriptors are 20 bytes with the name's RVA at 12; delay-load descriptors
    # are 32 bytes with it at 4. Both lists end with an all-zero entry.
    for table_rva, entry_size, name_at in ((import_rva, 20, 12), (delay_import_rva, 32, 4)):
        if not table_rva:
            continue
        entry = file_offset(table_rva)
        while any(data[entry:entry + entry_size]):
            imports.append(c_string(u32(entry + name_at)))
            entry += entry_size
    return PeImage(machine, subsystem, resources, imports, section_names, headers_size,
                   tls_directory)


# --- the stand-in installer's record -------------------------------------------------

@dataclasses.dataclass
class Start:
    command_line: str
    module_path: str


def read_url_record(unix_file):
    """The URL recorder's record: the URL of each start, in order; a line still being
    written is not yet one."""
    if not os.path.exists(unix_file):
        return []
    with open(unix_file, encoding="utf-8", newline="") as stream:
        return stream.read().split("\n")[:-1]


def read_record(unix_file):
    """The stand-in's record: one Start per run, in the order they happened."""
    if not os.path.exists(unix_file):
        return []
    with open(unix_file, encoding="utf-8") as stream:
        lines = stream.read().splitlines()
    if len(lines) % 2:
        raise WineLabError(f"torn record in {unix_file}: {lines!r}")
    return [Start(lines[i], lines[i + 1]) for i in range(0, len(lines), 2)]


def fnv1a_64(data):
    """The FNV-1a 64-bit hash the stand-in writes for STANDIN_RECORD_IMAGE."""
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value


def image_digest(data):
    """(size, FNV-1a 64 hash) of some bytes, as read_image_record gives them."""
    return len(data), fnv1a_64(data)


def read_image_record(unix_file):
    """The stand-in's STANDIN_RECORD_IMAGE record: one (size, hash) of the file it was
    started from per run, in the order they happened."""
    if not os.path.exists(unix_file):
        return []
    with open(unix_file, encoding="ascii") as stream:
        text = stream.read()
    if text and not text.endswith("\n"):
        raise WineLabError(f"torn image record in {unix_file}: {text!r}")
    return [(int(size), int(digest, 16))
            for size, digest in (line.split() for line in text.splitlines())]


# --- the desktop shell ----------------------------------------------------------------

def desktop_shell_running():
    """Whether this prefix's desktop shell (explorer.exe) runs. Wine starts it for the first
    program that needs a desktop, with that program's environment, and ends it a moment
    after the last one has gone."""
    wanted = f"WINEPREFIX={prefix()}".encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as stream:
                if b"explorer.exe" not in stream.read().lower():
                    continue
            with open(f"/proc/{entry}/environ", "rb") as stream:
                if wanted in stream.read().split(b"\0"):
                    return True
        except OSError:
            continue
    return False


def wait_for_desktop_shell_exit(timeout=30):
    deadline = time.monotonic() + timeout
    while desktop_shell_running():
        if time.monotonic() > deadline:
            raise WineLabError(f"the desktop shell still runs after {timeout} s")
        time.sleep(0.1)


# --- whether Wine can run the launcher here --------------------------------------------

# The exit status with which a test or the demo says "skipped" (CTest's SKIP_RETURN_CODE).
SKIPPED = 77


def unavailable_reason():
    """None when this machine's Wine can run 32-bit Windows programs; otherwise why not.

    Only a machine that cannot run them at all counts: a kernel without 32-bit x86 support
    (seen on some virtual machines) refuses Wine's 32-bit loader with "Exec format error".
    A missing Wine is not a reason to skip: the build requires it."""
    probe = _run([wine_program(), "--version"], 60)
    if probe.code != 0 and "Exec format error" in probe.stderr:
        return ("this machine's kernel does not run 32-bit x86 programs (Wine's 32-bit loader "
                "fails with \"Exec format error\"), so Wine cannot run wrapper.exe here")
    return None


def run_tests(names):
    """Runs unittest on the named test classes, or reports them skipped (SKIPPED) when this
    machine's Wine cannot run the launcher."""
    reason = unavailable_reason()
    if reason:
        print(f"skipped: {reason}")
        return SKIPPED
    program = unittest.main(module=None, argv=["winelab", "-v", *names], exit=False)
    return 0 if program.result.wasSuccessful() else 1


# --- prefix lifecycle -----------------------------------------------------------------

def setup(boot_timeout=240):
    """Creates a fresh prefix and leaves a persistent wineserver running for it."""
    for key in ("wrapper_exe", "standin_installer", "wrapper_pack"):
        location(key)
    root = prefix()
    if os.path.exists(root):
        if not os.path.exists(os.path.join(root, OWNERSHIP_MARK)):
            raise WineLabError(f"{root} exists and was not made by winelab; not touching it")
        _run([wineserver_program(), "-k"], 30)
        shutil.rmtree(root)
    os.makedirs(root)
    with open(os.path.join(root, OWNERSHIP_MARK), "w") as stream:
        stream.write("throwaway Wine prefix for the end-to-end tests\n")

    started = time.monotonic()
    boot = _run([wine_program(), "wineboot", "-i"], boot_timeout)
    if boot.code != 0:
        raise WineLabError(f"wineboot failed ({boot.code}):\n{boot.stderr}")
    # Let the first boot finish writing the registry before the server turns persistent.
    _run([wineserver_program(), "-w"], boot_timeout)
    _run([wineserver_program(), "-p"], 30)
    # A crashing program must end, not wait for a debugger: the test would hang instead
    # of failing.
    reg_add(AEDEBUG_KEY, "Auto", "0")
    print(f"prefix {root} ready in {time.monotonic() - started:.1f} s")


def cleanup():
    _run([wineserver_program(), "-k"], 60)
    print(f"wineserver for {prefix()} stopped")


def ensure_prefix():
    """For a direct run of a test module: set up the prefix unless a run already did."""
    if not os.path.exists(os.path.join(prefix(), "system.reg")):
        setup()
        return True
    # Cheap when the server is already up; restarts it after an earlier cleanup.
    _run([wineserver_program(), "-p"], 30)
    return False


class ModuleScope:
    """Set-up shared by every test module: the prefix (created, and stopped again, only
    when the module runs on its own) and an optional scratch folder removed afterwards.

    In a module: `_scope = winelab.ModuleScope("name-")`, then
    `setUpModule = _scope.set_up` and `tearDownModule = _scope.tear_down`."""

    def __init__(self, workspace_prefix=None):
        self._workspace_prefix = workspace_prefix
        self._created_prefix = False
        self.workspace = None

    def set_up(self):
        self._created_prefix = ensure_prefix()
        if self._workspace_prefix:
            self.workspace = tempfile.mkdtemp(prefix=self._workspace_prefix)

    def tear_down(self):
        if self.workspace:
            shutil.rmtree(self.workspace, ignore_errors=True)
        if self._created_prefix:
            cleanup()


class WineTestCase(unittest.TestCase):
    """The base of the Wine tests.

    Per class: a scratch folder, `work`, in the module's workspace (`scope`, the module's
    ModuleScope) and, unless `own_temp_folder` is false, a temporary folder of its own,
    `temp_windows` (`temp_unix` on this side), that TEMP and TMP name while the class runs.
    Per run of a package: `start_run`, which setUp calls, and which a test that runs
    packages in a loop calls at the top of each iteration: no installer left from an
    earlier run, and a fresh name for the stand-in's record, `record`."""

    scope = None
    own_temp_folder = True

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix=cls.__name__ + "-", dir=cls.scope.workspace)
        if cls.own_temp_folder:
            cls.temp_windows = f"C:\\users\\Public\\e2e\\{cls.__name__}"
            cls.temp_unix = unix_path(cls.temp_windows)
            shutil.rmtree(cls.temp_unix, ignore_errors=True)
            # Undone after the class, and also when the rest of a set-up fails.
            cls.enterClassContext(temp_folder(cls.temp_windows))

    def setUp(self):
        self.start_run()

    def start_run(self):
        if self.own_temp_folder:
            # A failed run may leave an installer behind; it must not fail the next.
            for name in leftover_temp_files(self.temp_unix):
                os.remove(os.path.join(self.temp_unix, name))
        self.record = os.path.join(self.work, f"record-{self._testMethodName}-{time.time_ns()}")


def main(argv):
    if len(argv) >= 3 and argv[1] == "test":
        return run_tests(argv[2:])
    commands = {"setup": setup, "cleanup": cleanup}
    if len(argv) != 2 or argv[1] not in commands:
        print(f"usage: {argv[0]} setup|cleanup|test CLASS...", file=sys.stderr)
        return 2
    try:
        if argv[1] == "setup":
            reason = unavailable_reason()
            if reason:
                print(f"skipped: {reason}")
                return SKIPPED
        commands[argv[1]]()
    except WineLabError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
