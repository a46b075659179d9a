#include "package/TrailerLocator.h"

#include "package/PackageTrailer.h"
#include "package/SignedExtent.h"

#include <cstring>

namespace wrapper::package {

using platform::SeekOrigin;

namespace {

// The highest start s in [0, length - 32] at which `block` holds the marker, or -1.
// Windows are tried from the end backwards; after a mismatch at s the next window that
// can match is the nearest one in which the byte at s lines up with the same byte of the
// marker, so most of a block that holds no marker bytes is skipped 32 bytes at a time.
std::int64_t FindLastMarker(const unsigned char* block, std::uint32_t length,
                            const unsigned char (&marker)[kMarkerSize]) {
    std::uint8_t skip[256];
    for (std::uint8_t& distance : skip) distance = kMarkerSize;
    for (std::uint32_t k = kMarkerSize - 1; k >= 1; --k) skip[marker[k]] = static_cast<std::uint8_t>(k);

    std::uint32_t s = length - kMarkerSize;
    for (;;) {
        if (block[s] == marker[0] && std::memcmp(block + s, marker, kMarkerSize) == 0) return s;
        const std::uint32_t step = skip[block[s]];
        if (s < step) return -1;
        s -= step;
    }
}

// Not a result: no window of the bytes searched holds the marker.
constexpr auto kNoMarker = static_cast<ResultCode>(~0u);

// Looks for the marker in the bytes [begin, end) of `file`, nearest `end` first; every
// window lies within them. kSuccess with the position just past it, kNoMarker, or the code
// of a failed move or read.
ResultCode SearchBytes(platform::Files& files, platform::FileHandle file, std::int64_t begin,
                       std::int64_t end, const unsigned char (&marker)[kMarkerSize]) {
    if (end - begin < static_cast<std::int64_t>(kMarkerSize)) return kNoMarker;
    // An unsigned package ends with the marker, a signed one usually right before the
    // table. The searched bytes are at least 32 long, so a failed or short read here is a
    // read error like any other in the search: scanning on from where it stopped would skip
    // the last windows and could find an earlier marker, such as that of a package carried
    // inside the payload.
    if (!files.Seek(file, end - kMarkerSize, SeekOrigin::Begin, nullptr)) {
        return kScanSeekOrCreateFailed;
    }
    unsigned char window[kMarkerSize] = {};
    std::uint32_t windowBytes = 0;
    if (!files.Read(file, window, kMarkerSize, &windowBytes) || windowBytes != kMarkerSize) {
        return kScanReadOrCopyFailed;
    }
    if (std::memcmp(window, marker, kMarkerSize) == 0) return kSuccess;

    // Scan every earlier window, nearest the end first: windows start at end - 33 down to
    // begin, so the bytes still to examine are [begin, end - 1).
    end -= 1;
    unsigned char block[kLocatorBlockSize];
    for (;;) {
        // Fewer than 32 bytes left means the scan has passed the start of the bytes.
        if (end - begin < static_cast<std::int64_t>(kMarkerSize)) return kNoMarker;
        const std::int64_t start = end - begin > kLocatorBlockSize ? end - kLocatorBlockSize : begin;
        const auto length = static_cast<std::uint32_t>(end - start);
        if (!files.Seek(file, start, SeekOrigin::Begin, nullptr)) return kScanSeekOrCreateFailed;
        std::uint32_t got = 0;
        if (!files.Read(file, block, length, &got) || got != length) return kScanReadOrCopyFailed;

        const std::int64_t found = FindLastMarker(block, length, marker);
        if (found >= 0) {
            if (!files.Seek(file, start + found + kMarkerSize, SeekOrigin::Begin, nullptr)) {
                return kScanSeekOrCreateFailed;
            }
            return kSuccess;
        }
        if (start == begin) return kNoMarker;
        // Keep the block's first 31 bytes: with the byte before them they form the windows
        // that straddle the two blocks.
        end = start + kMarkerSize - 1;
    }
}

}  // namespace

ResultCode LocateTrailer(platform::Files& files, platform::FileHandle file) {
    unsigned char marker[kMarkerSize];
    BuildTrailerMarker(marker);

    std::int64_t lastWindow = 0;
    if (!files.Seek(file, -static_cast<std::int64_t>(kMarkerSize), SeekOrigin::End, &lastWindow)) {
        return kSeekNearEndFailed;
    }
    // No byte of a certificate table is searched: a trailer slipped into it after signing
    // would otherwise run under the producer's name.
    const std::int64_t fileSize = lastWindow + kMarkerSize;
    std::int64_t tableStart = 0;
    std::int64_t tableEnd = 0;
    const ResultCode extent = FindSignedExtent(files, file, fileSize, tableStart, tableEnd);
    if (extent != kSuccess) return extent;

    ResultCode result = SearchBytes(files, file, tableEnd, fileSize, marker);
    if (result == kNoMarker) result = SearchBytes(files, file, 0, tableStart, marker);
    return result == kNoMarker ? kScanSeekOrCreateFailed : result;
}

}  // namespace wrapper::package
