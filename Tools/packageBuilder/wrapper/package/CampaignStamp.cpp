#include "package/CampaignStamp.h"

#include "package/SignedExtent.h"

#include <cstring>

namespace wrapper::package {

namespace {

// The unread part of a DER element's content.
struct Der {
    const unsigned char* at;
    const unsigned char* end;
    std::uint32_t Left() const { return static_cast<std::uint32_t>(end - at); }
};

// Takes the next element of `in` when its one-byte tag is `tag`: its content into
// `content`, `in` past it. Only definite, minimal lengths below 16 MiB that stay inside
// `in` are taken; on failure nothing changes.
bool Take(Der& in, unsigned char tag, Der& content) {
    if (in.Left() < 2 || in.at[0] != tag) return false;
    Der rest = {in.at + 2, in.end};
    std::uint32_t length = in.at[1];
    if (length & 0x80) {
        std::uint32_t count = length & 0x7F;
        if (count == 0 || count > 3 || rest.Left() < count || rest.at[0] == 0) return false;
        for (length = 0; count != 0; --count) length = length << 8 | *rest.at++;
        if (length < 0x80) return false;
    }
    if (rest.Left() < length) return false;
    content = {rest.at, rest.at + length};
    in.at = rest.at + length;
    return true;
}

template <std::uint32_t N>
bool Is(const Der& element, const unsigned char (&bytes)[N]) {
    return element.Left() == N && std::memcmp(element.at, bytes, N) == 0;
}

// 1.2.840.113549.1.7.2 and 1.3.6.1.4.1.42921.1.2.1, as their DER contents.
constexpr unsigned char kSignedDataType[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr unsigned char kSlotType[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82,
                                       0xCF, 0x29, 0x01, 0x02, 0x01};

// DER tags.
constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kObjectId = 0x06;
constexpr unsigned char kUtf8String = 0x0C;
constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kSet = 0x31;
constexpr unsigned char kImplicit0 = 0x80;
constexpr unsigned char kContext0 = 0xA0;
constexpr unsigned char kContext1 = 0xA1;

// The path from the signature's ContentInfo, after its type, to the first signer's
// signature value: each step takes one element of the current container, enters it, skips
// it, or skips it only when it is there.
enum Action : unsigned char { kEnter, kSkip, kSkipIfThere, kSkipSignerId };
constexpr unsigned char kPath[][2] = {
    {kContext0, kEnter},         // the ContentInfo's content
    {kSequence, kEnter},         // SignedData
    {kInteger, kSkip},           // version
    {kSet, kSkip},               // digest algorithms
    {kSequence, kSkip},          // the signed content
    {kContext0, kSkipIfThere},   // certificates
    {kContext1, kSkipIfThere},   // CRLs
    {kSet, kEnter},              // signer infos
    {kSequence, kEnter},         // the first SignerInfo
    {kInteger, kSkip},           // version
    {kSequence, kSkipSignerId},  // issuer and serial, or [0] key id
    {kSequence, kSkip},          // digest algorithm
    {kContext0, kSkipIfThere},   // signed attributes
    {kSequence, kSkip},          // signature algorithm
    {kOctetString, kSkip},       // signature
};

// Walks the signature to the first signer's unsigned attributes.
SlotStatus FindUnsignedAttributes(Der at, Der& attributes) {
    Der type;
    if (!Take(at, kObjectId, type) || !Is(type, kSignedDataType)) return SlotStatus::BadSignature;
    for (const auto& [tag, action] : kPath) {
        Der content;
        if (action == kSkipIfThere && (at.at == at.end || at.at[0] != tag)) continue;
        if (!Take(at, tag, content) &&
            (action != kSkipSignerId || !Take(at, kImplicit0, content))) {
            return SlotStatus::BadSignature;
        }
        if (action == kEnter) at = content;
    }
    if (at.at == at.end) return SlotStatus::NoSlot;
    if (!Take(at, kContext1, attributes) || at.at != at.end) return SlotStatus::BadSignature;
    return SlotStatus::Found;
}

bool IsAlphanumeric(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
bool IsNameCharacter(char c) { return IsAlphanumeric(c) || c == '_' || c == '.' || c == '-'; }
bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

constexpr std::uint32_t kNameLimit = 32;

}  // namespace

SlotStatus FindStampSlot(const unsigned char* table, std::uint32_t size, StampSlot& slot) {
    // The entry: its length (header included), revision, type, then the signature.
    constexpr std::uint32_t kHeader = 8;
    if (size <= kHeader) return SlotStatus::NotOneEntry;
    std::uint32_t length;
    std::memcpy(&length, table, sizeof length);
    if (length <= kHeader || length > size || ((length + 7) & ~7u) != size || table[4] != 0x00 ||
        table[5] != 0x02 || table[6] != 0x02 || table[7] != 0x00) {
        return SlotStatus::NotOneEntry;
    }
    Der entry = {table + kHeader, table + length};
    Der signature;
    if (!Take(entry, kSequence, signature)) return SlotStatus::BadSignature;
    for (const unsigned char* p = entry.at; p != table + size; ++p) {
        if (*p != 0) return SlotStatus::Padding;
    }

    Der attributes;
    const SlotStatus walked = FindUnsignedAttributes(signature, attributes);
    if (walked != SlotStatus::Found) return walked;
    Der values = {nullptr, nullptr};
    while (attributes.at != attributes.end) {
        Der attribute, type, attributeValues;
        if (!Take(attributes, kSequence, attribute) || !Take(attribute, kObjectId, type) ||
            !Take(attribute, kSet, attributeValues) || attribute.at != attribute.end) {
            return SlotStatus::BadSignature;
        }
        if (!Is(type, kSlotType)) continue;
        if (values.at != nullptr) return SlotStatus::SecondSlot;
        values = attributeValues;
    }
    if (values.at == nullptr) return SlotStatus::NoSlot;

    Der content;
    if (!Take(values, kUtf8String, content) || values.at != values.end ||
        content.Left() < kSlotBeginMarkerSize ||
        std::memcmp(content.at, kSlotBeginMarker, kSlotBeginMarkerSize) != 0) {
        return SlotStatus::BadSlot;
    }
    // The area ends at the last end marker; the markers themselves are never part of it.
    std::uint32_t areaEnd = content.Left();
    for (std::uint32_t at = areaEnd; at >= kSlotBeginMarkerSize + kSlotEndMarkerSize; --at) {
        if (std::memcmp(content.at + at - kSlotEndMarkerSize, kSlotEndMarker, kSlotEndMarkerSize) ==
            0) {
            areaEnd = at - kSlotEndMarkerSize;
            break;
        }
    }
    slot.contentOffset = static_cast<std::uint32_t>(content.at - table);
    slot.contentSize = content.Left();
    slot.areaOffset = slot.contentOffset + kSlotBeginMarkerSize;
    slot.areaSize = areaEnd - kSlotBeginMarkerSize;
    return SlotStatus::Found;
}

StampStatus ReadStamp(const unsigned char* area, std::uint32_t size, TextView& text) {
    std::uint32_t zeros = 0;
    while (zeros < size && area[zeros] == 0) ++zeros;
    if (zeros == size) return StampStatus::Unstamped;
    if (size < kStampPrefixSize || std::memcmp(area, kStampPrefix, kStampPrefixSize) != 0) {
        return StampStatus::Invalid;
    }
    std::uint32_t end = kStampPrefixSize;
    while (end < size && area[end] != 0) ++end;
    text = {reinterpret_cast<const char*>(area) + kStampPrefixSize, end - kStampPrefixSize};
    for (; end < size; ++end) {
        if (area[end] != 0) return StampStatus::Invalid;
    }
    return IsCampaignText(text) ? StampStatus::Stamped : StampStatus::Invalid;
}

bool IsCampaignText(TextView text) {
    if (text.length == 0 || text.length > kCampaignTextLimit) return false;
    const char* p = text.data;
    const char* const end = p + text.length;
    for (;;) {
        const char* const name = p;
        while (p != end && IsNameCharacter(*p)) ++p;
        const auto nameLength = static_cast<std::uint32_t>(p - name);
        if (nameLength == 0 || nameLength > kNameLimit || p == end || *p != '=') return false;
        // The pairs before this one are valid already: each a name, "=", a value, "&".
        for (const char* earlier = text.data; earlier != name;) {
            const char* equals = earlier;
            while (*equals != '=') ++equals;
            if (static_cast<std::uint32_t>(equals - earlier) == nameLength &&
                std::memcmp(earlier, name, nameLength) == 0) {
                return false;
            }
            earlier = equals;
            while (*earlier++ != '&') {
            }
        }
        const char* const value = ++p;
        while (p != end && *p != '&') {
            if (*p == '%') {
                if (end - p < 3 || !IsHexDigit(p[1]) || !IsHexDigit(p[2])) return false;
                p += 3;
            } else if (IsNameCharacter(*p) || *p == '~') {
                ++p;
            } else {
                return false;
            }
        }
        if (p == value) return false;
        if (p == end) return true;
        ++p;
    }
}

bool ReadCampaignStamp(platform::Files& files, platform::FileHandle file,
                       char (&campaign)[kFieldSize]) {
    static_assert(kCampaignTextLimit < kFieldSize);
    std::int64_t fileSize = 0;
    std::int64_t tableOffset = 0;
    std::int64_t tableSize = 0;
    if (!files.Seek(file, 0, platform::SeekOrigin::End, &fileSize) ||
        FindCertificateTable(files, file, fileSize, tableOffset, tableSize) != kSuccess ||
        tableSize == 0 || tableSize > kStampTableLimit) {
        return false;
    }
    // Static rather than on the stack: the launcher's frames stay small.
    static unsigned char table[kStampTableLimit];
    const auto size = static_cast<std::uint32_t>(tableSize);
    std::uint32_t got = 0;
    if (!files.Seek(file, tableOffset, platform::SeekOrigin::Begin, nullptr) ||
        !files.Read(file, table, size, &got) || got != size) {
        return false;
    }
    StampSlot slot;
    TextView text = {};
    if (FindStampSlot(table, size, slot) != SlotStatus::Found ||
        ReadStamp(table + slot.areaOffset, slot.areaSize, text) != StampStatus::Stamped) {
        return false;
    }
    std::memset(campaign, 0, kFieldSize);
    std::memcpy(campaign, text.data, text.length);
    return true;
}

}  // namespace wrapper::package
