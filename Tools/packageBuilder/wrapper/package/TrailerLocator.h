#pragma once

#include "ResultCode.h"
#include "platform/Files.h"

#include <cstdint>

namespace wrapper::package {

// The locator reads backwards in blocks of this many bytes; consecutive blocks overlap by
// 31 bytes so that every 32-byte window of the file is compared exactly once.
inline constexpr std::uint32_t kLocatorBlockSize = 64 * 1024;

// Finds the TrailerMarker nearest the end of the searched bytes of `file` and leaves the
// position just past it. The searched bytes are the whole file without the certificate
// table its headers name (see FindSignedExtent): a marker inside a signature is never used,
// and no window reaches into the table. Bytes after a table that does not end the file are
// searched first, then those before it. The marker is looked for first in the last 32
// bytes of each part, then in every earlier 32-byte window, so a signature or other data
// may follow the trailer. The handle stays open.
// Returns:
//   kSuccess                 position just past the marker;
//   kSeekNearEndFailed       the file is shorter than 32 bytes;
//   kScanSeekOrCreateFailed  a move failed, or no window of the searched bytes holds the
//                            marker (also when fewer than 32 bytes are searched);
//   kScanReadOrCopyFailed    a read during the search, the headers and the last 32 bytes
//                            included, failed or came back short.
// On failure the position is unspecified.
ResultCode LocateTrailer(platform::Files& files, platform::FileHandle file);

}  // namespace wrapper::package
