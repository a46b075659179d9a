#!/usr/bin/env python3
"""End-to-end tests of the launcher's reliability under Wine: damaged packages and two
launches that draw the same temporary name. See winelab.py for the environment they need.

CorruptedPackageTests runs a hundred seeded variants of one good package (cut short,
PayloadSize bits flipped, marker damaged, bytes appended, and mixtures of those). For
each one wrapper-inspect, which reads with the launcher's own code, says what the launcher
makes of it, and the run is checked against that: result code, no file left in the
temporary folder, and the stand-in started only from a complete copy of the payload the
report names. WRAPPER_FAULT_SEED picks another seed for exploring; the seed is printed.
"""

import dataclasses
import math
import os
import random
import sys
import time
import unittest

import winelab
from winelab import MARKER_SIZE, TRAILER_SIZE, ResultCode

MARKER = winelab.marker()

PAYLOAD_SIZE_LENGTH = 8
FIELDS_END = TRAILER_SIZE - MARKER_SIZE  # where the marker starts, from the trailer's start
# The launcher reads its own file backwards in blocks of this many bytes.
LOCATOR_BLOCK_SIZE = 64 * 1024

SEED = 0x5EEDFA17
VARIANT_COUNT = 100
# Per run: a launch takes well under a second, so this only catches a hang.
RUN_TIME_LIMIT = 20

_scope = winelab.ModuleScope("wrapper-e2e-faults-")
setUpModule = _scope.set_up
tearDownModule = _scope.tear_down


def log(text):
    print(text, file=sys.stderr, flush=True)


# --- what the launcher makes of a package's bytes -------------------------------------

@dataclasses.dataclass
class Expected:
    code: int
    # The launcher image itself is cut short, so the system may refuse to start the file
    # at all; if it does start, the launcher finds no marker.
    may_be_refused: bool
    # For code 0: the bytes the launcher copies out and starts.
    copy: bytes = b""
    # True: the stand-in must run once; False: nothing may run; None: the copy is some
    # other executable image, which may or may not start.
    installs: bool = False


def expected_result(path, data, launcher_size, standin):
    """The result of running the package `data` written at `path`, as wrapper-inspect
    reports it (launcherResult, and the payload's place for 0)."""
    may_be_refused = len(data) < launcher_size
    report = winelab.inspect(path)
    code = report["launcherResult"]["code"]
    if code != ResultCode.SUCCESS:
        return Expected(code, may_be_refused)
    payload = report["layout"]["payload"]
    copy = data[payload["offset"]:payload["offset"] + payload["size"]]
    installs = True if copy == standin else (None if copy[:2] == b"MZ" else False)
    return Expected(ResultCode.SUCCESS, may_be_refused, copy, installs)


class Layout:
    """The good package the variants come from, and its regions."""

    def __init__(self, package, launcher_size, standin):
        self.package = package
        self.standin = standin
        self.image = launcher_size                  # launcher image: [0, image)
        self.trailer = launcher_size + len(standin)  # payload: [image, trailer)
        self.marker = self.trailer + FIELDS_END      # trailer: [trailer, end)
        self.end = self.trailer + TRAILER_SIZE
        self.payload_size = len(standin)
        assert len(package) == self.end and package[self.image:self.trailer] == standin


# --- the variants ---------------------------------------------------------------------

@dataclasses.dataclass
class Variant:
    index: int
    kind: str
    change: str  # what was done to the good package's bytes, enough to redo it
    data: bytes


def near_miss(rng, position=None):
    """The marker with one byte changed."""
    position = rng.randrange(MARKER_SIZE) if position is None else position
    damaged = bytearray(MARKER)
    damaged[position] = rng.choice([b for b in range(256) if b != MARKER[position]])
    return bytes(damaged), position


def garbage(rng, size):
    """Random bytes that do not hold the marker (which they practically never would)."""
    data = rng.randbytes(size)
    while MARKER in data:
        data = rng.randbytes(size)
    return data


def log_uniform(rng, low, high):
    return int(math.exp(rng.uniform(math.log(low), math.log(high))))


def damage_marker(rng, data, marker_start):
    damaged, position = near_miss(rng)
    data = bytearray(data)
    data[marker_start:marker_start + MARKER_SIZE] = damaged
    return bytes(data), (f"marker byte {position} (offset {marker_start + position}) "
                         f"{MARKER[position]:#04x} -> {damaged[position]:#04x}")


def append_garbage(rng, data, size, keep=None):
    """`data` with `size` random bytes appended, of which only the first `keep` stay when
    given; returns the bytes and what was done."""
    tail = garbage(rng, size)
    if keep is None:
        return data + tail, f"{size} random bytes appended"
    return data + tail[:keep], (f"{size} random bytes appended, then the first "
                                f"{len(data) + keep} bytes kept ({keep} after the marker)")


def flip_payload_size(data, trailer, bits):
    data = bytearray(data)
    for bit in bits:
        data[trailer + bit // 8] ^= 1 << (bit % 8)
    value = int.from_bytes(data[trailer:trailer + PAYLOAD_SIZE_LENGTH], "little")
    return bytes(data), f"PayloadSize bit(s) {', '.join(map(str, bits))} flipped -> {value}"


def make_variants(layout, rng):
    """VARIANT_COUNT variants of the good package, the same ones for the same seed and
    the same launcher and stand-in builds."""
    good = layout.package
    variants = []

    def add(kind, change, data):
        variants.append(Variant(len(variants), kind, change, bytes(data)))

    # Cut short: in the launcher image (mostly not even a program any more), in the
    # payload, in the trailer's fields and in the marker; and in bytes after the marker,
    # which keeps the whole package.
    add("cut", "first 31 bytes kept: shorter than the marker", good[:31])
    add("cut", f"first {layout.marker} bytes kept: marker gone exactly", good[:layout.marker])
    add("cut", f"first {layout.end - 1} bytes kept: last marker byte gone", good[:layout.end - 1])
    cut_regions = [("launcher image", 64, layout.image - 1024, 3),
                   ("launcher image's last section", layout.image - 1024, layout.image, 3),
                   ("payload", layout.image, layout.trailer, 7),
                   ("trailer fields", layout.trailer, layout.marker, 6),
                   ("marker", layout.marker + 1, layout.end - 1, 3)]
    for region, low, high, count in cut_regions:
        for _ in range(count):
            length = rng.randrange(low, high)
            add("cut", f"cut in the {region}: first {length} bytes kept", good[:length])
    for _ in range(6):
        size = log_uniform(rng, 1, 20000)
        add("cut", *reversed(append_garbage(rng, good, size, rng.randrange(size))))

    # PayloadSize bits flipped: low bits mostly still fit in the file, high bits reach
    # before its start.
    flips = ([[bit] for bit in rng.sample(range(0, 20), 11)]
             + [[bit] for bit in rng.sample(range(20, 64), 10)]
             + [sorted(rng.sample(range(0, 64), 2)) for _ in range(3)])
    for bits in flips:
        add("PayloadSize", *reversed(flip_payload_size(good, layout.trailer, bits)))

    # The marker damaged in one byte.
    for _ in range(15):
        data, change = damage_marker(rng, good, layout.marker)
        add("marker", change, data)

    # Bytes after the marker.
    for _ in range(8):
        tail = garbage(rng, log_uniform(rng, 1, 200000))
        add("trailing", f"{len(tail)} random bytes appended", good + tail)
    size = rng.randrange(LOCATOR_BLOCK_SIZE - MARKER_SIZE + 2, LOCATOR_BLOCK_SIZE + 1)
    add("trailing", f"{size} random bytes appended: the marker straddles the scan's first "
                    "block boundary", good + garbage(rng, size))
    for _ in range(3):
        miss, position = near_miss(rng)
        before, after = garbage(rng, rng.randrange(0, 5000)), garbage(rng, rng.randrange(0, 5000))
        add("trailing", f"{len(before)} random bytes, the marker with byte {position} changed, "
                        f"{len(after)} random bytes appended", good + before + miss + after)
    add("trailing", "the marker's first 31 bytes appended", good + MARKER[:-1])
    before = garbage(rng, rng.randrange(1, 3000))
    add("trailing", f"{len(before)} random bytes and the marker's first 31 bytes appended",
        good + before + MARKER[:-1])
    add("trailing", "the marker's last 31 bytes appended", good + MARKER[1:])
    misses = b"".join(near_miss(rng, position)[0] + b"\0" for position in range(MARKER_SIZE))
    add("trailing", "the marker with each of its bytes changed in turn appended, "
                    "33 bytes apiece", good + misses)
    # A near miss across the boundary between the scan's first and second block.
    miss, position = near_miss(rng)
    tail_size = LOCATOR_BLOCK_SIZE + 5000
    boundary = layout.end + tail_size - 1 - LOCATOR_BLOCK_SIZE  # in the final file
    at = boundary - rng.randrange(1, MARKER_SIZE) - layout.end    # in the tail
    tail = bytearray(garbage(rng, tail_size))
    tail[at:at + MARKER_SIZE] = miss
    add("trailing", f"{tail_size} random bytes appended, the marker with byte {position} "
                    f"changed across the scan's block boundary at tail offset {at}",
        good + bytes(tail))

    # Mixtures.
    def mix(first, then_append, keep=False):
        data, change = first()
        size = log_uniform(rng, 1, 50000)
        data, appended = then_append(data, size, rng.randrange(size) if keep else None)
        add("mixed", f"{change}; {appended}", data)

    def damaged():
        return damage_marker(rng, good, layout.marker)

    def low_bit_flipped():  # PayloadSize still within the file
        return flip_payload_size(good, layout.trailer, [rng.randrange(0, 16)])

    def high_bit_flipped():
        return flip_payload_size(good, layout.trailer, [rng.randrange(40, 64)])

    def random_bytes(data, size, keep):
        return append_garbage(rng, data, size, keep)

    def a_near_miss(data, _size, _keep):
        miss, position = near_miss(rng)
        return data + miss, f"the marker with byte {position} changed appended"

    for first, then_append, keep in ((damaged, random_bytes, False),
                                     (damaged, random_bytes, False),
                                     (damaged, a_near_miss, False),
                                     (damaged, random_bytes, True),
                                     (low_bit_flipped, random_bytes, False),
                                     (low_bit_flipped, random_bytes, False),
                                     (high_bit_flipped, random_bytes, False),
                                     (low_bit_flipped, random_bytes, True)):
        mix(first, then_append, keep)
    # A second trailer after the first, as a package built around a package ends: the
    # later one counts.
    tail = garbage(rng, rng.randrange(0, 3000))
    second = bytearray(good[layout.trailer:layout.end])
    reach = len(good) + len(tail) - layout.image
    second[:PAYLOAD_SIZE_LENGTH] = reach.to_bytes(PAYLOAD_SIZE_LENGTH, "little")
    add("mixed", f"{len(tail)} random bytes and a second trailer with PayloadSize {reach} "
                 "(from the payload's start) appended", good + tail + second)
    tail = garbage(rng, rng.randrange(0, 3000))
    add("mixed", f"{len(tail)} random bytes and a copy of the trailer appended",
        good + tail + good[layout.trailer:layout.end])
    # Bytes lost from or added inside the payload, trailer intact.
    start = rng.randrange(layout.image, layout.trailer - 4096)
    count = rng.randrange(1, 4096)
    add("mixed", f"{count} payload bytes removed at offset {start}",
        good[:start] + good[start + count:])
    start = rng.randrange(layout.image, layout.trailer)
    inserted = garbage(rng, rng.randrange(1, 4096))
    add("mixed", f"{len(inserted)} random bytes inserted into the payload at offset {start}",
        good[:start] + inserted + good[start:])
    # One payload bit flipped: the copy is whole but not the stand-in any more.
    bit = rng.randrange(8 * (layout.payload_size - 2)) + 16
    data = bytearray(good)
    data[layout.image + bit // 8] ^= 1 << (bit % 8)
    add("mixed", f"payload bit {bit} (offset {layout.image + bit // 8}) flipped", data)

    assert len(variants) == VARIANT_COUNT, len(variants)
    return variants


# --- the tests ------------------------------------------------------------------------

class FaultTestCase(winelab.WineTestCase):
    """A fresh temporary folder (TEMP and TMP) and scratch folder for each class."""

    scope = _scope

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.package_path = winelab.pack(os.path.join(cls.work, "setup.exe"),
                                        winelab.standin_installer())

    def temp_files(self):
        return sorted(os.listdir(self.temp_unix))

    def clear_temp(self):
        for name in self.temp_files():
            os.remove(os.path.join(self.temp_unix, name))

    def records(self, name):
        """Record files for one run: the stand-in's start record, its image record, and
        the environment that switches both on."""
        record = os.path.join(self.work, f"record-{name}")
        image = os.path.join(self.work, f"image-{name}")
        env = {"STANDIN_RECORD": winelab.windows_path(record),
               "STANDIN_RECORD_IMAGE": winelab.windows_path(image)}
        return record, image, env

    def started_from_temp(self, start, seconds):
        """The stand-in ran from "<temp dir>\\Zorvik<N>.exe" with N drawn for one of
        the seconds the launch ran in (paths compared as the system compares them)."""
        def canonical(path):
            return os.path.normpath(path.replace("\\", "/")).lower()
        directory = winelab.temp_path_as_system_returns(self.temp_windows)
        names = {canonical(directory + winelab.temp_name(second)) for second in seconds}
        return canonical(start.module_path) in names


class CorruptedPackageTests(FaultTestCase):
    """Damaged packages: whatever the damage, the launcher ends within the time limit with
    one of its result codes, the one wrapper-inspect reports, leaves nothing in the temporary
    folder, and starts the installer only from a complete copy of the payload."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(cls.package_path, "rb") as stream:
            package = stream.read()
        with open(winelab.standin_installer(), "rb") as stream:
            standin = stream.read()
        cls.launcher_size = os.path.getsize(winelab.wrapper_exe())
        cls.layout = Layout(package, cls.launcher_size, standin)
        cls.seed = int(os.environ.get("WRAPPER_FAULT_SEED", "0"), 0) or SEED
        cls.variants = make_variants(cls.layout, random.Random(cls.seed))
        cls.standin_image = winelab.image_digest(standin)

    def image_of(self, copy):
        if copy == self.layout.standin:
            return self.standin_image
        return winelab.image_digest(copy)

    def run_variant(self, variant, seen):
        """Runs one variant and checks it. Puts its outcome (the exit code, "refused by
        the system" or "hang") into seen["outcome"] before any check can fail, and the
        number of installer starts into seen["starts"]."""
        path = os.path.join(self.work, f"variant-{variant.index:03}.exe")
        with open(path, "wb") as stream:
            stream.write(variant.data)
        record, image, env = self.records(f"{variant.index:03}")
        expected = expected_result(path, variant.data, self.launcher_size, self.layout.standin)
        first = int(time.time())
        try:
            outcome = winelab.run_package(path, timeout=RUN_TIME_LIMIT, env=env)
        except winelab.WineTimeout as timeout:
            seen["outcome"] = "hang"
            self.clear_temp()
            self.fail(f"hung, killed after {RUN_TIME_LIMIT} s: {timeout}")
        seen["outcome"] = "refused by the system" if outcome.refused else outcome.code
        seconds = range(first, int(time.time()) + 1)
        left = self.temp_files()
        self.clear_temp()  # so a leftover cannot take the next variant's name

        self.assertFalse(outcome.crashed, f"crashed:\n{outcome.stderr}")
        starts, images = winelab.read_record(record), winelab.read_image_record(image)
        seen["starts"] = len(starts)
        self.assertEqual(left, [], "files left in the temporary folder")
        if outcome.refused:
            self.assertTrue(expected.may_be_refused,
                            f"the system refused to start it: {outcome.stdout}{outcome.stderr}")
            self.assertEqual(starts, [])
            return
        self.assertIn(outcome.code, set(ResultCode), "not one of the launcher's result codes")
        self.assertEqual(outcome.code, expected.code, "result code")
        installs = expected.installs
        if installs is not None:
            self.assertEqual(len(starts), int(installs), f"installer starts: {starts}")
        self.assertEqual(len(images), len(starts), "start and image records disagree")
        for start in starts:
            self.assertTrue(self.started_from_temp(start, seconds),
                            f"ran from {start.module_path}")
        if images:
            self.assertEqual(images, [self.image_of(expected.copy)] * len(images),
                             "the installer ran from other bytes than the payload")

    def test_every_damage_ends_in_a_result_code_and_a_clean_temp_folder(self):
        log(f"\ncorrupted packages: seed {self.seed:#x}, {len(self.variants)} variants of a "
            f"{len(self.layout.package)}-byte package (launcher {self.layout.image}, "
            f"payload {self.layout.payload_size}); WRAPPER_FAULT_SEED=<n> picks another seed")
        table, by_kind, installed = {}, {}, 0
        started = time.monotonic()
        for variant in self.variants:
            seen = {"outcome": "not run", "starts": 0}
            with self.subTest(index=variant.index, kind=variant.kind, change=variant.change,
                              seed=hex(self.seed)):
                self.run_variant(variant, seen)
            table[seen["outcome"]] = table.get(seen["outcome"], 0) + 1
            kind = by_kind.setdefault(variant.kind, {})
            kind[seen["outcome"]] = kind.get(seen["outcome"], 0) + 1
            installed += seen["starts"] > 0
        elapsed = time.monotonic() - started

        def counts(table):
            def order(key):
                return (0, key, "") if isinstance(key, int) else (1, 0, key)
            return ", ".join(f"{key}: {table[key]}" for key in sorted(table, key=order))
        log(f"outcome table: {counts(table)}  ({len(self.variants)} variants in {elapsed:.1f} s, "
            f"seed {self.seed:#x}, installer started in {installed})")
        log("outcomes by kind: " + "; ".join(f"{kind} {{{counts(by_kind[kind])}}}"
                                             for kind in by_kind))


class SameSecondLaunchTests(FaultTestCase):
    """Two launches of one package in the same second draw the same temporary name. The
    second finds the first's installer there: it ends with 15 and leaves that file alone,
    and the first finishes normally."""

    ATTEMPTS = 3
    INSTALLER_MS = 3000

    def attempt(self, number):
        """One try; returns None when both launches drew their name in the same second,
        else why the try proves nothing."""
        self.clear_temp()
        record1, image1, env1 = self.records(f"first-{number}")
        record2, image2, env2 = self.records(f"second-{number}")
        env1["STANDIN_SLEEP_MS"] = str(self.INSTALLER_MS)
        with open(winelab.standin_installer(), "rb") as stream:
            standin = stream.read()

        second = winelab.wait_for_next_second()
        expected_path = os.path.join(self.temp_unix, winelab.temp_name(second))
        first_run = winelab.start_package(self.package_path, env=env1)
        try:
            # The first's installer is running once its start is recorded: its file is
            # complete by then.
            deadline = time.monotonic() + 10
            while not winelab.read_record(record1) and first_run.running() \
                    and time.monotonic() < deadline:
                time.sleep(0.01)
            starts = winelab.read_record(record1)
            self.assertEqual(len(starts), 1, "the first launch's installer did not start")
            name = starts[0].module_path.rsplit("\\", 1)[-1]
            if name.lower() != winelab.temp_name(second).lower():
                return f"the first launch drew {name}, not the name of second {second}"
            before = (os.path.getsize(expected_path), os.stat(expected_path).st_mtime_ns)
            launched = time.time()
            if launched >= second + 1:
                return f"the second launch would start {launched - second:.3f} s into the second"
            outcome2 = winelab.run_package(self.package_path, timeout=RUN_TIME_LIMIT, env=env2)
            ended = time.time()
            if ended >= second + 1:
                return f"the second launch ended {ended - second:.3f} s into the second"
            log(f"\nsame second {second}: first installer running as {name}, second launch "
                f"ran {launched - second:.3f} s to {ended - second:.3f} s into the second")

            self.assertFalse(outcome2.crashed, outcome2.stderr)
            self.assertEqual(outcome2.code, ResultCode.SCAN_SEEK_OR_CREATE_FAILED)
            self.assertEqual(winelab.read_record(record2), [], "the second launch started something")
            self.assertEqual(winelab.read_image_record(image2), [])
            self.assertTrue(first_run.running(), "the first launch ended too early to prove anything")
            self.assertEqual(self.temp_files(), [winelab.temp_name(second)])
            with open(expected_path, "rb") as stream:
                self.assertTrue(stream.read() == standin, "the first launch's installer was changed")
            self.assertEqual((os.path.getsize(expected_path), os.stat(expected_path).st_mtime_ns),
                             before, "the first launch's installer was touched")
        finally:
            outcome1 = first_run.wait(RUN_TIME_LIMIT + self.INSTALLER_MS / 1000)

        self.assertFalse(outcome1.crashed, outcome1.stderr)
        self.assertEqual(outcome1.code, ResultCode.SUCCESS)
        self.assertGreaterEqual(outcome1.seconds, self.INSTALLER_MS / 1000)
        self.assertEqual(len(winelab.read_record(record1)), 1, "the first installer ran again")
        self.assertEqual(winelab.read_image_record(image1), [winelab.image_digest(standin)])
        self.assertEqual(winelab.read_record(record2), [])
        self.assertFalse(os.path.exists(expected_path), "the first launch's installer was not deleted")
        self.assertEqual(self.temp_files(), [])
        return None

    def test_second_launch_in_the_same_second_leaves_the_first_installer_alone(self):
        misses = []
        for number in range(1, self.ATTEMPTS + 1):
            miss = self.attempt(number)
            if miss is None:
                return
            log(f"\nattempt {number}: {miss}; trying again")
            misses.append(miss)
        self.fail(f"no attempt got both launches into one second: {misses}")


if __name__ == "__main__":
    unittest.main()
