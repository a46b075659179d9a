#include "platform/win32/ProtectedFileDescriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

// The extracted installer's ready-made security descriptor, read back as the system reads a
// self-relative descriptor and written out in the system's text form. A byte out of place
// would make every extraction fail (the system refuses a malformed descriptor) or grant
// what it should not.
namespace wrapper::platform::win32 {
namespace {

const std::uint8_t* const kBytes = kProtectedFileDescriptor;
constexpr std::size_t kSize = sizeof kProtectedFileDescriptor;

std::uint32_t U16(std::size_t at) { return kBytes[at] | kBytes[at + 1] << 8; }
std::uint32_t U32(std::size_t at) { return U16(at) | U16(at + 2) << 16; }

// "S-1-5-32-544" for the SID at `at`, spelled as the text form abbreviates it where it does.
std::string Sid(std::size_t at) {
    std::uint64_t authority = 0;  // six bytes, most significant first
    for (std::size_t i = 2; i < 8; ++i) authority = authority << 8 | kBytes[at + i];
    std::string text = "S-" + std::to_string(kBytes[at]) + "-" + std::to_string(authority);
    for (std::uint32_t i = 0; i < kBytes[at + 1]; ++i) {
        text += "-" + std::to_string(U32(at + 8 + 4 * i));
    }
    const std::map<std::string, std::string> known = {
        {"S-1-5-18", "SY"}, {"S-1-5-32-544", "BA"}, {"S-1-1-0", "WD"}, {"S-1-3-4", "OW"}};
    return known.count(text) != 0 ? known.at(text) : text;
}

std::string Rights(std::uint32_t mask) {
    return mask == 0x001F01FF ? "FA" : mask == 0xA0000000 ? "GRGX" : std::to_string(mask);
}

// Anything but a DACL in a self-relative descriptor, and any size that does not add up,
// shows in the text.
std::string DescriptorText() {
    std::string text = "revision " + std::to_string(kBytes[0]) + ", control " +
                       std::to_string(U16(2)) + ", owner " + std::to_string(U32(4)) +
                       ", group " + std::to_string(U32(8)) + ", SACL " + std::to_string(U32(12));
    const std::size_t acl = U32(16);
    text += ", ACL revision " + std::to_string(kBytes[acl]) + ": D:";
    std::size_t at = acl + 8;
    for (std::uint32_t i = 0; i < U16(acl + 4) && at + 8 < kSize; ++i) {
        // Type 0 is "allowed"; the flags would follow the first ";".
        text += "(" + std::to_string(kBytes[at]) + ";" + std::to_string(kBytes[at + 1]) + ";" +
                Rights(U32(at + 4)) + ";;;" + Sid(at + 8) + ")";
        if (U16(at + 2) != 16u + 4u * kBytes[at + 9]) text += "[entry size]";
        at += U16(at + 2);
    }
    if (at != kSize || acl + U16(acl + 2) != kSize) text += "[ACL size]";
    return text;
}

TEST(ProtectedFileDescriptor, ReadsBackAsTheProtectedListOfFourEntries) {
    // Control 0x9004: self-relative, DACL protected, DACL present.
    EXPECT_EQ(DescriptorText(),
              "revision 1, control 36868, owner 0, group 0, SACL 0, ACL revision 2: "
              "D:(0;0;FA;;;SY)(0;0;FA;;;BA)(0;0;GRGX;;;WD)(0;0;GRGX;;;OW)");
}

}  // namespace
}  // namespace wrapper::platform::win32
