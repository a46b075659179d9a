#pragma once

#include "ResultCode.h"
#include "platform/Files.h"

#include <cstdint>

namespace wrapper::package {

// A code-signed package ends with its certificate table, which the executable headers at
// the start of the file name: entry 4 of the optional header's data directory, a file
// offset and a size. The signature's digest covers the bytes before the table but not the
// table itself, so anyone can add bytes inside it after signing (growing the entry and the
// table's own length) without disturbing the signature. The launcher therefore never looks
// for its trailer inside the table.

// Sets `tableStart` and `tableEnd` to the certificate table's extent in `file`, which is
// `fileSize` bytes long, whenever the headers name a table that starts inside the file:
// one that ends the file, as every valid signature's does, and also one that ends before it
// or would reach past it (cut at the end of the file), whose bytes no digest covers either.
// Otherwise both are set to `fileSize`. Otherwise means: no "MZ" header or no "PE\0\0"
// signature where its e_lfanew points, an optional header that is neither PE32 nor PE32+
// or too short to hold entry 4, fewer than five directory entries, an entry of size 0, and
// a table that starts at or past the end of the file. Header bytes the file does not hold
// count as missing.
// Returns:
//   kSuccess                 `tableStart` and `tableEnd` are set;
//   kScanSeekOrCreateFailed  a move failed;
//   kScanReadOrCopyFailed    a read failed or delivered fewer bytes than the file holds.
// The position is unspecified afterwards.
ResultCode FindSignedExtent(platform::Files& files, platform::FileHandle file,
                            std::int64_t fileSize, std::int64_t& tableStart,
                            std::int64_t& tableEnd);

// The same facts as a table: `tableOffset` and `tableSize` name the certificate table that
// ends `file`, or are both 0 when FindSignedExtent would give `fileSize`. Same returns.
ResultCode FindCertificateTable(platform::Files& files, platform::FileHandle file,
                                std::int64_t fileSize, std::int64_t& tableOffset,
                                std::int64_t& tableSize);

}  // namespace wrapper::package
