#include "tools/package/PeImage.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

namespace tools = wrapper::tools;

namespace {

using tools::package::PeVerdict;
using tooltest::Bytes;

tools::package::PeInfo Read(const Bytes& bytes, std::uint64_t start = 0,
                            std::optional<std::uint64_t> length = {}) {
    tools::host::MemorySource source(bytes);
    return tools::package::ReadPeInfo(source, start, length.value_or(bytes.size() - start));
}

using wrapper::testing::Put32;

Bytes WithLfanew(Bytes bytes, std::uint32_t lfanew) {
    Put32(bytes, 0x3C, lfanew);
    return bytes;
}

Bytes Patched16(Bytes bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
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

TEST(PeImage, ReadsMachineAndWhetherItIsADll) {
    const struct {
        const char* name;
        tooltest::ExecutableDesign design;
        std::uint16_t machine;
        bool dll;
        std::string machineName;
    } rows[] = {
        {"x86 program", {}, 0x14C, false, "x86 (0x014C)"},
        {"x64 program", {.wide = true}, 0x8664, false, "x64 (0x8664)"},
        {"x86 DLL", {.dll = true}, 0x14C, true, "x86 (0x014C)"},
        {"ARM64 program", {.wide = true, .machine = 0xAA64}, 0xAA64, false, "ARM64 (0xAA64)"},
        {"unknown machine", {.machine = 0x1234}, 0x1234, false, "0x1234"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto info = Read(tooltest::Executable(row.design));
        EXPECT_EQ(info.machine, row.machine);
        EXPECT_EQ(info.IsDll(), row.dll);
        EXPECT_EQ(tools::package::MachineName(info.machine), row.machineName);
    }
}

// What Windows needs to start a program: whole headers, the executable flag, a subsystem.
TEST(PeImage, ReadsWhatWindowsNeedsToStartIt) {
    constexpr std::size_t kCharacteristics = 0x40 + 4 + 18;
    constexpr std::size_t kOptionalSize = 0x40 + 4 + 16;
    constexpr std::size_t kOptional = 0x58;
    const struct {
        const char* name;
        Bytes bytes;
        std::optional<std::size_t> length;  // of the region read
        std::optional<std::uint16_t> subsystem;
        bool executable;
    } rows[] = {
        {"console program", tooltest::MinimalExecutable(1024), {}, 3, true},
        {"PE32+ console program", tooltest::MinimalExecutable64(1024), {}, 3, true},
        {"GUI program", Patched16(tooltest::MinimalExecutable(1024), kOptional + 68, 2), {}, 2,
         true},
        {"no executable flag", Patched16(tooltest::MinimalExecutable(1024), kCharacteristics, 0x100),
         {}, 3, false},
        {"cut short before the subsystem", tooltest::MinimalExecutable(1024), kOptional + 69, {},
         true},
        {"cut short inside the optional header", tooltest::MinimalExecutable(1024),
         kOptional + 200, {}, true},
        {"optional header too short to hold it",
         Patched16(tooltest::MinimalExecutable(1024), kOptionalSize, 68), {}, {}, true},
        {"optional header of an unknown form", Patched16(tooltest::MinimalExecutable(1024),
                                                         kOptional, 0x107),
         {}, {}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto info = Read(row.bytes, 0, row.length);
        EXPECT_EQ(info.verdict, PeVerdict::Executable);
        EXPECT_EQ(info.subsystem, row.subsystem);
        EXPECT_EQ(info.IsExecutableImage(), row.executable);
    }
}

TEST(PeImage, FindsTheCertificateTableAndTheFieldsSigningLeavesOut) {
    const tooltest::CertificateEntry entry{5000, 1432};
    const struct {
        Bytes bytes;
        std::uint64_t directories;  // where the data directory starts
    } rows[] = {{tooltest::MinimalExecutable(1024, entry), 0x58 + 96},
                {tooltest::MinimalExecutable64(1024, entry), 0x58 + 112}};
    for (const auto& row : rows) {
        const auto info = Read(row.bytes);
        ASSERT_TRUE(info.certificateTable.has_value());
        EXPECT_EQ(info.certificateTable->offset, 5000u);
        EXPECT_EQ(info.certificateTable->size, 1432u);
        EXPECT_EQ(info.checksumOffset, 0x58u + 64);
        EXPECT_EQ(info.certificateEntryOffset, row.directories + 4 * 8);
    }
    EXPECT_FALSE(Read(tooltest::MinimalExecutable(1024)).certificateTable.has_value());
}

TEST(PeImage, ReadsTheVersionResource) {
    const tooltest::VersionStrings strings{"wrapper", "0.1.0", "Self-extracting package launcher"};
    for (const bool wide : {false, true}) {
        SCOPED_TRACE(wide ? "PE32+" : "PE32");
        const auto info = Read(tooltest::Executable({.wide = wide, .version = strings}));
        ASSERT_TRUE(info.version.has_value());
        EXPECT_EQ(info.version->productName, "wrapper");
        EXPECT_EQ(info.version->productVersion, "0.1.0");
        EXPECT_EQ(info.version->fileDescription, "Self-extracting package launcher");
        ASSERT_TRUE(info.version->fileVersion.has_value());
        EXPECT_EQ(tools::package::VersionText(*info.version->fileVersion), "1.2.3.4");
    }
    EXPECT_FALSE(Read(tooltest::MinimalExecutable(4096)).version.has_value());
}

// A version resource whose offsets or lengths lead outside what holds them is no version
// resource; the reading stays within the region and the executable stays an executable.
TEST(PeImage, VersionResourceWithBrokenOffsetsIsNotRead) {
    const Bytes good =
        tooltest::Executable({.version = tooltest::VersionStrings{"wrapper", "1", ""}});
    constexpr std::size_t kDirectory = 0x58 + 96;  // PE32 data directory
    constexpr std::size_t kRsrcHeader = 0x58 + 224 + 40;
    constexpr std::size_t kRaw = 0x400;  // the resource section's file offset
    const struct {
        const char* name;
        std::size_t at;
        std::uint32_t value;
    } rows[] = {
        {"resource directory beyond every section", kDirectory + 16, 0x9000},
        {"resource directory size 4", kDirectory + 20, 4},
        {"section raw data past the end of the file", kRsrcHeader + 20, 0x7FFFFFF0},
        {"section raw data too short for the data", kRsrcHeader + 16, 0x60},
        {"type entry leads outside the tree", kRaw + 20, 0x80FFFFF0},
        {"name entry is data, not a directory", kRaw + 20, 0x18},
        {"language entry is a directory", kRaw + 0x30 + 20, 0x80000000},
        {"data entry beyond the tree", kRaw + 0x30 + 20, 0xFFF0},
        {"data size beyond the section", kRaw + 0x4C, 0x100000},
        {"data address outside every section", kRaw + 0x48, 0x50000},
        {"entry counts run past the tree", kRaw + 12, 0xFFFFFFFF},
        {"root node longer than the data", kRaw + 0x58, 0xFFFF},
        {"root node shorter than its header", kRaw + 0x58, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes bytes = good;
        if (row.at + 4 <= bytes.size()) Put32(bytes, row.at, row.value);
        const auto info = Read(bytes);
        EXPECT_EQ(info.verdict, PeVerdict::Executable);
        EXPECT_FALSE(info.version.has_value()) << "read \"" << info.version->productName << "\"";
    }
    // Cut short anywhere, it reads without a fault (the sanitizer build checks the bounds).
    for (std::size_t length = 0; length <= good.size(); length += 7) {
        Read(good, 0, length);
    }
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
