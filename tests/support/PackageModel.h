#pragma once

// The package format as the C++ tests, the fuzz targets and the benchmarks know it. It
// builds packages in memory: trailer fields from text, the marker, a launcher image as far
// as the locator reads it, and whole packages, signed or not. And it says, straight from the
// format, where the launcher must find a package's parts (ExpectRead).

#include "ResultCode.h"
#include "package/PackageTrailer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace wrapper::testing {

using Bytes = std::vector<std::uint8_t>;

// The fields from text, in trailer order, each copied up to the whole field (so a 260-byte
// text leaves no terminator).
inline package::TrailerFields MakeFields(const std::string (&texts)[package::kFieldCount]) {
    package::TrailerFields fields = {};
    for (std::uint32_t i = 0; i < package::kFieldCount; ++i) {
        std::copy_n(texts[i].begin(), std::min<std::size_t>(texts[i].size(), package::kFieldSize),
                    fields.bytes[i]);
    }
    return fields;
}
inline package::TrailerFields MakeFields(const std::string& link, const std::string& campaign,
                                         const std::string& landing, const std::string& uninstall) {
    return MakeFields({link, campaign, landing, uninstall});
}

// Where the locator finds a signature's table in LauncherImage: entry 4 of the PE32
// optional header's data directory (offset, then size, 32 bits each, little-endian).
inline constexpr std::size_t kPeOffset = 0x40;
inline constexpr std::size_t kCertificateEntry = kPeOffset + 4 + 20 + 96 + 4 * 8;

inline void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A launcher image as far as the locator reads it: "MZ" with e_lfanew 0x40, "PE\0\0", a
// file header and a PE32 optional header of 224 bytes with 16 directory entries, all
// empty; filler up to `size`.
inline std::vector<std::uint8_t> LauncherImage(std::size_t size = 4096) {
    std::vector<std::uint8_t> image(size, 0x4d);
    std::fill_n(image.begin(), kCertificateEntry + 16 * 8, 0);
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3C, kPeOffset);
    image[kPeOffset] = 'P';
    image[kPeOffset + 1] = 'E';
    const std::size_t optional = kPeOffset + 4 + 20;
    image[kPeOffset + 4 + 16] = 224;   // SizeOfOptionalHeader
    image[optional] = 0x0B;            // PE32
    image[optional + 1] = 0x01;
    image[optional + 92] = 16;         // NumberOfRvaAndSizes
    return image;
}

// Signs a package built around LauncherImage as signing tools do: `padding` zero bytes to
// an 8-byte boundary, then the certificate table of `tableSize` bytes of `fill` at the end,
// named in the image's header.
inline void Sign(std::vector<std::uint8_t>& package, std::size_t padding,
                 std::size_t tableSize = 1500, std::uint8_t fill = 0x30) {
    const std::size_t offset = package.size() + padding;
    Put32(package, kCertificateEntry, static_cast<std::uint32_t>(offset));
    Put32(package, kCertificateEntry + 4, static_cast<std::uint32_t>(tableSize));
    package.resize(offset, 0);
    package.resize(offset + tableSize, fill);
}

// The parts of a package, laid out by BuildPackage: launcher, payload, trailer, `after`.
// The defaults are the smallest the launcher's code accepts; the tool tests start from a
// launcher the tools accept instead.
struct PackageParts {
    std::vector<std::uint8_t> launcher = LauncherImage();
    std::vector<std::uint8_t> payload = {'M', 'Z', 1, 2, 3};
    std::string fields[package::kFieldCount] = {"https://link/%1/x?", "k=v", "https://land%1/p?",
                                                "https://un%1/u?"};
    std::optional<std::uint64_t> payloadSize;  // the real size when not set
    std::vector<std::uint8_t> after;           // bytes after the trailer (a signature)
};

inline std::vector<std::uint8_t> Marker() {
    unsigned char marker[package::kMarkerSize];
    package::BuildTrailerMarker(marker);
    return {marker, marker + package::kMarkerSize};
}

inline std::vector<std::uint8_t> BuildPackage(const PackageParts& parts) {
    std::vector<std::uint8_t> bytes = parts.launcher;
    bytes.insert(bytes.end(), parts.payload.begin(), parts.payload.end());
    const package::TrailerFields fields = MakeFields(parts.fields);
    unsigned char trailer[package::kTrailerSize];
    package::EncodeTrailer(parts.payloadSize.value_or(parts.payload.size()), fields, trailer);
    bytes.insert(bytes.end(), trailer, trailer + package::kTrailerSize);
    bytes.insert(bytes.end(), parts.after.begin(), parts.after.end());
    return bytes;
}

// What a correct launcher makes of a package file when every system call succeeds.
struct ExpectedRead {
    ResultCode code = kSuccess;
    std::uint64_t searchedEnd = 0;   // the bytes before a certificate table that ends the file
    std::uint64_t markerEnd = 0;     // meaningful when a marker was found
    std::uint64_t payloadStart = 0;  // meaningful for kSuccess
    std::uint64_t payloadSize = 0;   // meaningful for kSuccess
    std::uint32_t markerCount = 0;   // every 32-byte window that equals the marker
};

// Where the bytes a code signature covers end, read straight from the executable format:
// at the certificate table (entry 4 of the optional header's data directory, a file offset
// and a size) when the headers name one that ends exactly at the end of the file.
inline std::uint64_t SignedEnd(const std::uint8_t* data, std::size_t size) {
    const auto field = [&](std::uint64_t at, std::uint32_t bytes, std::uint64_t& value) {
        if (at + bytes > size) return false;
        value = 0;
        for (std::uint32_t i = bytes; i-- > 0;) value = value << 8 | data[at + i];
        return true;
    };
    std::uint64_t pe = 0;
    std::uint64_t signature = 0;
    std::uint64_t optionalSize = 0;
    std::uint64_t magic = 0;
    if (size < 64 || data[0] != 'M' || data[1] != 'Z' || !field(0x3C, 4, pe) ||
        !field(pe, 4, signature) || signature != 0x4550 || !field(pe + 20, 2, optionalSize) ||
        !field(pe + 24, 2, magic) || (magic != 0x10B && magic != 0x20B)) {
        return size;
    }
    const std::uint64_t count = magic == 0x10B ? 92 : 108;  // within the optional header
    const std::uint64_t entry = count + 4 + 4 * 8;
    std::uint64_t entries = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    if (entry + 8 > optionalSize || !field(pe + 24 + count, 4, entries) || entries < 5 ||
        !field(pe + 24 + entry, 4, offset) || !field(pe + 24 + entry + 4, 4, length) ||
        length == 0 || offset + length != size) {
        return size;
    }
    return offset;
}

// Written straight from the package format, window by window, without the locator's
// block arithmetic or the reader's seeks: the last marker in the bytes a signature covers
// wins; the fields need 1072 bytes before the marker's end, PayloadSize 1080; the payload
// must start at or after the file's first byte.
inline ExpectedRead ExpectRead(const std::uint8_t* data, std::size_t size) {
    ExpectedRead expected;
    const std::vector<std::uint8_t> marker = Marker();
    if (size < package::kMarkerSize) {
        expected.code = kSeekNearEndFailed;
        return expected;
    }
    expected.searchedEnd = SignedEnd(data, size);
    bool found = false;
    for (std::size_t start = 0; start + package::kMarkerSize <= size; ++start) {
        if (std::memcmp(data + start, marker.data(), package::kMarkerSize) == 0) {
            ++expected.markerCount;
            if (start + package::kMarkerSize > expected.searchedEnd) continue;
            found = true;
            expected.markerEnd = start + package::kMarkerSize;
        }
    }
    if (!found) {
        expected.code = kScanSeekOrCreateFailed;
        return expected;
    }
    if (expected.markerEnd < package::kTrailerSize - package::kPayloadSizeLength) {
        expected.code = kSeekFieldsFailed;
        return expected;
    }
    if (expected.markerEnd < package::kTrailerSize) {
        expected.code = kSeekPayloadSizeFailed;
        return expected;
    }
    const std::uint64_t trailerStart = expected.markerEnd - package::kTrailerSize;
    std::uint64_t payloadSize = 0;
    for (std::uint32_t i = package::kPayloadSizeLength; i-- > 0;) {
        payloadSize = (payloadSize << 8) | data[trailerStart + i];
    }
    if (payloadSize > trailerStart) {
        expected.code = kSeekPayloadFailed;
        return expected;
    }
    expected.payloadSize = payloadSize;
    expected.payloadStart = trailerStart - payloadSize;
    return expected;
}

}  // namespace wrapper::testing
