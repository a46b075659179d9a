#pragma once

// What the fuzz targets share: a check that stops the run at the first broken invariant
// (libFuzzer and the replay driver both report it as a crash with the input that caused
// it), and an independent model of where the launcher must find the trailer.

#include "ResultCode.h"
#include "package/PackageTrailer.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#define FUZZ_CHECK(condition)                                                           \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, \
                         #condition);                                                   \
            __builtin_trap();                                                           \
        }                                                                               \
    } while (false)

namespace wrapper::fuzz {

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
    unsigned char marker[package::kMarkerSize];
    package::BuildTrailerMarker(marker);
    if (size < package::kMarkerSize) {
        expected.code = kSeekNearEndFailed;
        return expected;
    }
    expected.searchedEnd = SignedEnd(data, size);
    bool found = false;
    for (std::size_t start = 0; start + package::kMarkerSize <= size; ++start) {
        if (std::memcmp(data + start, marker, package::kMarkerSize) == 0) {
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

}  // namespace wrapper::fuzz
