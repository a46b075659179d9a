#pragma once

#include "ResultCode.h"
#include "package/PackageTrailer.h"
#include "platform/Files.h"

#include <cstdint>

namespace wrapper::package {

// Reads the trailer that ends at the current position (just past the marker, as
// LocateTrailer leaves it): the four text fields into `fields` (1040 bytes, in trailer
// order) and `payloadSize`. On success the position is the payload's first byte, that is
// the marker's end - 1080 - payloadSize. Returns kSuccess or one of codes 3 to 13, each
// naming the step that failed; a PayloadSize larger than the trailer's start offset gives
// kSeekPayloadFailed. On failure `fields` may hold some fields and not others.
ResultCode ReadTrailer(platform::Files& files, platform::FileHandle file, TrailerFields& fields,
                       std::uint64_t& payloadSize);

// The launcher's way to its trailer, which the tools take as well: LocateTrailer, then
// ReadTrailer from where it leaves the file. On success the position is the payload's
// first byte. Returns the first step's failure, as those two do, or kSuccess.
ResultCode LocateAndReadTrailer(platform::Files& files, platform::FileHandle file,
                                TrailerFields& fields, std::uint64_t& payloadSize);

}  // namespace wrapper::package
