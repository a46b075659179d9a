#pragma once

#include "TextView.h"

#include <cstdint>

namespace wrapper::package {

// The fixed record that ends the package data. Offsets from its first byte:
//   0     8 bytes  PayloadSize, unsigned 64-bit little-endian
//   8   260 bytes  LinkTemplate        } 8-bit text in the ANSI code page,
//   268 260 bytes  CampaignQuery       } zero-terminated, zero-padded
//   528 260 bytes  LandingTemplate     }
//   788 260 bytes  UninstallTemplate   }
//   1048 32 bytes  TrailerMarker, no terminator
// The payload ends exactly where the trailer begins; anything (a signature) may follow it.
inline constexpr std::uint32_t kTrailerSize = 1080;
inline constexpr std::uint32_t kPayloadSizeLength = 8;
inline constexpr std::uint32_t kFieldSize = 260;
inline constexpr std::uint32_t kFieldCount = 4;
inline constexpr std::uint32_t kFieldsSize = kFieldSize * kFieldCount;  // 1040
inline constexpr std::uint32_t kMarkerSize = 32;
inline constexpr std::uint32_t kFieldsOffset = kPayloadSizeLength;
inline constexpr std::uint32_t kMarkerOffset = kFieldsOffset + kFieldsSize;  // 1048
static_assert(kMarkerOffset + kMarkerSize == kTrailerSize);

// The text fields, in trailer order.
enum class Field : std::uint32_t {
    LinkTemplate = 0,
    CampaignQuery = 1,
    LandingTemplate = 2,
    UninstallTemplate = 3,
};

// The four fields back to back, exactly as they stand in the trailer.
struct TrailerFields {
    char bytes[kFieldCount][kFieldSize];
};
static_assert(sizeof(TrailerFields) == kFieldsSize);

// A field's text: its bytes up to the first zero, or all 260 when it holds no zero byte.
// Never reaches into the next field. Points into the TrailerFields it came from.
TextView FieldText(const TrailerFields& fields, Field field);

// Writes the TrailerMarker into `marker` (32 bytes, no terminator). It is derived from a
// template at run time so that the launcher's own image never holds the marker and the
// backward search can never match inside the launcher's bytes.
void BuildTrailerMarker(unsigned char (&marker)[kMarkerSize]);

// Lays out a complete trailer: PayloadSize, the four fields as given, the marker.
// For package producers and tests; the launcher only reads trailers.
void EncodeTrailer(std::uint64_t payloadSize, const TrailerFields& fields,
                   unsigned char (&trailer)[kTrailerSize]);

}  // namespace wrapper::package
