#pragma once

#include "ResultCode.h"
#include "platform/Files.h"

#include <cstdint>

namespace wrapper::package {

// The locator reads backwards in blocks of this many bytes; consecutive blocks overlap by
// 31 bytes so that every 32-byte window of the file is compared exactly once.
inline constexpr std::uint32_t kLocatorBlockSize = 64 * 1024;

// Finds the TrailerMarker nearest the end of `file` and leaves the position just past it.
// The marker is looked for first in the last 32 bytes, then in every earlier 32-byte
// window, so a signature or other data may follow the trailer. The handle stays open.
// Returns:
//   kSuccess                 position just past the marker;
//   kSeekNearEndFailed       the file is shorter than 32 bytes;
//   kScanSeekOrCreateFailed  a position query or move failed, or no window holds the marker;
//   kScanReadOrCopyFailed    a read during the search, the last 32 bytes included, failed or
//                            came back short.
// On failure the position is unspecified.
ResultCode LocateTrailer(platform::Files& files, platform::FileHandle file);

}  // namespace wrapper::package
