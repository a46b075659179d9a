#pragma once

#include "ResultCode.h"
#include "platform/Files.h"

namespace wrapper::bench {

// The per-byte reference scan, kept here only as the yardstick for the launcher's block
// locator: one 32-byte window per pass, each pass a move back 33 bytes, one 32-byte read
// and, when it does not match, one position query. No read-ahead, no limit.
// The result codes of package::LocateTrailer: kSuccess with the position just past the
// marker nearest the end, kSeekNearEndFailed for a file shorter than 32 bytes,
// kScanSeekOrCreateFailed when no window matches (the move before offset 0 fails),
// kScanReadOrCopyFailed when a scan read fails or comes back short. Unlike the locator it
// ignores a failed or short first read of the last 32 bytes (the window then does not
// match and the scan goes on), and it searches a signed file's certificate table too.
ResultCode PerByteLocateTrailer(platform::Files& files, platform::FileHandle file);

}  // namespace wrapper::bench
