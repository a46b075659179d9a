#include "FakePlatform.h"
#include "FakeFacts.h"
#include "PackageModel.h"
#include "package/PayloadExtractor.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace wrapper {
namespace {

using fake::Call;
using package::kCopyBufferSize;
using package::kPathCapacity;
using platform::SeekOrigin;

using fake::kOwnPath;
// The fake's temporary directory and clock, and the name they give.
constexpr const char16_t* kExpectedPath = fake::kInstallerPath;

std::string Narrow(const std::u16string& text) { return {text.begin(), text.end()}; }

TEST(TempInstallerName, GeneratorDrawsTheFirstValueOfTheClassicSequence) {
    struct Row {
        std::uint32_t seed;
        std::uint32_t value;
    };
    // Worked out by hand from state = seed * 214013 + 2531011 (mod 2^32), value = bits 16..30.
    const Row rows[] = {
        {0, 38},         {1, 41},        {2, 45},          {3, 48},
        {12345, 7584},   {0x80000000u, 38},  // bit 31 of the state is dropped
        {0xFFFFFFFFu, 35}, {1'700'000'000, 28462},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.seed);
        EXPECT_EQ(package::DrawTempNumber(row.seed), row.value);
    }
}

// Installers see the doubled separator they always have; a path with the \\?\ prefix is
// taken literally by the system, and a doubled separator there names no file.
TEST(TempInstallerName, PathDoublesTheSeparatorAfterAnOrdinaryDirectoryOnly) {
    struct Row {
        std::u16string directory;
        std::uint32_t number;
        std::u16string expected;
    };
    const Row rows[] = {
        {u"C:\\T\\", 38, u"C:\\T\\\\Zorvik38.exe"},
        {u"C:\\T\\", 0, u"C:\\T\\\\Zorvik0.exe"},
        {u"C:\\T\\", 7, u"C:\\T\\\\Zorvik7.exe"},
        {u"C:\\T\\", 32767, u"C:\\T\\\\Zorvik32767.exe"},
        {u"D:\\Temp Dir\\\u00e9\u4e2d\\", 1000, u"D:\\Temp Dir\\\u00e9\u4e2d\\\\Zorvik1000.exe"},
        // Any 32-bit number is written in full, though the generator stays below 32768.
        {u"C:\\T\\", 99999999, u"C:\\T\\\\Zorvik99999999.exe"},
        {u"C:\\T\\", 4294967295u, u"C:\\T\\\\Zorvik4294967295.exe"},
        {u"\\\\?\\C:\\T\\", 38, u"\\\\?\\C:\\T\\Zorvik38.exe"},
        {u"\\\\?\\UNC\\srv\\t\\", 38, u"\\\\?\\UNC\\srv\\t\\Zorvik38.exe"},
        {u"\\\\?\\C:\\T", 38, u"\\\\?\\C:\\T\\Zorvik38.exe"},
        {u"\\\\.\\C:\\T\\", 38, u"\\\\.\\C:\\T\\\\Zorvik38.exe"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << Narrow(row.directory) << " " << row.number);
        char16_t path[kPathCapacity];
        ASSERT_TRUE(package::FormatTempInstallerPath(row.directory.c_str(), row.number, path));
        EXPECT_EQ(std::u16string(path), row.expected);
    }
}

// No program can be started from a path of 260 units or more, so none is formed.
TEST(TempInstallerName, PathLongerThan259UnitsIsRefusedAndLeftEmpty) {
    // The name adds "\Zorvik" (7 units), the digits and ".exe" (4) to the directory.
    struct Row {
        std::uint32_t directoryLength;
        std::uint32_t number;
        bool fits;
    };
    const Row rows[] = {
        {243, 12345, true}, {244, 12345, false}, {246, 38, true},   {247, 38, false},
        {247, 0, true},     {248, 0, false},     {495, 12345, false}, {600, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.directoryLength << " units, " << row.number);
        const std::u16string directory =
            u"C:\\" + std::u16string(row.directoryLength - 4, u'd') + u"\\";
        char16_t path[kPathCapacity];
        std::fill(std::begin(path), std::end(path), u'#');
        EXPECT_EQ(package::FormatTempInstallerPath(directory.c_str(), row.number, path), row.fits);
        if (row.fits) {
            EXPECT_EQ(std::u16string(path).size(), package::kMaxStartablePathLength);
        } else {
            EXPECT_EQ(path[0], u'\0');
        }
    }
}

// A package on a fresh fake machine, opened and positioned at the payload's first byte,
// as ReadTrailer leaves it.
struct Extraction {
    fake::FakePlatform machine;
    std::vector<std::uint8_t> package;
    std::int64_t payloadStart = 0;
    platform::UniqueFile own;
    char16_t path[kPathCapacity] = {};
    bool created = false;
    platform::FileIdentity identity;

    explicit Extraction(const std::vector<std::uint8_t>& payload) {
        testing::PackageParts parts;
        parts.payload = payload;
        package = testing::BuildPackage(parts);
        payloadStart = static_cast<std::int64_t>(parts.launcher.size());
        machine.files.AddFile(kOwnPath, package);
        own = platform::UniqueFile(machine.files, machine.files.OpenForReading(kOwnPath));
        machine.files.Seek(own.Get(), payloadStart, SeekOrigin::Begin, nullptr);
    }

    ResultCode Run(std::uint64_t payloadSize) {
        return package::ExtractPayload(machine.files, machine.clock, own.Get(), payloadSize, path,
                                       created, identity);
    }

    std::vector<std::uint8_t> PackageBytes(std::uint64_t count) const {
        const auto begin = package.begin() + payloadStart;
        return {begin, begin + static_cast<std::ptrdiff_t>(count)};
    }

    std::int64_t OwnPosition() {
        std::int64_t position = -1;
        machine.files.Seek(own.Get(), 0, SeekOrigin::Current, &position);
        return position;
    }

    std::size_t FileCount() const { return machine.files.Paths().size(); }
};

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i % 251 + i / 997);
    return bytes;
}

TEST(PayloadExtractor, CopiesThePayloadInWholeBuffersToTheDrawnName) {
    struct Row {
        std::uint32_t size;
        std::uint32_t calls;  // reads, and as many writes
    };
    const Row rows[] = {
        {0, 0},
        {1, 1},
        {kCopyBufferSize - 1, 1},
        {kCopyBufferSize, 1},
        {kCopyBufferSize + 1, 2},
        {2 * kCopyBufferSize, 2},
        {5 * kCopyBufferSize, 5},
        {5 * kCopyBufferSize + 7, 6},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        Extraction x(Pattern(row.size));

        ASSERT_EQ(x.Run(row.size), kSuccess);
        EXPECT_TRUE(x.created);
        EXPECT_EQ(std::u16string(x.path), kExpectedPath);
        EXPECT_EQ(x.machine.files.Bytes(x.path), x.PackageBytes(row.size));
        EXPECT_EQ(x.machine.log.Count(Call::Read), row.calls);
        EXPECT_EQ(x.machine.log.Count(Call::Write), row.calls);
        // Not one byte past the payload was read.
        EXPECT_EQ(x.OwnPosition(), x.payloadStart + row.size);
        EXPECT_EQ(x.machine.files.OpenHandles(), 1u);  // the own file only
    }
}

TEST(PayloadExtractor, ShortReadsAreContinuedUntilThePayloadIsComplete) {
    const auto payload = Pattern(3 * kCopyBufferSize);
    Extraction x(payload);
    x.machine.files.LimitRead(1, 100);
    x.machine.files.LimitRead(2, 1);
    x.machine.files.LimitRead(4, kCopyBufferSize - 1);

    ASSERT_EQ(x.Run(payload.size()), kSuccess);
    EXPECT_EQ(x.machine.files.Bytes(x.path), payload);
    EXPECT_EQ(x.OwnPosition(), x.payloadStart + static_cast<std::int64_t>(payload.size()));
}

// The two steps extraction is made of, on their own, as the tools and the benchmark use
// them: choosing the name touches no file; the copy goes wherever the target file stands.
TEST(PayloadExtractor, StepsChooseWithoutCreatingAndCopyIntoAnyOpenFile) {
    Extraction x(Pattern(kCopyBufferSize + 3));
    char16_t path[kPathCapacity] = u"stale";
    ASSERT_EQ(package::ChooseInstallerPath(x.machine.files, x.machine.clock, path), kSuccess);
    EXPECT_EQ(std::u16string(path), kExpectedPath);
    EXPECT_EQ(x.machine.log.Count(Call::CreateNew), 0u);
    EXPECT_EQ(x.FileCount(), 1u);

    const platform::UniqueFile target(x.machine.files, x.machine.files.CreateNew(u"C:\\out.bin"));
    ASSERT_EQ(package::CopyPayload(x.machine.files, x.own.Get(), kCopyBufferSize + 3, target.Get()),
              kSuccess);
    EXPECT_EQ(x.machine.files.Bytes(u"C:\\out.bin"), x.PackageBytes(kCopyBufferSize + 3));
    // Both stay open for the caller.
    EXPECT_EQ(x.machine.files.OpenHandles(), 2u);
    // Past the end of the package the copy is short: a failure, whatever was copied.
    EXPECT_EQ(package::CopyPayload(x.machine.files, x.own.Get(), 1'000'000, target.Get()),
              kPayloadCopyFailed);
}

TEST(PayloadExtractor, NoTemporaryDirectoryCreatesNothing) {
    Extraction x({'M', 'Z'});
    x.machine.log.Fail(Call::GetTempDirectory);
    EXPECT_EQ(x.Run(2), kTempDirectoryFailed);
    EXPECT_FALSE(x.created);
    EXPECT_EQ(x.path[0], u'\0');
    EXPECT_EQ(x.machine.log.Count(Call::CreateNew), 0u);
    EXPECT_EQ(x.FileCount(), 1u);
}

// The directory as the system reports it into a 512-unit buffer: the fake, like the
// system, answers a directory that does not fit with the size it would need.
TEST(PayloadExtractor, TemporaryDirectoryLengthDecidesAtTheFullPathLimit) {
    struct Row {
        std::uint32_t directoryLength;
        std::uint64_t seconds;
        ResultCode expected;
    };
    const Row rows[] = {
        {243, 1'700'000'000, kSuccess},  // 28462: 243 + 16 = 259 units
        {244, 1'700'000'000, kTempDirectoryFailed},  // 260 units: no program starts there
        {246, 0, kSuccess},  // 38: 246 + 13 = 259 units
        {247, 0, kTempDirectoryFailed},
        {495, 1'700'000'000, kTempDirectoryFailed},  // what the path buffer would still hold
        {511, 0, kTempDirectoryFailed},  // fits the buffer, but not with the name
        {512, 0, kTempDirectoryFailed},  // reported as 513 needed
        {600, 0, kTempDirectoryFailed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.directoryLength << " units");
        Extraction x({'M', 'Z'});
        const std::u16string directory =
            u"C:\\" + std::u16string(row.directoryLength - 4, u't') + u"\\";
        x.machine.files.SetTempDirectory(directory);
        x.machine.clock.seconds = row.seconds;

        EXPECT_EQ(x.Run(2), row.expected);
        EXPECT_EQ(x.created, row.expected == kSuccess);
        if (row.expected == kSuccess) {
            const std::u16string path = x.path;
            EXPECT_EQ(path.size(), package::kMaxStartablePathLength);
            EXPECT_EQ(path.substr(0, directory.size() + 7), directory + u"\\Zorvik");
            EXPECT_EQ(x.machine.files.Bytes(path), x.PackageBytes(2));
        } else {
            EXPECT_EQ(x.path[0], u'\0');
            EXPECT_EQ(x.machine.log.Count(Call::CreateNew), 0u);
            EXPECT_EQ(x.FileCount(), 1u);
        }
    }
}

TEST(PayloadExtractor, FileAlreadyAtTheDrawnNameIsLeftAlone) {
    Extraction x({'M', 'Z', 9});
    const std::vector<std::uint8_t> theirs = {'t', 'h', 'e', 'i', 'r', 's'};
    // The file system reads the doubled separator as one.
    x.machine.files.AddFile(u"C:\\Users\\user\\AppData\\Local\\Temp\\Zorvik28462.exe", theirs);

    EXPECT_EQ(x.Run(3), kInstallerCreateFailed);
    EXPECT_FALSE(x.created);
    EXPECT_EQ(std::u16string(x.path), kExpectedPath);
    EXPECT_EQ(x.machine.files.Bytes(x.path), theirs);
    EXPECT_EQ(x.machine.log.Count(Call::Read), 0u);
    EXPECT_EQ(x.machine.log.Count(Call::Write), 0u);
    EXPECT_EQ(x.machine.files.OpenHandles(), 1u);
}

// A copy that failed is never started: it is deleted through the handle that wrote it.
TEST(PayloadExtractor, FailedOrIncompleteCopyIsDeletedThroughTheHandleThatWroteIt) {
    constexpr std::uint64_t kSize = 3 * kCopyBufferSize + 10;
    struct Row {
        const char* what;
        std::function<void(fake::FakePlatform&)> arrange;
        std::uint64_t claimed;  // PayloadSize as the trailer gives it
        std::uint64_t copied;   // bytes in the partial file
    };
    const Row rows[] = {
        {"first write fails", [](auto& m) { m.log.Fail(Call::Write, 1); }, kSize, 0},
        {"third write fails", [](auto& m) { m.log.Fail(Call::Write, 3); }, kSize,
         2 * kCopyBufferSize},
        {"short write", [](auto& m) { m.files.LimitWrite(2, 100); }, kSize, kCopyBufferSize + 100},
        {"nothing written", [](auto& m) { m.files.LimitWrite(1, 0); }, kSize, 0},
        {"first read fails", [](auto& m) { m.log.Fail(Call::Read, 1); }, kSize, 0},
        {"last read fails", [](auto& m) { m.log.Fail(Call::Read, 4); }, kSize,
         3 * kCopyBufferSize},
        {"read ends early", [](auto& m) { m.files.LimitRead(2, 0); }, kSize, kCopyBufferSize},
        // More claimed than the file holds after the payload start: the copy reaches the
        // end of the file before it is complete.
        {"file cut short", [](auto&) {}, kSize + package::kTrailerSize + 1,
         kSize + package::kTrailerSize},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Extraction x(Pattern(kSize));
        row.arrange(x.machine);
        std::vector<std::uint8_t> partial;
        x.machine.log.beforeCall = [&](Call call) {
            if (call == Call::DeleteOpened) partial = x.machine.files.Bytes(kExpectedPath);
        };

        EXPECT_EQ(x.Run(row.claimed), kPayloadCopyFailed);
        EXPECT_TRUE(x.created);
        EXPECT_EQ(std::u16string(x.path), kExpectedPath);
        EXPECT_EQ(partial, x.PackageBytes(row.copied));
        EXPECT_EQ(x.machine.log.Count(Call::DeleteOpened), 1u);
        EXPECT_FALSE(x.machine.files.Exists(kExpectedPath));
        EXPECT_EQ(x.machine.files.OpenHandles(), 1u);  // the own file only
    }
}

}  // namespace
}  // namespace wrapper
