#pragma once

#include "TextView.h"
#include "package/PackageTrailer.h"
#include "platform/Files.h"

#include <cstdint>

namespace wrapper::package {

// A package signed once can still be attributed to any number of campaigns: its signature
// carries a slot the signature does not cover, which a download server overwrites per
// download. The slot is an unauthenticated attribute of the first signer, of type
// 1.3.6.1.4.1.42921.1.2.1, whose value is one UTF8String:
//   "---BEGIN_BLOB---", the stamp area, "---END_BLOB---" and anything after that
// (the area runs to the content's end when there is no end marker). A stamp fills the area
// with kStampPrefix, the campaign text, then zero bytes; an all-zero area is no stamp.
// Anyone can rewrite the slot without the signing key, so a stamp only ever counts as a
// campaign text within the grammar of IsCampaignText, and only for a package signed with an
// empty CampaignQuery.

// A certificate table larger than this is not read for a stamp.
inline constexpr std::uint32_t kStampTableLimit = 64 * 1024;
inline constexpr std::uint32_t kCampaignTextLimit = 200;
inline constexpr char kStampPrefix[] = "wrapper-campaign:";
inline constexpr std::uint32_t kStampPrefixSize = sizeof kStampPrefix - 1;
inline constexpr char kSlotBeginMarker[] = "---BEGIN_BLOB---";
inline constexpr std::uint32_t kSlotBeginMarkerSize = sizeof kSlotBeginMarker - 1;
inline constexpr char kSlotEndMarker[] = "---END_BLOB---";
inline constexpr std::uint32_t kSlotEndMarkerSize = sizeof kSlotEndMarker - 1;

enum class SlotStatus : std::uint8_t {
    Found,
    // The table is not one certificate entry (revision 0x0200, type 2, at least 9 bytes)
    // whose length, rounded up to 8, is the table's.
    NotOneEntry,
    // The entry's bytes are not a signature as far as the slot is concerned: the
    // ContentInfo, SignedData and first SignerInfo in order, every length within its
    // container, definite and minimal, nothing after the signer's unsigned attributes.
    BadSignature,
    Padding,     // a byte other than zero after the signature's structure
    NoSlot,      // no attribute of the slot's type
    SecondSlot,  // more than one attribute of the slot's type
    BadSlot,     // its value is not one UTF8String that starts with the begin marker
};

// Where the slot lies, in bytes from the certificate table's start.
struct StampSlot {
    std::uint32_t contentOffset = 0;  // the UTF8String's content
    std::uint32_t contentSize = 0;
    std::uint32_t areaOffset = 0;  // the stamp area within it
    std::uint32_t areaSize = 0;
};

// Finds the slot in the `size` bytes of a certificate table. Reads nothing outside them.
SlotStatus FindStampSlot(const unsigned char* table, std::uint32_t size, StampSlot& slot);

enum class StampStatus : std::uint8_t {
    Unstamped,  // the area is all zero
    Stamped,    // `text` is the campaign
    Invalid,    // anything else
};

// Reads a stamp area: kStampPrefix, a text up to the first zero byte (or the area's end),
// then only zero bytes, the text valid by IsCampaignText. `text` points into `area`.
StampStatus ReadStamp(const unsigned char* area, std::uint32_t size, TextView& text);

// 1 to kCampaignTextLimit bytes of name=value pairs joined by "&": names of 1 to 32 of
// A-Z a-z 0-9 _ . -, values of at least one of A-Z a-z 0-9 . _ ~ - or "%" and two hex
// digits; no name twice.
bool IsCampaignText(TextView text);

// The launcher's reading: the campaign a valid stamp in `file`'s certificate table holds,
// zero-terminated into `campaign`. False, with `campaign` untouched, for anything else,
// failed file calls included. The position is unspecified afterwards.
bool ReadCampaignStamp(platform::Files& files, platform::FileHandle file,
                       char (&campaign)[kFieldSize]);

}  // namespace wrapper::package
