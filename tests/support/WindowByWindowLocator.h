#pragma once

// The launcher's backward search for the trailer marker in its plainest form, which defines
// what the block locator (package::LocateTrailer) must find, in code and final position: its
// tests compare the two, and the benchmarks time the one beside the other.

#include "PackageModel.h"
#include "ResultCode.h"
#include "package/SignedExtent.h"
#include "platform/Files.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace wrapper::testing {

// One 32-byte window per step, each step asking the system for the position and moving back
// 33 bytes from it, over the same searched bytes as the locator (those after a certificate
// table that does not end the file, then those before the table; no window reaches into it).
inline ResultCode LocateWindowByWindow(platform::Files& files, platform::FileHandle file) {
    using package::kMarkerSize;
    using platform::SeekOrigin;
    const std::vector<std::uint8_t> marker = Marker();
    unsigned char window[kMarkerSize] = {};
    std::uint32_t got = 0;
    std::int64_t lastWindow = 0;
    if (!files.Seek(file, -static_cast<std::int64_t>(kMarkerSize), SeekOrigin::End, &lastWindow)) {
        return kSeekNearEndFailed;
    }
    std::int64_t tableStart = 0;
    std::int64_t tableEnd = 0;
    const ResultCode extent =
        package::FindSignedExtent(files, file, lastWindow + kMarkerSize, tableStart, tableEnd);
    if (extent != kSuccess) return extent;
    const std::int64_t parts[][2] = {{tableEnd, lastWindow + kMarkerSize}, {0, tableStart}};
    for (const auto& [begin, end] : parts) {
        if (end - begin < static_cast<std::int64_t>(kMarkerSize)) continue;
        if (!files.Seek(file, end - kMarkerSize, SeekOrigin::Begin, nullptr)) {
            return kScanSeekOrCreateFailed;
        }
        if (!files.Read(file, window, kMarkerSize, &got) || got != kMarkerSize) {
            return kScanReadOrCopyFailed;
        }
        if (std::memcmp(window, marker.data(), kMarkerSize) == 0) return kSuccess;
        for (;;) {
            std::int64_t position = 0;
            if (!files.Seek(file, 0, SeekOrigin::Current, &position)) return kScanSeekOrCreateFailed;
            if (position - 33 < begin) break;
            if (!files.Seek(file, position - 33, SeekOrigin::Begin, nullptr)) {
                return kScanSeekOrCreateFailed;
            }
            if (!files.Read(file, window, kMarkerSize, &got) || got != kMarkerSize) {
                return kScanReadOrCopyFailed;
            }
            if (std::memcmp(window, marker.data(), kMarkerSize) == 0) return kSuccess;
        }
    }
    return kScanSeekOrCreateFailed;
}

}  // namespace wrapper::testing
