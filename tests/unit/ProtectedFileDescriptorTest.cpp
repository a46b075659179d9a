#include "platform/win32/ProtectedFileDescriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

// The extracted installer's ready-made security descriptor, read back the way the system
// reads a self-relative descriptor and written out in the system's text form. A byte out of
// place would make every extraction fail (the system refuses a malformed descriptor) or,
// worse, grant what it should not.
namespace wrapper::platform::win32 {
namespace {

std::uint32_t U16(std::size_t at) {
    return kProtectedFileDescriptor[at] | kProtectedFileDescriptor[at + 1] << 8;
}

std::uint32_t U32(std::size_t at) { return U16(at) | U16(at + 2) << 16; }

// "S-1-5-32-544" for the SID at `at`; its length in `size`.
std::string SidText(std::size_t at, std::size_t& size) {
    const std::uint32_t count = kProtectedFileDescriptor[at + 1];
    std::uint64_t authority = 0;
    for (std::size_t i = 0; i < 6; ++i) authority = authority << 8 | kProtectedFileDescriptor[at + 2 + i];
    std::string text = "S-" + std::to_string(kProtectedFileDescriptor[at]) + "-" +
                       std::to_string(authority);
    for (std::uint32_t i = 0; i < count; ++i) text += "-" + std::to_string(U32(at + 8 + 4 * i));
    size = 8 + 4 * count;
    return text;
}

// The descriptor in the text form, with the abbreviations the system uses for these SIDs
// and rights; anything else is spelled out so that it shows in a failure.
std::string DescriptorText() {
    const std::map<std::string, std::string> sids = {
        {"S-1-5-18", "SY"}, {"S-1-5-32-544", "BA"}, {"S-1-1-0", "WD"}, {"S-1-3-4", "OW"}};
    const std::map<std::uint32_t, std::string> rights = {
        {0x001F01FF, "FA"}, {0xA0000000, "GRGX"}};
    constexpr std::uint32_t kSelfRelative = 0x8000, kDaclProtected = 0x1000, kDaclPresent = 0x4;

    std::string text;
    if (kProtectedFileDescriptor[0] != 1) text += "[revision " + std::to_string(kProtectedFileDescriptor[0]) + "]";
    const std::uint32_t control = U16(2);
    if ((control & kSelfRelative) == 0) text += "[absolute]";
    if (U32(4) != 0) text += "O:?";
    if (U32(8) != 0) text += "G:?";
    if (U32(12) != 0) text += "S:?";
    if ((control & kDaclPresent) == 0) return text + "[no DACL]";
    if ((control & ~(kSelfRelative | kDaclProtected | kDaclPresent)) != 0) text += "[control]";
    text += (control & kDaclProtected) != 0 ? "D:P" : "D:";

    const std::size_t acl = U32(16);
    const std::uint32_t aclSize = U16(acl + 2);
    const std::uint32_t aceCount = U16(acl + 4);
    if (kProtectedFileDescriptor[acl] != 2) text += "[ACL revision]";
    if (acl + aclSize != sizeof kProtectedFileDescriptor) {
        text += "[ACL of " + std::to_string(aclSize) + " bytes at " + std::to_string(acl) + "]";
        return text;
    }
    std::size_t at = acl + 8;
    for (std::uint32_t i = 0; i < aceCount && at + 8 <= sizeof kProtectedFileDescriptor; ++i) {
        const std::uint32_t type = kProtectedFileDescriptor[at];
        const std::uint32_t flags = kProtectedFileDescriptor[at + 1];
        const std::uint32_t aceSize = U16(at + 2);
        const std::uint32_t mask = U32(at + 4);
        std::size_t sidSize = 0;
        const std::string sid = SidText(at + 8, sidSize);
        text += "(" + std::string(type == 0 ? "A" : "type" + std::to_string(type)) + ";" +
                (flags == 0 ? "" : std::to_string(flags)) + ";" +
                (rights.count(mask) != 0 ? rights.at(mask) : std::to_string(mask)) + ";;;" +
                (sids.count(sid) != 0 ? sids.at(sid) : sid) + ")";
        if (aceSize != 8 + sidSize) text += "[entry of " + std::to_string(aceSize) + " bytes]";
        at += aceSize;
    }
    if (at != sizeof kProtectedFileDescriptor) text += "[" + std::to_string(at) + " bytes used]";
    return text;
}

TEST(ProtectedFileDescriptor, ReadsBackAsTheProtectedListOfFourEntries) {
    EXPECT_EQ(DescriptorText(), "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;GRGX;;;WD)(A;;GRGX;;;OW)");
}

}  // namespace
}  // namespace wrapper::platform::win32
