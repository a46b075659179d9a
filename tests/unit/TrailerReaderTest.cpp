#include "FakePlatform.h"
#include "PackageModel.h"
#include "TrailerReaderSteps.h"
#include "package/PackageTrailer.h"
#include "package/TrailerReader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace wrapper {
namespace {

using fake::Call;
using package::Field;
using package::kFieldSize;
using package::kTrailerSize;
using platform::SeekOrigin;

constexpr char16_t kPath[] = u"C:\\Downloads\\package.exe";

// The outcome of ReadTrailer on a package positioned just past its marker.
struct Reading {
    ResultCode code;
    package::TrailerFields fields;
    std::uint64_t payloadSize;
    std::int64_t position;  // after the call
    std::uint32_t seeks;    // made by the call
};

// Step numbers in `arrange` count the reader's own calls: the set-up's calls are added.
struct Steps {
    fake::CallLog& log;
    fake::FakeFiles& files;
    std::uint32_t seeksBefore;
    std::uint32_t readsBefore;
    void FailSeek(std::uint32_t nth) { log.Fail(Call::Seek, seeksBefore + nth); }
    void FailRead(std::uint32_t nth) { log.Fail(Call::Read, readsBefore + nth); }
    void LimitRead(std::uint32_t nth, std::uint32_t bytes) {
        files.LimitRead(readsBefore + nth, bytes);
    }
};

Reading Read(const std::vector<std::uint8_t>& bytes, std::int64_t markerEnd,
             const std::function<void(Steps&)>& arrange = {}) {
    fake::CallLog log;
    fake::FakeFiles files(log);
    files.AddFile(kPath, bytes);
    const platform::UniqueFile file(files, files.OpenForReading(kPath));
    files.Seek(file.Get(), markerEnd, SeekOrigin::Begin, nullptr);
    Steps steps{log, files, log.Count(Call::Seek), log.Count(Call::Read)};
    if (arrange) arrange(steps);

    Reading reading{};
    std::memset(reading.fields.bytes, '#', sizeof reading.fields.bytes);
    reading.code = package::ReadTrailer(files, file.Get(), reading.fields, reading.payloadSize);
    reading.seeks = log.Count(Call::Seek) - steps.seeksBefore;
    log.Fail(Call::Seek, 0);  // nothing fails from here on
    files.Seek(file.Get(), 0, SeekOrigin::Current, &reading.position);
    return reading;
}

std::string FieldString(const package::TrailerFields& fields, Field field) {
    const TextView text = package::FieldText(fields, field);
    return {text.data, text.length};
}

constexpr Field kFields[] = {Field::LinkTemplate, Field::CampaignQuery, Field::LandingTemplate,
                             Field::UninstallTemplate};

TEST(TrailerReader, ReadsFieldsAndSizeAndStopsAtThePayloadStart) {
    testing::PackageParts parts;
    parts.payload.assign(3000, 0x90);
    const auto bytes = testing::BuildPackage(parts);
    const auto markerEnd = static_cast<std::int64_t>(bytes.size());

    const Reading reading = Read(bytes, markerEnd);
    ASSERT_EQ(reading.code, kSuccess);
    EXPECT_EQ(reading.payloadSize, 3000u);
    EXPECT_EQ(reading.position, static_cast<std::int64_t>(parts.launcher.size()));
    for (std::uint32_t i = 0; i < package::kFieldCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(FieldString(reading.fields, kFields[i]), parts.fields[i]);
    }
}

TEST(TrailerReader, PayloadSizeFromZeroToTheTrailerStart) {
    testing::PackageParts parts;
    const auto trailerStart = parts.launcher.size() + parts.payload.size();
    struct Row {
        std::uint64_t payloadSize;
        ResultCode expected;
        std::int64_t position;  // on success
    };
    const Row rows[] = {
        {0, kSuccess, static_cast<std::int64_t>(trailerStart)},
        {1, kSuccess, static_cast<std::int64_t>(trailerStart - 1)},
        {trailerStart - 1, kSuccess, 1},
        {trailerStart, kSuccess, 0},
        {trailerStart + 1, kSeekPayloadFailed, 0},
        {trailerStart + 1080, kSeekPayloadFailed, 0},
        {std::uint64_t{1} << 40, kSeekPayloadFailed, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.payloadSize);
        parts.payloadSize = row.payloadSize;
        const auto bytes = testing::BuildPackage(parts);
        const Reading reading = Read(bytes, static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(reading.code, row.expected);
        EXPECT_EQ(reading.payloadSize, row.payloadSize);
        if (row.expected == kSuccess) {
            EXPECT_EQ(reading.position, row.position);
        }
    }
}

// A PayloadSize beyond the trailer start must be refused before any move, including the
// values for which trailerStart - PayloadSize, taken modulo 2^64, lands on a harmless-
// looking position inside or just past the file.
TEST(TrailerReader, PayloadSizeThatWouldWrapThePositionIsRefusedWithoutMoving) {
    testing::PackageParts parts;
    const std::uint64_t trailerStart = parts.launcher.size() + parts.payload.size();
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    const std::uint64_t rows[] = {
        kMax,                                 // wraps to trailerStart + 1
        kMax - 99,                            // wraps to trailerStart + 100
        kMax - trailerStart,                  // wraps to 2 * trailerStart + 1
        (kMax - trailerStart) + 1,            // wraps to 2 * trailerStart, i.e. 2^64 - trailerStart
        std::uint64_t{1} << 63,               // wraps to trailerStart + 2^63
        (std::uint64_t{1} << 63) - 1,         // the largest positive position
        (std::uint64_t{1} << 63) + trailerStart + 1,  // wraps to 2^63 - 1
        (std::uint64_t{1} << 63) + trailerStart,      // wraps to 2^63: negative as a position
    };
    for (const std::uint64_t payloadSize : rows) {
        SCOPED_TRACE(payloadSize);
        parts.payloadSize = payloadSize;
        const auto bytes = testing::BuildPackage(parts);
        const Reading reading = Read(bytes, static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(reading.code, kSeekPayloadFailed);
        EXPECT_EQ(reading.payloadSize, payloadSize);
        // Five moves and queries up to PayloadSize's end; no sixth move.
        EXPECT_EQ(reading.seeks, 5u);
        EXPECT_EQ(reading.position, static_cast<std::int64_t>(trailerStart + 8));
    }
}

TEST(TrailerReader, TrailerFollowedByASignatureReadsLikeOneAtTheEnd) {
    testing::PackageParts parts;
    parts.payload.assign(20000, 0x33);
    const auto plain = testing::BuildPackage(parts);
    parts.after = std::vector<std::uint8_t>(9000, 0xee);
    const auto signedPackage = testing::BuildPackage(parts);
    const auto markerEnd = static_cast<std::int64_t>(plain.size());

    const Reading a = Read(plain, markerEnd);
    const Reading b = Read(signedPackage, markerEnd);
    ASSERT_EQ(a.code, kSuccess);
    EXPECT_EQ(b.code, a.code);
    EXPECT_EQ(b.payloadSize, a.payloadSize);
    EXPECT_EQ(b.position, a.position);
    EXPECT_EQ(std::memcmp(a.fields.bytes, b.fields.bytes, sizeof a.fields.bytes), 0);
}

TEST(TrailerReader, FieldTextEndsAtItsFirstZeroOrAfterAllItsBytes) {
    const std::size_t lengths[] = {0, 1, 100, kFieldSize - 1, kFieldSize};
    for (std::uint32_t target = 0; target < package::kFieldCount; ++target) {
        for (const std::size_t length : lengths) {
            SCOPED_TRACE(::testing::Message() << "field " << target << ", " << length << " bytes");
            testing::PackageParts parts;
            // Every field full, in its own letter, so that a view running on would show.
            for (std::uint32_t i = 0; i < package::kFieldCount; ++i) {
                parts.fields[i] = std::string(kFieldSize, static_cast<char>('a' + i));
            }
            parts.fields[target] = std::string(length, static_cast<char>('A' + target));
            const auto bytes = testing::BuildPackage(parts);
            const Reading reading = Read(bytes, static_cast<std::int64_t>(bytes.size()));
            ASSERT_EQ(reading.code, kSuccess);

            const TextView text = package::FieldText(reading.fields, kFields[target]);
            EXPECT_EQ(text.length, length);
            EXPECT_EQ(text.data, reading.fields.bytes[target]);
            EXPECT_EQ(FieldString(reading.fields, kFields[target]), parts.fields[target]);
            for (std::uint32_t i = 0; i < package::kFieldCount; ++i) {
                if (i != target) {
                    EXPECT_EQ(FieldString(reading.fields, kFields[i]), parts.fields[i]);
                }
            }
        }
    }
}

// A marker found too near the start of the file leaves no room for a trailer: the reader
// refuses it at the first step that would move before the file's first byte.
TEST(TrailerReader, MarkerTooNearTheStartIsRefused) {
    struct Row {
        std::size_t markerEnd;
        ResultCode expected;
    };
    const Row rows[] = {
        {32, kSeekFieldsFailed},     {33, kSeekFieldsFailed},      {1071, kSeekFieldsFailed},
        {1072, kSeekPayloadSizeFailed}, {1075, kSeekPayloadSizeFailed},
        {1079, kSeekPayloadSizeFailed}, {1080, kSuccess},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "marker ends at " << row.markerEnd);
        std::vector<std::uint8_t> bytes(row.markerEnd + 500, 0x4d);
        if (row.expected == kSuccess) std::fill_n(bytes.begin(), 8, 0);  // PayloadSize 0
        EXPECT_EQ(Read(bytes, static_cast<std::int64_t>(row.markerEnd)).code, row.expected);
    }
}

// Every call of the reader failing, and every read coming back one byte short or empty.
TEST(TrailerReader, EachFailingStepGivesItsOwnCode) {
    const auto bytes = testing::BuildPackage({});
    const auto markerEnd = static_cast<std::int64_t>(bytes.size());
    for (const testing::ReaderStep& step : testing::kReaderSteps) {
        SCOPED_TRACE(step.what);
        if (step.call == Call::Seek) {
            EXPECT_EQ(Read(bytes, markerEnd, [&](Steps& s) { s.FailSeek(step.nth); }).code,
                      step.code);
            continue;
        }
        EXPECT_EQ(Read(bytes, markerEnd, [&](Steps& s) { s.FailRead(step.nth); }).code, step.code);
        for (const std::uint32_t got : {step.size - 1, 0u}) {
            SCOPED_TRACE(got);
            EXPECT_EQ(Read(bytes, markerEnd, [&](Steps& s) { s.LimitRead(step.nth, got); }).code,
                      step.code);
        }
    }
}

}  // namespace
}  // namespace wrapper
