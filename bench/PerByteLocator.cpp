#include "PerByteLocator.h"

#include "package/PackageTrailer.h"

#include <cstdint>
#include <cstring>

namespace wrapper::bench {

using package::kMarkerSize;
using platform::SeekOrigin;

ResultCode PerByteLocateTrailer(platform::Files& files, platform::FileHandle file) {
    if (!files.Seek(file, -static_cast<std::int64_t>(kMarkerSize), SeekOrigin::End, nullptr)) {
        return kSeekNearEndFailed;
    }
    unsigned char window[kMarkerSize] = {};
    std::uint32_t got = 0;
    // The first read's outcome is not examined: missing bytes stay zero and do not match.
    files.Read(file, window, kMarkerSize, &got);

    unsigned char marker[kMarkerSize];
    package::BuildTrailerMarker(marker);
    if (std::memcmp(window, marker, kMarkerSize) == 0) return kSuccess;

    std::int64_t position = 0;
    if (!files.Seek(file, 0, SeekOrigin::Current, &position)) return kScanSeekOrCreateFailed;
    for (;;) {
        // Each read advances 32, each move goes back 33: every window starts one byte
        // before the last. A negative target fails, which ends the scan at offset 0.
        if (!files.Seek(file, position - (kMarkerSize + 1), SeekOrigin::Begin, nullptr)) {
            return kScanSeekOrCreateFailed;
        }
        if (!files.Read(file, window, kMarkerSize, &got) || got < kMarkerSize) {
            return kScanReadOrCopyFailed;
        }
        if (std::memcmp(window, marker, kMarkerSize) == 0) return kSuccess;
        if (!files.Seek(file, 0, SeekOrigin::Current, &position)) return kScanSeekOrCreateFailed;
    }
}

}  // namespace wrapper::bench
