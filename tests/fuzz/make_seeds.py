#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into corpus/<target>/.

Small packages laid out as the package format says (a fake launcher image of a few hundred
bytes, a small payload, the trailer, sometimes a signature-like tail), plus edge cases the
launcher must refuse with a particular result code. Run it again after a format change:

    python3 tests/fuzz/make_seeds.py

It removes only the seed-* files it writes; other files in the corpus (inputs merged in by
scripts/fuzz --merge, reproducers of findings) stay.
"""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
MARKER = b"E28MB613F95C4abeB74D1E30C867A9F2"
FIELD_SIZE = 260
TRAILER_SIZE = 1080


def pe_image(size, filler, certificate=(0, 0)):
    """A Windows executable's headers, as far as the tools read them, padded to `size`."""
    lfanew = 0x40
    image = bytearray(b"MZ" + bytes(lfanew - 2))
    struct.pack_into("<I", image, 0x3C, lfanew)
    optional_size = 136  # just up to the certificate table's entry
    coff = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, optional_size, 0x102)
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, 0x10B)       # PE32
    struct.pack_into("<I", optional, 92, 16)         # NumberOfRvaAndSizes
    struct.pack_into("<II", optional, 96 + 4 * 8, *certificate)  # entry 4: certificate table
    image += b"PE\0\0" + coff + optional
    image += bytes([filler]) * (size - len(image))
    return bytes(image)


def field(text):
    data = text.encode("latin-1") if isinstance(text, str) else text
    return data[:FIELD_SIZE].ljust(FIELD_SIZE, b"\0")


def trailer(payload_size, fields):
    return struct.pack("<Q", payload_size) + b"".join(field(f) for f in fields) + MARKER


FIELDS = ["https://example.com/go?%1", "utm_source=fuzz",
          "https://example.com%1/welcome?", "https://example.com%1/goodbye?"]
LAUNCHER = pe_image(256, 0xCC)
PAYLOAD = b"MZ" + bytes(range(62))


def package(launcher=LAUNCHER, payload=PAYLOAD, fields=FIELDS, size=None, after=b""):
    return launcher + payload + trailer(len(payload) if size is None else size, fields) + after


def signed_package(slipped=b""):
    """The signature after the marker, where the launcher image's header says it is. Bytes
    `slipped` into the table after signing grow it and its header entry."""
    body_end = len(LAUNCHER) + len(PAYLOAD) + TRAILER_SIZE
    offset = (body_end + 7) // 8 * 8
    table = struct.pack("<IHH", 72 + len(slipped), 0x200, 2) + bytes(range(64)) + slipped
    launcher = pe_image(len(LAUNCHER), 0xCC, (offset, len(table)))
    return package(launcher=launcher, after=bytes(offset - body_end) + table)


def version_node(key, value=b"", text=False, value_length=0, children=()):
    """One node of a version resource: length, value length, type, key, value, children."""
    node = bytearray(6) + (key + "\0").encode("utf-16-le")
    node += bytes(-len(node) % 4) + value
    for child in children:
        node += bytes(-len(node) % 4) + child
    struct.pack_into("<HHH", node, 0, len(node), value_length, 1 if text else 0)
    return bytes(node)


def version_resource(product, version):
    def string(key, value):
        return version_node(key, (value + "\0").encode("utf-16-le"), True, len(value) + 1)
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x10002, 0x30004, *([0] * 9))
    table = version_node("040904B0", text=True, children=[
        string("ProductName", product), string("ProductVersion", version)])
    return version_node("VS_VERSION_INFO", fixed, False, len(fixed),
                        [version_node("StringFileInfo", text=True, children=[table])])


def versioned_launcher(product="wrapper", version="0.1.0"):
    """An executable with one section, .rsrc, holding an RT_VERSION resource: the tree of
    three one-entry directories, the data entry, the data."""
    lfanew, optional_size, raw = 0x40, 136, 0x200
    data = version_resource(product, version)
    tree = bytearray(0x58)
    for at, entry, target in ((0x00, 16, 0x80000018), (0x18, 1, 0x80000030), (0x30, 0x409, 0x48)):
        struct.pack_into("<HII", tree, at + 14, 1, entry, target)
    struct.pack_into("<II", tree, 0x48, 0x1000 + 0x58, len(data))
    section = bytes(tree) + data
    image = bytearray(b"MZ" + bytes(lfanew - 2))
    struct.pack_into("<I", image, 0x3C, lfanew)
    image += b"PE\0\0" + struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, optional_size, 0x102)
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, 0x10B)
    struct.pack_into("<I", optional, 92, 16)
    struct.pack_into("<II", optional, 96 + 2 * 8, 0x1000, len(section))  # entry 2: resources
    image += optional + b".rsrc\0\0\0" + struct.pack("<IIIIIIHHI", len(section), 0x1000,
                                                      len(section), raw, 0, 0, 0, 0, 0x40000040)
    return bytes(image.ljust(raw, b"\0")) + section


def packages():
    unterminated = ["A" * 258 + "%1", "%1" + "b" * 258, "%" + "c" * 259, "1" * 260]
    return {
        "plain": package(),
        "signed": signed_package(),
        # A second payload and trailer in the certificate table, which the launcher ignores.
        "marker-in-certificate-table": signed_package(
            slipped=b"MZ slipped" + trailer(10, ["https://elsewhere%1"] * 4)),
        "versioned": package(launcher=versioned_launcher(),
                             payload=versioned_launcher("Setup", "1.0")),
        "trailing-bytes": package(after=b"not a certificate table" * 3),
        "nested": package(launcher=package(payload=b"MZ inner"), payload=b"MZ outer"),
        "unterminated-fields": package(fields=unterminated),
        "payload-too-large": package(size=len(LAUNCHER) + len(PAYLOAD) + 1),
        "payload-empty": package(payload=b""),
        "no-marker": LAUNCHER + PAYLOAD,
        "empty": b"",
        "shorter-than-marker": MARKER[:31],
        "marker-only": MARKER,
        "no-room-for-fields": bytes(1000) + MARKER,          # marker ends before 1072
        "no-room-for-payload-size": bytes(1045) + MARKER,    # marker ends at 1077
    }


# package_fuzz: byte 0 the knobs, byte 1 the clock, then the package.
# The plain package once with no knobs, once with a hand-off on a UTF-8 machine whose
# temporary name is taken, and once with a short read; the fuzzer varies the rest.
# The nested package once with its first read failing: the locator must not then take
# the inner package's trailer.
PACKAGE_KNOBS = {"plain": [0x00, 0x0D, 0xB4], "signed": [0x04], "unterminated-fields": [0x0C],
                 "nested": [0x00, 0x10], "marker-in-certificate-table": [0x04, 0x30]}
SKIPPED_FOR_PACKAGE = {"trailing-bytes"}


def handoff_seeds():
    """handoff_fuzz: byte 0 the knobs, 1040 bytes of fields, the LANGUAGE value."""
    def seed(knobs, fields, language):
        return bytes([knobs]) + b"".join(field(f) for f in fields) + language
    high = ["https://example.com/\xe9%1", "q=\xff\xfe", "https://\xe4.example%1/p?\x80", "%1%1%1"]
    edges = ["%1", "%1x%1", "https://x%1", "%1https://x"]
    return {
        "plain-de": seed(0x00, FIELDS, b"lang\\de.ini"),
        "utf8-longest-dir-fr": seed(0x01 | 2 << 1, FIELDS, b"lang\\fr.ini"),
        "utf8-two-byte-dir-jp": seed(0x01 | 1 << 1, high, b"x\\jp.txt"),
        "unterminated-fields": seed(3 << 1, ["A" * 258 + "%1", "%1" + "b" * 258,
                                             "c" * 259 + "%", "1" + "d" * 259], b"lang\\jp"),
        "split-edges": seed(7 << 1, edges, b"\\\\de.ini"),
        "no-cfg": seed(0x10, FIELDS, b""),
        "empty-dir": seed(4 << 1, FIELDS, b"lang\\de.ini"),
        "too-long-dir": seed(6 << 1, FIELDS, b"lang\\de.ini"),
        "short": bytes([0x00]) + b"https://x%1",
    }


def der(tag, content):
    """One DER element with a minimal definite length."""
    n = len(content)
    if n < 0x80:
        head = bytes([n])
    else:
        size = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([0x80 | len(size)]) + size
    return bytes([tag]) + head + content


SLOT_TYPE = bytes([0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0xCF, 0x29, 0x01, 0x02, 0x01])
SIGNED_DATA = bytes([0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02])


def slot_content(area=b"", size=96):
    content = bytearray(size)
    content[:16] = b"---BEGIN_BLOB---"
    content[16:16 + len(area)] = area
    content[size - 15:size - 1] = b"---END_BLOB---"
    return bytes(content)


def certificate_table(attributes, padding=b""):
    """A signature shaped as signing tools write it, in one certificate entry."""
    signer = (der(0x02, b"\x01") + der(0x30, der(0x02, b"\x07")) + der(0x30, b"")
              + der(0xA0, b"") + der(0x30, b"") + der(0x04, b"sig")
              + (der(0xA1, b"".join(attributes)) if attributes is not None else b""))
    signed_data = (der(0x02, b"\x01") + der(0x31, b"") + der(0x30, b"") + der(0xA0, b"c" * 40)
                   + der(0x31, der(0x30, signer)))
    body = der(0x30, der(0x06, SIGNED_DATA) + der(0xA0, der(0x30, signed_data))) + padding
    table = struct.pack("<IHH", 8 + len(body), 0x0200, 2) + body
    return table + bytes(-len(table) % 8)


def stamp_seeds():
    def slot(content):
        return der(0x30, der(0x06, SLOT_TYPE) + der(0x31, der(0x0C, content)))

    other = der(0x30, der(0x06, b"\x2B\x06") + der(0x31, der(0x05, b"")))
    return {
        "unstamped": certificate_table([slot(slot_content())]),
        "stamped": certificate_table([slot(slot_content(b"wrapper-campaign:utm=a%20b&x.y=1"))]),
        "stamped-invalid": certificate_table([slot(slot_content(b"wrapper-campaign:utm=a b"))]),
        "second-slot": certificate_table([other, slot(slot_content()), slot(slot_content())]),
        "no-slot": certificate_table([other]),
        "no-unsigned-attributes": certificate_table(None),
        "padding": certificate_table([slot(slot_content())], b"\0x"),
        "long-length": certificate_table([slot(slot_content(size=300))]),
        "area-only": b"wrapper-campaign:a=1&b=%7e&a.b-c=~" + bytes(8),
    }


def write(target, seeds):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.glob("seed-*"):
        old.unlink()
    for name, data in seeds.items():
        (folder / f"seed-{name}").write_bytes(data)
    total = sum(len(d) for d in seeds.values())
    print(f"{target}: {len(seeds)} seeds, {total} bytes")


def main():
    all_packages = packages()
    write("inspect_fuzz", all_packages)
    package_seeds = {}
    for name, data in all_packages.items():
        if name in SKIPPED_FOR_PACKAGE:
            continue
        for knobs in PACKAGE_KNOBS.get(name, [0x00]):
            package_seeds[f"{name}-{knobs:02x}"] = bytes([knobs, 0x2A]) + data
    write("package_fuzz", package_seeds)
    write("handoff_fuzz", handoff_seeds())
    write("stamp_fuzz", stamp_seeds())


if __name__ == "__main__":
    main()
