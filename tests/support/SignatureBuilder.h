#pragma once

// Builds certificate tables in memory, for every C++ test of the campaign slot: a signature
// shaped as code-signing tools write it (ContentInfo, SignedData, SignerInfo), its parts as
// DER elements a test can drop, reorder or corrupt, and the slot's content.

#include "PackageModel.h"
#include "package/CampaignStamp.h"

#include <cstdint>
#include <string>
#include <vector>

namespace wrapper::testing {

using Bytes = std::vector<std::uint8_t>;

// One DER element with a minimal definite length.
inline Bytes Der(std::uint8_t tag, const Bytes& content) {
    Bytes element = {tag};
    const auto size = static_cast<std::uint32_t>(content.size());
    if (size < 0x80) {
        element.push_back(static_cast<std::uint8_t>(size));
    } else {
        const std::uint8_t count = size < 0x100 ? 1 : size < 0x10000 ? 2 : 3;
        element.push_back(static_cast<std::uint8_t>(0x80 | count));
        for (int i = count - 1; i >= 0; --i)
            element.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    }
    element.insert(element.end(), content.begin(), content.end());
    return element;
}

inline Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline const Bytes kSlotTypeOid = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82,
                                   0xCF, 0x29, 0x01, 0x02, 0x01};
inline const Bytes kSignedDataOid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// The slot's content as the signing tool writes it: begin marker, zeros, end marker, one
// zero byte; `size` bytes in all.
inline Bytes SlotContent(std::size_t size = 1024) {
    Bytes content(size, 0);
    const std::string begin = package::kSlotBeginMarker;
    const std::string end = package::kSlotEndMarker;
    std::copy(begin.begin(), begin.end(), content.begin());
    std::copy(end.begin(), end.end(), content.end() - 1 - static_cast<std::ptrdiff_t>(end.size()));
    return content;
}

// The same with `area` (the stamp area's leading bytes) written after the begin marker.
inline Bytes StampedContent(const std::string& area, std::size_t size = 1024) {
    Bytes content = SlotContent(size);
    std::copy(area.begin(), area.end(), content.begin() + package::kSlotBeginMarkerSize);
    return content;
}

inline Bytes Attribute(const Bytes& oid, const Bytes& values) {
    return Der(0x30, Concat({Der(0x06, oid), Der(0x31, values)}));
}
inline Bytes SlotAttribute(const Bytes& content = SlotContent()) {
    return Attribute(kSlotTypeOid, Der(0x0C, content));
}

// A signature's elements, in order; an empty element is left out.
struct SignatureParts {
    std::vector<Bytes> signer = {
        Der(0x02, {1}),                                              // version
        Der(0x30, Concat({Der(0x30, {'C', 'N'}), Der(0x02, {7})})),  // issuer and serial
        Der(0x30, Der(0x06, {0x60, 0x86, 0x48})),                    // digest algorithm
        Der(0xA0, Attribute({0x2A, 0x03}, Der(0x04, {1, 2}))),       // signed attributes
        Der(0x30, Der(0x06, {0x2A, 0x86, 0x48})),                    // signature algorithm
        Der(0x04, Bytes(64, 0x5A)),                                  // signature
        Der(0xA1, SlotAttribute()),                                  // unsigned attributes
    };
    std::vector<Bytes> signedData = {
        Der(0x02, {1}),                                       // version
        Der(0x31, Der(0x30, Der(0x06, {0x60, 0x86, 0x48}))),  // digest algorithms
        Der(0x30, Der(0x06, {0x2B, 0x06, 0x01})),             // signed content
        Der(0xA0, Der(0x30, Bytes(300, 0x11))),               // certificates
    };
    std::vector<Bytes> signers;  // after the first
};

inline Bytes Signature(const SignatureParts& parts) {
    Bytes signers = Der(0x30, Concat(parts.signer));
    for (const Bytes& more : parts.signers) signers = Concat({signers, more});
    std::vector<Bytes> signedData = parts.signedData;
    signedData.push_back(Der(0x31, signers));
    return Der(0x30, Concat({Der(0x06, kSignedDataOid), Der(0xA0, Der(0x30, Concat(signedData)))}));
}

// A certificate table holding `der`: one entry (revision 0x0200, type 2) whose length
// counts the entry's header and `der`, zero bytes to an 8-byte boundary.
inline Bytes CertificateTable(const Bytes& der) {
    const auto length = static_cast<std::uint32_t>(8 + der.size());
    Bytes table = {static_cast<std::uint8_t>(length),
                   static_cast<std::uint8_t>(length >> 8),
                   static_cast<std::uint8_t>(length >> 16),
                   static_cast<std::uint8_t>(length >> 24),
                   0x00,
                   0x02,
                   0x02,
                   0x00};
    table.insert(table.end(), der.begin(), der.end());
    table.resize((table.size() + 7) / 8 * 8, 0);
    return table;
}

// Signs a package built around LauncherImage with `table`, after `padding` zero bytes.
inline void SignWithTable(Bytes& package, std::size_t padding, const Bytes& table) {
    Sign(package, padding, table.size());
    std::copy(table.begin(), table.end(),
              package.end() - static_cast<std::ptrdiff_t>(table.size()));
}

// A certificate table whose slot holds `area` at the start of its stamp area.
inline Bytes StampedTable(const std::string& area) {
    SignatureParts parts;
    parts.signer.back() = Der(0xA1, SlotAttribute(StampedContent(area)));
    return CertificateTable(Signature(parts));
}

}  // namespace wrapper::testing
