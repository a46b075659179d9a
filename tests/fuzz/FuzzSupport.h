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
    std::uint64_t markerEnd = 0;     // meaningful when a marker was found
    std::uint64_t payloadStart = 0;  // meaningful for kSuccess
    std::uint64_t payloadSize = 0;   // meaningful for kSuccess
    std::uint32_t markerCount = 0;   // every 32-byte window that equals the marker
};

// Written straight from the package format, window by window, without the locator's
// block arithmetic or the reader's seeks: the last marker in the file wins; the fields
// need 1072 bytes before the marker's end, PayloadSize 1080; the payload must start at or
// after the file's first byte.
inline ExpectedRead ExpectRead(const std::uint8_t* data, std::size_t size) {
    ExpectedRead expected;
    unsigned char marker[package::kMarkerSize];
    package::BuildTrailerMarker(marker);
    if (size < package::kMarkerSize) {
        expected.code = kSeekNearEndFailed;
        return expected;
    }
    bool found = false;
    for (std::size_t start = 0; start + package::kMarkerSize <= size; ++start) {
        if (std::memcmp(data + start, marker, package::kMarkerSize) == 0) {
            ++expected.markerCount;
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
