#include "PeImage.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using packagebuilder::PeVerdict;
using tooltest::Bytes;

packagebuilder::PeInfo Read(const Bytes& bytes, std::uint64_t start = 0,
                            std::optional<std::uint64_t> length = {}) {
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    return packagebuilder::ReadPeInfo(in, start, length.value_or(bytes.size() - start));
}

Bytes WithLfanew(Bytes bytes, std::uint32_t lfanew) {
    for (int i = 0; i < 4; ++i) bytes[0x3C + i] = static_cast<std::uint8_t>(lfanew >> (8 * i));
    return bytes;
}

TEST(PeImage, TellsExecutablesFromOtherBytes) {
    const Bytes exe = tooltest::MinimalExecutable(1024);
    Bytes noSignature = exe;
    noSignature[0x41] = 'X';  // "PX\0\0"
    Bytes mzOnly(64, 0);
    mzOnly[0] = 'M';
    mzOnly[1] = 'Z';
    const struct {
        const char* name;
        Bytes bytes;
        PeVerdict verdict;
    } rows[] = {
        {"executable", exe, PeVerdict::Executable},
        {"64-bit executable", tooltest::MinimalExecutable64(1024), PeVerdict::Executable},
        {"empty", {}, PeVerdict::Empty},
        {"one byte", {'M'}, PeVerdict::NoMzHeader},
        {"MZ but shorter than the MZ header", {'M', 'Z', 0, 0}, PeVerdict::NoMzHeader},
        {"text", Bytes(100, 'a'), PeVerdict::NoMzHeader},
        {"e_lfanew points at zeros", mzOnly, PeVerdict::NoPeSignature},
        {"wrong signature", noSignature, PeVerdict::NoPeSignature},
        {"e_lfanew past the end", WithLfanew(exe, 1022), PeVerdict::NoPeSignature},
        {"e_lfanew far past the end", WithLfanew(exe, 0xFFFFFFF0u), PeVerdict::NoPeSignature},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Read(row.bytes).verdict, row.verdict);
    }
}

TEST(PeImage, FindsTheCertificateTableInBothHeaderKinds) {
    const tooltest::CertificateEntry entry{5000, 1432};
    for (const Bytes& exe :
         {tooltest::MinimalExecutable(1024, entry), tooltest::MinimalExecutable64(1024, entry)}) {
        const auto info = Read(exe);
        ASSERT_TRUE(info.certificateTable.has_value());
        EXPECT_EQ(info.certificateTable->offset, 5000u);
        EXPECT_EQ(info.certificateTable->size, 1432u);
    }
    EXPECT_FALSE(Read(tooltest::MinimalExecutable(1024)).certificateTable.has_value());
}

TEST(PeImage, ReadsOnlyWithinTheRegion) {
    // A payload inside a package: the headers are read relative to the region's start.
    const Bytes launcher(3000, 0x11);
    const Bytes payload = tooltest::MinimalExecutable(1024);
    const Bytes package = tooltest::Concat({&launcher, &payload});
    EXPECT_EQ(Read(package, 3000).verdict, PeVerdict::Executable);
    EXPECT_EQ(Read(package, 0, 3000).verdict, PeVerdict::NoMzHeader);
    // The signature lies past the region's end: not this region's executable.
    EXPECT_EQ(Read(package, 3000, 0x43).verdict, PeVerdict::NoPeSignature);
}

}  // namespace
