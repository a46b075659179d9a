#include "FakePlatform.h"
#include "PackageBuilder.h"
#include "package/PackageTrailer.h"
#include "package/TrailerLocator.h"
#include "package/TrailerReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

namespace wrapper {
namespace {

using fake::Call;
using package::kMarkerSize;
using platform::SeekOrigin;

constexpr char16_t kPath[] = u"C:\\Downloads\\package.exe";
constexpr std::size_t kBlock = package::kLocatorBlockSize;
// Each block adds 65536 - 31 new window starts: a marker with up to k * 65505 bytes after
// it is found in the k-th block read (from 1).
constexpr std::size_t kStep = kBlock - (kMarkerSize - 1);  // 65505

// The backward search in its plainest form, which defines what the locator must find: one
// 32-byte window per step, each step asking the system for the position and moving back
// 33 bytes from it. The block locator must match it in code and final position.
ResultCode LocateWindowByWindow(platform::Files& files, platform::FileHandle file) {
    const std::vector<std::uint8_t> marker = testing::Marker();
    unsigned char window[kMarkerSize] = {};
    std::uint32_t got = 0;
    if (!files.Seek(file, -static_cast<std::int64_t>(kMarkerSize), SeekOrigin::End, nullptr)) {
        return kSeekNearEndFailed;
    }
    if (!files.Read(file, window, kMarkerSize, &got) || got != kMarkerSize) {
        return kScanReadOrCopyFailed;
    }
    if (std::memcmp(window, marker.data(), kMarkerSize) == 0) return kSuccess;
    for (;;) {
        std::int64_t position = 0;
        if (!files.Seek(file, 0, SeekOrigin::Current, &position)) return kScanSeekOrCreateFailed;
        if (!files.Seek(file, position - 33, SeekOrigin::Begin, nullptr)) {
            return kScanSeekOrCreateFailed;
        }
        if (!files.Read(file, window, kMarkerSize, &got) || got != kMarkerSize) {
            return kScanReadOrCopyFailed;
        }
        if (std::memcmp(window, marker.data(), kMarkerSize) == 0) return kSuccess;
    }
}

using Locator = ResultCode (*)(platform::Files&, platform::FileHandle);

struct Outcome {
    ResultCode code;
    std::int64_t position;  // only meaningful on success
    std::uint32_t seeks;
    std::uint32_t reads;
};

using Arrange = std::function<void(fake::CallLog&, fake::FakeFiles&)>;

Outcome Locate(Locator locate, const std::vector<std::uint8_t>& bytes,
               const Arrange& arrange = {}) {
    fake::CallLog log;
    fake::FakeFiles files(log);
    files.AddFile(kPath, bytes);
    const platform::UniqueFile file(files, files.OpenForReading(kPath));
    if (arrange) arrange(log, files);
    Outcome outcome{locate(files, file.Get()), -1, 0, 0};
    outcome.seeks = log.Count(Call::Seek);
    outcome.reads = log.Count(Call::Read);
    if (outcome.code == kSuccess) files.Seek(file.Get(), 0, SeekOrigin::Current, &outcome.position);
    return outcome;
}

// One read-only file with the same semantics as the fake's, without its bookkeeping: the
// window-by-window search makes three calls per byte, and the comparisons over large
// files would otherwise dominate the suite's time.
class BareFile final : public platform::Files {
public:
    explicit BareFile(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    static constexpr platform::FileHandle kHandle{1};
    std::int64_t position = 0;

    std::uint32_t GetOwnPath(char16_t*, std::uint32_t) override { return 0; }
    std::uint32_t GetTempDirectory(std::uint32_t, char16_t*) override { return 0; }
    platform::FileHandle OpenForReading(const char16_t*) override { return {}; }
    platform::FileHandle CreateNew(const char16_t*) override { return {}; }
    bool Seek(platform::FileHandle, std::int64_t distance, SeekOrigin origin,
              std::int64_t* newPosition) override {
        const std::int64_t base = origin == SeekOrigin::Begin     ? 0
                                  : origin == SeekOrigin::Current ? position
                                                                  : Size();
        if (base + distance < 0) return false;
        position = base + distance;
        if (newPosition != nullptr) *newPosition = position;
        return true;
    }
    bool Read(platform::FileHandle, void* buffer, std::uint32_t size,
              std::uint32_t* bytesRead) override {
        const std::int64_t count = std::clamp<std::int64_t>(Size() - position, 0, size);
        if (count > 0) {
            std::memcpy(buffer, bytes_.data() + position, static_cast<std::size_t>(count));
        }
        position += count;
        *bytesRead = static_cast<std::uint32_t>(count);
        return true;
    }
    bool Write(platform::FileHandle, const void*, std::uint32_t, std::uint32_t*) override {
        return false;
    }
    void Close(platform::FileHandle) override {}
    platform::DeleteOutcome Delete(const char16_t*) override {
        return platform::DeleteOutcome::Failed;
    }
    bool DeleteAtRestart(const char16_t*) override { return false; }

private:
    std::int64_t Size() const { return static_cast<std::int64_t>(bytes_.size()); }
    const std::vector<std::uint8_t>& bytes_;
};

Outcome LocateBare(Locator locate, const std::vector<std::uint8_t>& bytes) {
    BareFile files(bytes);
    Outcome outcome{locate(files, BareFile::kHandle), -1, 0, 0};
    if (outcome.code == kSuccess) outcome.position = files.position;
    return outcome;
}

// Bytes that never hold the marker by accident: a fixed pseudo-random stream.
std::vector<std::uint8_t> Filler(std::size_t size, std::uint32_t seed = 7) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

void PutMarker(std::vector<std::uint8_t>& bytes, std::size_t offset) {
    const auto marker = testing::Marker();
    std::copy(marker.begin(), marker.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

// `before` filler bytes, the marker, `after` filler bytes.
std::vector<std::uint8_t> WithMarker(std::size_t before, std::size_t after) {
    auto bytes = Filler(before + kMarkerSize + after);
    PutMarker(bytes, before);
    return bytes;
}

TEST(TrailerLocator, MarkerInTheLastWindowIsFoundWithoutScanning) {
    for (const std::size_t before : {std::size_t{0}, std::size_t{1}, std::size_t{5000}}) {
        SCOPED_TRACE(before);
        const Outcome found = Locate(package::LocateTrailer, WithMarker(before, 0));
        EXPECT_EQ(found.code, kSuccess);
        EXPECT_EQ(found.position, static_cast<std::int64_t>(before + kMarkerSize));
        EXPECT_EQ(found.seeks, 1u);
        EXPECT_EQ(found.reads, 1u);
    }
}

struct BehindCase {
    std::size_t before;  // bytes before the marker
    std::size_t after;   // bytes after it (a signature, say)
    std::uint32_t blockReads;
};

// The rows sit on both sides of each block edge (k * 65505 bytes after the marker) and of
// the file's start.
const BehindCase kBehindCases[] = {
    {4096, 1, 1},
    {4096, 31, 1},
    {4096, 32, 1},
    {4096, 33, 1},
    {4096, 21032, 1},
    {100000, kStep - 1, 1},
    {100000, kStep, 1},
    {100000, kStep + 1, 2},
    {100000, 65535, 2},
    {100000, 65536, 2},
    {100000, 65537, 2},
    {100000, 2 * kStep, 2},
    {100000, 2 * kStep + 1, 3},
    {100000, 2 * 65536 + 17, 3},
    // The marker among the first bytes of the file, in a short last block.
    {0, 0, 0},
    {0, 1, 1},
    {0, kStep, 1},
    {0, kStep + 1, 2},
    {1, kStep + 1, 2},
    {31, kStep, 1},
    {32, kStep + 1, 2},
    {17, 2 * kStep + 1, 3},
};

TEST(TrailerLocator, MarkerBehindOtherBytesLeavesThePositionJustPastIt) {
    for (const BehindCase& row : kBehindCases) {
        SCOPED_TRACE(::testing::Message() << "before " << row.before << " after " << row.after);
        const auto bytes = WithMarker(row.before, row.after);
        const Outcome found = Locate(package::LocateTrailer, bytes);
        EXPECT_EQ(found.code, kSuccess);
        EXPECT_EQ(found.position, static_cast<std::int64_t>(row.before + kMarkerSize));
        EXPECT_EQ(found.reads, 1 + row.blockReads);

        const Outcome reference = LocateBare(LocateWindowByWindow, bytes);
        EXPECT_EQ(reference.code, kSuccess);
        EXPECT_EQ(reference.position, found.position);
    }
}

struct TwoMarkersCase {
    std::size_t size;
    std::size_t earlier;  // offsets of the two markers
    std::size_t later;
};

TEST(TrailerLocator, OfTwoMarkersTheOneNearerTheEndWins) {
    const std::size_t size = 300000;
    const TwoMarkersCase rows[] = {
        {size, size - 2000, size - 200},                          // same block, first block
        {size, size - 32 - (kStep + 1), size - 32 - kStep},       // either side of a block edge
        {size, size - 32 - (kStep + 40), size - 32 - (kStep + 1)},  // both in the second block
        {size, size - 32 - (2 * kStep + 1), size - 32 - 2 * kStep},
        {size, 0, size - 32},                                     // one in the last window
        {size, 0, 32},                                            // back to back at the start
        {size, 100, 140},
        {300, 0, 168},                                            // both in one short block
    };
    for (const TwoMarkersCase& row : rows) {
        SCOPED_TRACE(::testing::Message() << "markers at " << row.earlier << " and " << row.later);
        auto bytes = Filler(row.size);
        PutMarker(bytes, row.earlier);
        PutMarker(bytes, row.later);
        const auto expected = static_cast<std::int64_t>(row.later + kMarkerSize);
        const Outcome found = Locate(package::LocateTrailer, bytes);
        EXPECT_EQ(found.code, kSuccess);
        EXPECT_EQ(found.position, expected);
        const Outcome reference = LocateBare(LocateWindowByWindow, bytes);
        EXPECT_EQ(reference.code, kSuccess);
        EXPECT_EQ(reference.position, expected);
    }
}

TEST(TrailerLocator, FileShorterThanOneWindowFailsTheFirstSeek) {
    for (const std::size_t size : {0, 1, 31}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(Locate(package::LocateTrailer, Filler(size)).code, kSeekNearEndFailed);
        EXPECT_EQ(Locate(LocateWindowByWindow, Filler(size)).code, kSeekNearEndFailed);
    }
}

TEST(TrailerLocator, FileWithoutMarkerIsNotFound) {
    const auto marker = testing::Marker();
    std::vector<std::vector<std::uint8_t>> files = {
        Filler(32), Filler(33), Filler(64), Filler(kBlock), Filler(kBlock + 32),
        Filler(kBlock + 33), Filler(3 * kBlock + 5)};
    // Near misses: the marker with its last or first byte changed, and 31 of its bytes at
    // the very start and at the very end of the file.
    auto lastByteWrong = Filler(5000);
    PutMarker(lastByteWrong, 3000);
    lastByteWrong[3000 + kMarkerSize - 1] ^= 1;
    files.push_back(lastByteWrong);
    auto firstByteWrong = Filler(5000);
    PutMarker(firstByteWrong, 0);
    firstByteWrong[0] ^= 1;
    files.push_back(firstByteWrong);
    auto cutAtStart = Filler(5000);
    std::copy(marker.begin() + 1, marker.end(), cutAtStart.begin());
    files.push_back(cutAtStart);
    auto cutAtEnd = Filler(5000);
    std::copy(marker.begin(), marker.end() - 1, cutAtEnd.end() - (kMarkerSize - 1));
    files.push_back(cutAtEnd);

    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(::testing::Message() << "file " << i << ", " << files[i].size() << " bytes");
        EXPECT_EQ(Locate(package::LocateTrailer, files[i]).code, kScanSeekOrCreateFailed);
        EXPECT_EQ(LocateBare(LocateWindowByWindow, files[i]).code, kScanSeekOrCreateFailed);
    }
}

// A marker found too near the start of the file leaves no room for a trailer: the reader
// refuses it at the first step that would move before the file's first byte.
TEST(TrailerLocator, MarkerTooNearTheStartIsRefusedByTheReader) {
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
        auto bytes = Filler(row.markerEnd + 500);
        if (row.expected == kSuccess) std::fill_n(bytes.begin(), 8, 0);  // PayloadSize 0
        PutMarker(bytes, row.markerEnd - kMarkerSize);

        fake::CallLog log;
        fake::FakeFiles files(log);
        files.AddFile(kPath, bytes);
        const platform::UniqueFile file(files, files.OpenForReading(kPath));
        ASSERT_EQ(package::LocateTrailer(files, file.Get()), kSuccess);
        package::TrailerFields fields;
        std::uint64_t payloadSize = 0;
        EXPECT_EQ(package::ReadTrailer(files, file.Get(), fields, payloadSize), row.expected);
    }
}

// Each class of failing call ends the scan with the same code in both searches. The
// package carries a signature, so the marker is not in the last window and the scan runs.
TEST(TrailerLocator, FailingScanCallsGiveTheirCodeInBothSearches) {
    struct Row {
        const char* what;
        Arrange arrange;
        ResultCode expected;
    };
    const Row rows[] = {
        {"seek to the last window", [](auto& log, auto&) { log.Fail(Call::Seek, 1); },
         kSeekNearEndFailed},
        {"first position query", [](auto& log, auto&) { log.Fail(Call::Seek, 2); },
         kScanSeekOrCreateFailed},
        {"first scan seek", [](auto& log, auto&) { log.Fail(Call::Seek, 3); },
         kScanSeekOrCreateFailed},
        {"every seek after the first", [](auto& log, auto&) { log.Fail(Call::Seek, 2, true); },
         kScanSeekOrCreateFailed},
        {"first scan read", [](auto& log, auto&) { log.Fail(Call::Read, 2); },
         kScanReadOrCopyFailed},
        {"first scan read short", [](auto&, auto& files) { files.LimitRead(2, 31); },
         kScanReadOrCopyFailed},
        {"first scan read empty", [](auto&, auto& files) { files.LimitRead(2, 0); },
         kScanReadOrCopyFailed},
        {"last-window read", [](auto& log, auto&) { log.Fail(Call::Read, 1); },
         kScanReadOrCopyFailed},
        {"last-window read short", [](auto&, auto& files) { files.LimitRead(1, 3); },
         kScanReadOrCopyFailed},
    };
    const auto bytes = WithMarker(70000, 100);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(Locate(package::LocateTrailer, bytes, row.arrange).code, row.expected);
        EXPECT_EQ(Locate(LocateWindowByWindow, bytes, row.arrange).code, row.expected);
    }
}

TEST(TrailerLocator, UnreadableLastWindowEndsTheSearchBeforeAnEarlierMarkerIsFound) {
    // A scan from where the failed read stopped would skip the last windows, miss the
    // marker that ends the file and stop at the one of a package inside the payload.
    auto bytes = WithMarker(5000, 0);
    const auto outer = WithMarker(3000, 0);
    bytes.insert(bytes.end(), outer.begin(), outer.end());
    for (const auto& [what, arrange] : std::vector<std::pair<const char*, Arrange>>{
             {"fails", [](auto& log, auto&) { log.Fail(Call::Read, 1); }},
             {"short", [](auto&, auto& files) { files.LimitRead(1, 31); }},
             {"empty", [](auto&, auto& files) { files.LimitRead(1, 0); }}}) {
        SCOPED_TRACE(what);
        EXPECT_EQ(Locate(package::LocateTrailer, bytes, arrange).code, kScanReadOrCopyFailed);
        EXPECT_EQ(Locate(LocateWindowByWindow, bytes, arrange).code, kScanReadOrCopyFailed);
    }
}

TEST(TrailerLocator, FailingFinalMoveToTheMarkerEndIsASeekFailure) {
    // The block search needs one more move once it has found the marker in a block.
    const auto bytes = WithMarker(70000, 100);
    const Outcome found = Locate(package::LocateTrailer, bytes,
                                 [](auto& log, auto&) { log.Fail(Call::Seek, 4); });
    EXPECT_EQ(found.code, kScanSeekOrCreateFailed);
}

// Random files of up to 300 KiB with up to three markers, many near block edges, and
// decoys (marker prefixes and near copies): both searches agree on code and position.
TEST(TrailerLocator, AgreesWithTheWindowByWindowSearchOnRandomFiles) {
    std::mt19937_64 random(20240611);
    const auto marker = testing::Marker();
    const auto below = [&](std::size_t n) {
        return n == 0 ? std::size_t{0} : static_cast<std::size_t>(random() % n);
    };
    for (int round = 0; round < 120; ++round) {
        const std::size_t size = below(300 * 1024 + 1);
        auto bytes = Filler(size, static_cast<std::uint32_t>(random()));
        // An offset for a 32-byte run: anywhere, or straddling a block edge seen from the end.
        const auto pickOffset = [&]() -> std::size_t {
            if (size < kMarkerSize) return 0;
            const std::size_t last = size - kMarkerSize;
            if (random() % 2 == 0) return below(last + 1);
            const std::size_t edge = kStep * (1 + below(4)) + below(64);  // bytes behind it
            const std::size_t behind = std::min(edge - 32, last);
            return last - behind;
        };
        for (std::size_t decoys = below(6); decoys > 0 && size >= kMarkerSize; --decoys) {
            const std::size_t at = pickOffset();
            const std::size_t keep = 1 + below(kMarkerSize - 1);  // a proper prefix
            std::copy_n(marker.begin(), keep, bytes.begin() + static_cast<std::ptrdiff_t>(at));
            bytes[at + keep] = static_cast<std::uint8_t>(marker[keep] ^ (1 + below(255)));
        }
        for (std::size_t markers = below(4); markers > 0 && size >= kMarkerSize; --markers) {
            PutMarker(bytes, pickOffset());
        }

        SCOPED_TRACE(::testing::Message() << "round " << round << ", " << size << " bytes");
        const Outcome blocks = LocateBare(package::LocateTrailer, bytes);
        const Outcome windows = LocateBare(LocateWindowByWindow, bytes);
        ASSERT_EQ(blocks.code, windows.code);
        if (blocks.code == kSuccess) {
            ASSERT_EQ(blocks.position, windows.position);
        }
    }
}

}  // namespace
}  // namespace wrapper
