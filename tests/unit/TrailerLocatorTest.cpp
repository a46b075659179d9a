#include "FakePlatform.h"
#include "PackageModel.h"
#include "WindowByWindowLocator.h"
#include "package/PackageTrailer.h"
#include "package/SignedExtent.h"
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
    std::uint32_t GetTempDirectory(char16_t*, std::uint32_t) override { return 0; }
    platform::FileHandle OpenForReading(const char16_t*) override { return {}; }
    platform::FileHandle CreateNew(const char16_t*) override { return {}; }
    platform::FileHandle OpenAndHold(const char16_t*) override { return {}; }
    bool GetIdentity(platform::FileHandle, platform::FileIdentity*) override { return false; }
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

// Files of 64 bytes or more have their MZ header read (these have none); shorter ones
// cannot hold executable headers.
std::uint32_t HeaderReads(std::size_t fileSize) { return fileSize >= 64 ? 1 : 0; }

TEST(TrailerLocator, MarkerInTheLastWindowIsFoundWithoutScanning) {
    for (const std::size_t before : {std::size_t{0}, std::size_t{1}, std::size_t{31},
                                     std::size_t{32}, std::size_t{5000}}) {
        SCOPED_TRACE(before);
        const Outcome found = Locate(package::LocateTrailer, WithMarker(before, 0));
        EXPECT_EQ(found.code, kSuccess);
        EXPECT_EQ(found.position, static_cast<std::int64_t>(before + kMarkerSize));
        EXPECT_EQ(found.seeks, 2 + HeaderReads(before + kMarkerSize));
        EXPECT_EQ(found.reads, 1 + HeaderReads(before + kMarkerSize));
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
        EXPECT_EQ(found.reads, HeaderReads(bytes.size()) + 1 + row.blockReads);

        const Outcome reference = LocateBare(testing::LocateWindowByWindow, bytes);
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
        const Outcome reference = LocateBare(testing::LocateWindowByWindow, bytes);
        EXPECT_EQ(reference.code, kSuccess);
        EXPECT_EQ(reference.position, expected);
    }
}

TEST(TrailerLocator, FileShorterThanOneWindowFailsTheFirstSeek) {
    for (const std::size_t size : {0, 1, 31}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(Locate(package::LocateTrailer, Filler(size)).code, kSeekNearEndFailed);
        EXPECT_EQ(Locate(testing::LocateWindowByWindow, Filler(size)).code, kSeekNearEndFailed);
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
        EXPECT_EQ(LocateBare(testing::LocateWindowByWindow, files[i]).code, kScanSeekOrCreateFailed);
    }
}

// Each class of failing call ends the scan with the same code in both searches. The
// marker is not in the last window, so the scan runs. The plain file has no executable
// headers (Seek 2 and Read 1 take its first 64 bytes, Seek 3 and Read 2 the last window,
// Seek 4 and Read 3 start the scan); the executable also has its PE headers read (Seek 3,
// Read 2), which moves the rest on by one.
TEST(TrailerLocator, FailingScanCallsGiveTheirCodeInBothSearches) {
    struct Row {
        const char* what;
        bool executable;
        Arrange arrange;
        ResultCode expected;
    };
    const Row rows[] = {
        {"seek to the last window of the file", false,
         [](auto& log, auto&) { log.Fail(Call::Seek, 1); }, kSeekNearEndFailed},
        {"seek to the MZ header", false, [](auto& log, auto&) { log.Fail(Call::Seek, 2); },
         kScanSeekOrCreateFailed},
        {"MZ header read", false, [](auto& log, auto&) { log.Fail(Call::Read, 1); },
         kScanReadOrCopyFailed},
        {"MZ header read short", false, [](auto&, auto& files) { files.LimitRead(1, 63); },
         kScanReadOrCopyFailed},
        {"seek to the PE headers", true, [](auto& log, auto&) { log.Fail(Call::Seek, 3); },
         kScanSeekOrCreateFailed},
        {"PE headers read", true, [](auto& log, auto&) { log.Fail(Call::Read, 2); },
         kScanReadOrCopyFailed},
        {"PE headers read short", true, [](auto&, auto& files) { files.LimitRead(2, 175); },
         kScanReadOrCopyFailed},
        {"PE headers read empty", true, [](auto&, auto& files) { files.LimitRead(2, 0); },
         kScanReadOrCopyFailed},
        {"seek to the last searched window", false,
         [](auto& log, auto&) { log.Fail(Call::Seek, 3); }, kScanSeekOrCreateFailed},
        {"first scan seek", false, [](auto& log, auto&) { log.Fail(Call::Seek, 4); },
         kScanSeekOrCreateFailed},
        {"every seek after the first", false,
         [](auto& log, auto&) { log.Fail(Call::Seek, 2, true); }, kScanSeekOrCreateFailed},
        {"first scan read", false, [](auto& log, auto&) { log.Fail(Call::Read, 3); },
         kScanReadOrCopyFailed},
        {"first scan read short", false, [](auto&, auto& files) { files.LimitRead(3, 31); },
         kScanReadOrCopyFailed},
        {"first scan read empty", false, [](auto&, auto& files) { files.LimitRead(3, 0); },
         kScanReadOrCopyFailed},
        {"last-window read", false, [](auto& log, auto&) { log.Fail(Call::Read, 2); },
         kScanReadOrCopyFailed},
        {"last-window read short", false, [](auto&, auto& files) { files.LimitRead(2, 3); },
         kScanReadOrCopyFailed},
        {"last-window read of the executable", true,
         [](auto& log, auto&) { log.Fail(Call::Read, 3); }, kScanReadOrCopyFailed},
    };
    const auto plain = WithMarker(70000, 100);
    auto executable = plain;
    const auto image = testing::LauncherImage(1024);
    std::copy(image.begin(), image.end(), executable.begin());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto& bytes = row.executable ? executable : plain;
        EXPECT_EQ(Locate(package::LocateTrailer, bytes, row.arrange).code, row.expected);
        EXPECT_EQ(Locate(testing::LocateWindowByWindow, bytes, row.arrange).code, row.expected);
    }
}

TEST(TrailerLocator, UnreadableLastWindowEndsTheSearchBeforeAnEarlierMarkerIsFound) {
    // A scan from where the failed read stopped would skip the last windows, miss the
    // marker that ends the file and stop at the one of a package inside the payload.
    auto bytes = WithMarker(5000, 0);
    const auto outer = WithMarker(3000, 0);
    bytes.insert(bytes.end(), outer.begin(), outer.end());
    for (const auto& [what, arrange] : std::vector<std::pair<const char*, Arrange>>{
             {"fails", [](auto& log, auto&) { log.Fail(Call::Read, 2); }},
             {"short", [](auto&, auto& files) { files.LimitRead(2, 31); }},
             {"empty", [](auto&, auto& files) { files.LimitRead(2, 0); }}}) {
        SCOPED_TRACE(what);
        EXPECT_EQ(Locate(package::LocateTrailer, bytes, arrange).code, kScanReadOrCopyFailed);
        EXPECT_EQ(Locate(testing::LocateWindowByWindow, bytes, arrange).code, kScanReadOrCopyFailed);
    }
}

TEST(TrailerLocator, FailingFinalMoveToTheMarkerEndIsASeekFailure) {
    // The block search needs one more move once it has found the marker in a block.
    const auto bytes = WithMarker(70000, 100);
    const Outcome found = Locate(package::LocateTrailer, bytes,
                                 [](auto& log, auto&) { log.Fail(Call::Seek, 5); });
    EXPECT_EQ(found.code, kScanSeekOrCreateFailed);
}

// A signature's certificate table is not covered by its digest: anyone may add bytes inside
// it. No byte of a table inside the file is searched, wherever the table ends; the headers
// that name it are read as the system reads them, and anything that names no table inside
// the file leaves the whole file to the search.
TEST(TrailerLocator, SearchCoversOnlyTheBytesBeforeTheCertificateTable) {
    constexpr std::size_t kTable = 1024;
    struct Row {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> change;  // of a signed file
        ResultCode expected;
        std::int64_t position;  // for kSuccess; from the end of the signed trailer
    };
    // The signed file: a launcher image, filler, the marker ending at 40000, `padding` zero
    // bytes, and a 1024-byte table with a second marker 100 bytes before its end.
    constexpr std::size_t kMarkerEnd = 40000;
    const auto build = [](std::size_t padding) {
        auto bytes = WithMarker(kMarkerEnd - kMarkerSize, 0);
        const auto image = testing::LauncherImage(1024);
        std::copy(image.begin(), image.end(), bytes.begin());
        testing::Sign(bytes, padding, kTable, 0x30);
        PutMarker(bytes, bytes.size() - 100 - kMarkerSize);
        return bytes;
    };
    const auto entry = [](std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
        testing::Put32(bytes, testing::kCertificateEntry + at, value);
    };
    const auto slipped = static_cast<std::int64_t>(kMarkerEnd + kTable - 100);  // table's marker end
    const Row rows[] = {
        {"marker ending where the table starts", [](auto&) {}, kSuccess, 0},
        {"table after 1 byte of padding", [&](auto& b) { b = build(1); }, kSuccess, 0},
        {"table after 7 bytes of padding", [&](auto& b) { b = build(7); }, kSuccess, 0},
        {"marker only inside the table",
         [](auto& b) { b[kMarkerEnd - 1] ^= 1; }, kScanSeekOrCreateFailed, 0},
        {"table not reaching the end of the file", [](auto& b) { b.push_back(0); }, kSuccess, 0},
        {"marker after a table that does not end the file",
         [](auto& b) {
             const auto marker = testing::Marker();
             b.insert(b.end(), marker.begin(), marker.end());
             b.push_back(0);
         },
         kSuccess, kTable + kMarkerSize},
        {"table reaching past the end of the file", [&](auto& b) { entry(b, 4, kTable + 1); },
         kSuccess, 0},
        {"table starting at the end of the file",
         [&](auto& b) { entry(b, 0, static_cast<std::uint32_t>(b.size())); }, kSuccess,
         slipped - kMarkerEnd},
        {"table of size 0", [&](auto& b) { entry(b, 4, 0); }, kSuccess, slipped - kMarkerEnd},
        {"table the whole file", [&](auto& b) { entry(b, 0, 0); entry(b, 4, b.size()); },
         kScanSeekOrCreateFailed, 0},
        {"table starting in the first 32 bytes",
         [&](auto& b) { entry(b, 0, 31); entry(b, 4, b.size() - 31); }, kScanSeekOrCreateFailed, 0},
        {"table starting right after the first window",
         [&](auto& b) { entry(b, 0, 32); entry(b, 4, b.size() - 32); }, kScanSeekOrCreateFailed, 0},
        {"four directory entries", [](auto& b) { b[testing::kPeOffset + 24 + 92] = 4; },
         kSuccess, slipped - kMarkerEnd},
        {"five directory entries", [](auto& b) { b[testing::kPeOffset + 24 + 92] = 5; }, kSuccess, 0},
        {"optional header too short for entry 4",
         [](auto& b) { b[testing::kPeOffset + 20] = 135; }, kSuccess, slipped - kMarkerEnd},
        {"optional header just holding entry 4",
         [](auto& b) { b[testing::kPeOffset + 20] = 136; }, kSuccess, 0},
        {"no MZ", [](auto& b) { b[1] = 'X'; }, kSuccess, slipped - kMarkerEnd},
        {"no PE signature", [](auto& b) { b[testing::kPeOffset + 2] = 1; }, kSuccess,
         slipped - kMarkerEnd},
        {"neither PE32 nor PE32+", [](auto& b) { b[testing::kPeOffset + 24] = 0x0C; }, kSuccess,
         slipped - kMarkerEnd},
        {"e_lfanew past the end of the file", [](auto& b) { testing::Put32(b, 0x3C, 0x7FFFFFFF); },
         kSuccess, slipped - kMarkerEnd},
        {"PE headers cut by the end of the file before entry 4",
         [](auto& b) {
             const std::size_t at = b.size() - 100;
             std::copy_n(b.begin() + testing::kPeOffset, 100, b.begin() + static_cast<std::ptrdiff_t>(at));
             testing::Put32(b, 0x3C, static_cast<std::uint32_t>(at));
         },
         kSuccess, slipped - kMarkerEnd},
        // PE32+: the count and the entries sit 16 bytes further on.
        {"PE32+", [](auto& b) {
             const std::size_t optional = testing::kPeOffset + 24;
             b[testing::kPeOffset + 20] = 240;
             b[optional] = 0x0B;
             b[optional + 1] = 0x02;
             std::copy_n(b.begin() + optional + 92, 4, b.begin() + optional + 108);
             std::copy_n(b.begin() + optional + 128, 8, b.begin() + optional + 144);
             std::fill_n(b.begin() + optional + 128, 8, 0);
         }, kSuccess, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto bytes = build(0);
        row.change(bytes);
        for (const Locator locate : {Locator{package::LocateTrailer}, Locator{testing::LocateWindowByWindow}}) {
            const Outcome found = Locate(locate, bytes);
            EXPECT_EQ(found.code, row.expected);
            if (row.expected == kSuccess) {
                EXPECT_EQ(found.position, static_cast<std::int64_t>(kMarkerEnd) + row.position);
            }
        }
    }
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
        const Outcome windows = LocateBare(testing::LocateWindowByWindow, bytes);
        ASSERT_EQ(blocks.code, windows.code);
        if (blocks.code == kSuccess) {
            ASSERT_EQ(blocks.position, windows.position);
        }
    }
}

}  // namespace
}  // namespace wrapper
