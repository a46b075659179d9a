#include "FakePlatform.h"
#include "PackageModel.h"
#include "SignatureBuilder.h"
#include "package/CampaignStamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace wrapper::package {
namespace {

using testing::Bytes;
using testing::CertificateTable;
using testing::Der;
using testing::Signature;
using testing::SignatureParts;

constexpr std::size_t kAttributes = 6;  // the signer's unsigned attributes in SignatureParts

struct WalkCase {
    const char* name;
    std::function<Bytes()> table;
    SlotStatus expected;
};

Bytes TableOf(const std::function<void(SignatureParts&)>& change) {
    SignatureParts parts;
    change(parts);
    return CertificateTable(Signature(parts));
}

const WalkCase kWalkCases[] = {
    {"as signed", [] { return TableOf([](SignatureParts&) {}); }, SlotStatus::Found},
    {"entry length rounded up to the table's",
     [] {
         Bytes table = TableOf([](SignatureParts&) {});
         table[0] = static_cast<std::uint8_t>(table.size());
         table[1] = static_cast<std::uint8_t>(table.size() >> 8);
         return table;
     },
     SlotStatus::Found},
    {"no certificates, no signed attributes, key id as signer",
     [] {
         return TableOf([](SignatureParts& parts) {
             parts.signedData.pop_back();
             parts.signer.erase(parts.signer.begin() + 3);
             parts.signer[1] = Der(0x80, {1, 2, 3});
         });
     },
     SlotStatus::Found},
    {"certificates and CRLs",
     [] {
         return TableOf([](SignatureParts& parts) { parts.signedData.push_back(Der(0xA1, {})); });
     },
     SlotStatus::Found},
    {"another attribute before the slot",
     [] {
         return TableOf([](SignatureParts& parts) {
             parts.signer[kAttributes] =
                 Der(0xA1, testing::Concat({testing::Attribute({0x2B, 6}, Der(0x05, {})),
                                            testing::SlotAttribute()}));
         });
     },
     SlotStatus::Found},
    {"second slot attribute",
     [] {
         return TableOf([](SignatureParts& parts) {
             parts.signer[kAttributes] =
                 Der(0xA1, testing::Concat({testing::SlotAttribute(), testing::SlotAttribute()}));
         });
     },
     SlotStatus::SecondSlot},
    {"wrong attribute type (last arc)",
     [] {
         return TableOf([](SignatureParts& parts) {
             Bytes oid = testing::kSlotTypeOid;
             oid.back() = 2;
             parts.signer[kAttributes] =
                 Der(0xA1, testing::Attribute(oid, Der(0x0C, testing::SlotContent())));
         });
     },
     SlotStatus::NoSlot},
    {"no unsigned attributes",
     [] { return TableOf([](SignatureParts& parts) { parts.signer.pop_back(); }); },
     SlotStatus::NoSlot},
    {"slot nested in the signed attributes",
     [] {
         return TableOf([](SignatureParts& parts) {
             parts.signer[3] = Der(0xA0, testing::SlotAttribute());
             parts.signer.pop_back();
         });
     },
     SlotStatus::NoSlot},
    {"slot only in the second signer",
     [] {
         return TableOf([](SignatureParts& parts) {
             parts.signers.push_back(Der(0x30, testing::Concat(parts.signer)));
             parts.signer.pop_back();
         });
     },
     SlotStatus::NoSlot},
    {"unsigned attributes before the signature value",
     [] {
         return TableOf([](SignatureParts& parts) { std::swap(parts.signer[5], parts.signer[6]); });
     },
     SlotStatus::BadSignature},
    {"signed attributes after the signature algorithm",
     [] {
         return TableOf([](SignatureParts& parts) { std::swap(parts.signer[3], parts.signer[4]); });
     },
     SlotStatus::BadSignature},
    {"an element after the unsigned attributes",
     [] { return TableOf([](SignatureParts& parts) { parts.signer.push_back(Der(0x05, {})); }); },
     SlotStatus::BadSignature},
    {"wrong content type",
     [] {
         Bytes table = TableOf([](SignatureParts&) {});
         table[8 + 4 + 2 + 8] ^= 1;  // the last byte of the type's OID
         return table;
     },
     SlotStatus::BadSignature},
    {"value two strings",
     [] {
         return TableOf([](SignatureParts& parts) {
             parts.signer[kAttributes] = Der(
                 0xA1, testing::Attribute(
                           testing::kSlotTypeOid,
                           testing::Concat({Der(0x0C, testing::SlotContent()), Der(0x0C, {})})));
         });
     },
     SlotStatus::BadSlot},
    {"value an octet string",
     [] {
         return TableOf([](SignatureParts& parts) {
             parts.signer[kAttributes] =
                 Der(0xA1,
                     testing::Attribute(testing::kSlotTypeOid, Der(0x04, testing::SlotContent())));
         });
     },
     SlotStatus::BadSlot},
    {"no begin marker",
     [] {
         return TableOf([](SignatureParts& parts) {
             Bytes content = testing::SlotContent();
             content[3] = '+';
             parts.signer[kAttributes] = Der(0xA1, testing::SlotAttribute(content));
         });
     },
     SlotStatus::BadSlot},
    // Lengths: truncated, overlong, indefinite, not minimal.
    {"table cut short",
     [] {
         Bytes table = TableOf([](SignatureParts&) {});
         table.resize(table.size() - 16);
         return table;
     },
     SlotStatus::NotOneEntry},
    {"entry and table cut short alike",
     [] {
         const Bytes der = Signature(SignatureParts{});
         return CertificateTable(Bytes(der.begin(), der.end() - 20));
     },
     SlotStatus::BadSignature},
    {"string longer than its set",
     [] {
         Bytes content = testing::SlotContent(20);
         return TableOf([&](SignatureParts& parts) {
             Bytes values = Der(0x0C, content);
             values[1] = 21;
             parts.signer[kAttributes] =
                 Der(0xA1, testing::Attribute(testing::kSlotTypeOid, values));
         });
     },
     SlotStatus::BadSlot},
    {"attribute set longer than the attribute",
     [] {
         return TableOf([](SignatureParts& parts) {
             Bytes attribute = testing::SlotAttribute(testing::SlotContent(40));
             attribute[2 + 13 + 1] += 1;  // the set's short length
             parts.signer[kAttributes] = Der(0xA1, attribute);
         });
     },
     SlotStatus::BadSignature},
    {"indefinite length",
     [] {
         return TableOf([](SignatureParts& parts) { parts.signedData[0] = {0x02, 0x80, 1, 0, 0}; });
     },
     SlotStatus::BadSignature},
    {"length not minimal",
     [] {
         return TableOf([](SignatureParts& parts) { parts.signedData[0] = {0x02, 0x81, 1, 1}; });
     },
     SlotStatus::BadSignature},
    {"length of four bytes",
     [] {
         return TableOf(
             [](SignatureParts& parts) { parts.signedData[0] = {0x02, 0x84, 0, 0, 0, 1, 1}; });
     },
     SlotStatus::BadSignature},
    // The entry around the signature.
    {"bytes other than zero after the signature",
     [] {
         SignatureParts parts;
         Bytes der = Signature(parts);
         der.push_back(0);
         der.push_back(0x41);
         return CertificateTable(der);
     },
     SlotStatus::Padding},
    {"zero bytes after the signature",
     [] {
         return CertificateTable(testing::Concat({Signature({}), Bytes(9, 0)}));
     },
     SlotStatus::Found},
    {"a second entry",
     [] {
         const Bytes one = TableOf([](SignatureParts&) {});
         return testing::Concat({one, one});
     },
     SlotStatus::NotOneEntry},
    {"revision 0x0100",
     [] {
         Bytes table = TableOf([](SignatureParts&) {});
         table[5] = 0x01;
         return table;
     },
     SlotStatus::NotOneEntry},
    {"type 1",
     [] {
         Bytes table = TableOf([](SignatureParts&) {});
         table[6] = 0x01;
         return table;
     },
     SlotStatus::NotOneEntry},
    {"header only", [] { return CertificateTable({}); }, SlotStatus::NotOneEntry},
};

TEST(CampaignStampTest, FindsTheSlotOnlyInTheFirstSignersUnsignedAttributes) {
    const Bytes content = testing::SlotContent();
    for (const WalkCase& row : kWalkCases) {
        SCOPED_TRACE(row.name);
        const Bytes table = row.table();
        StampSlot slot;
        ASSERT_EQ(FindStampSlot(table.data(), static_cast<std::uint32_t>(table.size()), slot),
                  row.expected);
        if (row.expected != SlotStatus::Found) continue;
        const auto at = std::search(table.begin(), table.end(), content.begin(), content.end());
        ASSERT_NE(at, table.end());
        EXPECT_EQ(slot.contentOffset, at - table.begin());
        EXPECT_EQ(slot.contentSize, content.size());
        EXPECT_EQ(slot.areaOffset, slot.contentOffset + 16);
        EXPECT_EQ(slot.areaSize, content.size() - 16 - 15);
    }
}

TEST(CampaignStampTest, StampAreaEndsAtTheLastEndMarkerOrTheContentsEnd) {
    struct Row {
        Bytes content;
        std::uint32_t areaSize;
    };
    Bytes twoMarkers = testing::StampedContent("---END_BLOB---", 64);
    Bytes noEnd(40, 0);
    std::copy_n(kSlotBeginMarker, kSlotBeginMarkerSize, noEnd.begin());
    const Row rows[] = {{twoMarkers, 64 - 16 - 15},
                        {noEnd, 40 - 16},
                        {Bytes(kSlotBeginMarker, kSlotBeginMarker + 16), 0}};
    for (const Row& row : rows) {
        SignatureParts parts;
        parts.signer[kAttributes] = Der(0xA1, testing::SlotAttribute(row.content));
        const Bytes table = CertificateTable(Signature(parts));
        StampSlot slot;
        ASSERT_EQ(FindStampSlot(table.data(), static_cast<std::uint32_t>(table.size()), slot),
                  SlotStatus::Found);
        EXPECT_EQ(slot.areaSize, row.areaSize);
    }
}

TEST(CampaignStampTest, ReadsOnlyAStampWithinTheGrammar) {
    struct Row {
        std::string area;
        StampStatus expected;
    };
    const std::string longest = "n=" + std::string(198, 'v');
    const Row rows[] = {
        {"", StampStatus::Unstamped},
        {"wrapper-campaign:utm_source=mail", StampStatus::Stamped},
        {"wrapper-campaign:a=1&b.c-d_e=x.y_z~-%2F%aF&Z9=0", StampStatus::Stamped},
        {"wrapper-campaign:" + longest, StampStatus::Stamped},
        {"wrapper-campaign:" + longest + "v", StampStatus::Invalid},  // 201 bytes
        {"wrapper-campaign:" + std::string(32, 'n') + "=v", StampStatus::Stamped},
        {"wrapper-campaign:" + std::string(33, 'n') + "=v", StampStatus::Invalid},
        {"wrapper-campaign:", StampStatus::Invalid},              // no text
        {"wrapper-campaign:a=1&a=2", StampStatus::Invalid},       // name twice
        {"wrapper-campaign:ab=1&a=2&b=3", StampStatus::Stamped},  // prefixes differ
        {"wrapper-campaign:a=1&b=2&b=3", StampStatus::Invalid},
        {"wrapper-campaign:a=", StampStatus::Invalid},
        {"wrapper-campaign:=1", StampStatus::Invalid},
        {"wrapper-campaign:a", StampStatus::Invalid},
        {"wrapper-campaign:a=1&", StampStatus::Invalid},
        {"wrapper-campaign:a=1&&b=2", StampStatus::Invalid},
        {"wrapper-campaign:a=1=2", StampStatus::Invalid},
        {"wrapper-campaign:a=%2", StampStatus::Invalid},
        {"wrapper-campaign:a=%G0", StampStatus::Invalid},
        {"wrapper-campaign:a=b c", StampStatus::Invalid},
        {"wrapper-campaign:a~=1", StampStatus::Invalid},  // ~ in a name
        {"wrapper-campaign:a=1?", StampStatus::Invalid},
        {"wrapper-campaign:a=\xC3\xA9", StampStatus::Invalid},
        {std::string("wrapper-campaign:a=1\0x", 22), StampStatus::Invalid},  // after the text
        {"wrapper-campaigm:a=1", StampStatus::Invalid},
        {std::string("\0\0x", 3), StampStatus::Invalid},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.area);
        Bytes area(100 + 17 + 200, 0);
        std::copy(row.area.begin(), row.area.end(), area.begin());
        TextView text = {};
        ASSERT_EQ(ReadStamp(area.data(), static_cast<std::uint32_t>(area.size()), text),
                  row.expected);
        if (row.expected == StampStatus::Stamped) {
            EXPECT_EQ(std::string(text.data, text.length), row.area.substr(17));
        }
    }
}

TEST(CampaignStampTest, AStampThatFillsTheAreaExactlyIsRead) {
    const std::string area = "wrapper-campaign:a=1";
    TextView text = {};
    EXPECT_EQ(ReadStamp(reinterpret_cast<const unsigned char*>(area.data()),
                        static_cast<std::uint32_t>(area.size()), text),
              StampStatus::Stamped);
    EXPECT_EQ(std::string(text.data, text.length), "a=1");
    EXPECT_EQ(ReadStamp(reinterpret_cast<const unsigned char*>(area.data()), 10, text),
              StampStatus::Invalid);
}

}  // namespace
}  // namespace wrapper::package
