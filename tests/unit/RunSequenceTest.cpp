#include "FakePlatform.h"
#include "FakeFacts.h"
#include "PackageModel.h"
#include "TrailerReaderSteps.h"
#include "RunSequence.h"
#include "package/PayloadExtractor.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace wrapper {
namespace {

using fake::Call;

using fake::kInstallerPath;
using fake::kOwnPath;

struct RunSequenceTest : ::testing::Test {
    fake::FakePlatform machine;
    void Install(const std::vector<std::uint8_t>& package) {
        machine.files.SetOwnPath(kOwnPath);
        machine.files.AddFile(kOwnPath, package);
    }
};

TEST_F(RunSequenceTest, GoodPackageRunsTheWholePayloadAndDeletesIt) {
    testing::PackageParts parts;
    parts.payload.assign(40000, 0x5a);
    Install(testing::BuildPackage(parts));

    EXPECT_EQ(RunPackage(machine.Services()), kSuccess);

    ASSERT_EQ(machine.processes.started.size(), 1u);
    const auto& started = machine.processes.started[0];
    EXPECT_EQ(started.image, parts.payload);
    EXPECT_EQ(started.commandLine, u"\"" + started.applicationName + u"\"");
    EXPECT_FALSE(machine.files.Exists(started.applicationName));
    EXPECT_EQ(machine.files.OpenHandles(), 0u);
    EXPECT_EQ(machine.processes.OpenHandles(), 0u);
}

// Packages for the failure table. The payload is two whole copy blocks and part of a
// third: three copy reads and writes.
std::vector<std::uint8_t> Payload() {
    std::vector<std::uint8_t> payload(2 * package::kCopyBufferSize + 7232);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i % 249);
    }
    return payload;
}

std::vector<std::uint8_t> Unsigned() {
    testing::PackageParts parts;
    parts.payload = Payload();
    return testing::BuildPackage(parts);
}

// With bytes after the trailer the marker is not in the last window, so the scan runs.
std::vector<std::uint8_t> Signed() {
    testing::PackageParts parts;
    parts.payload = Payload();
    parts.after.assign(5000, 0x30);
    return testing::BuildPackage(parts);
}

std::vector<std::uint8_t> Tiny() { return std::vector<std::uint8_t>(31, 0x4d); }

std::vector<std::uint8_t> WithoutMarker() {
    auto bytes = Unsigned();
    bytes.back() ^= 1;
    return bytes;
}

std::vector<std::uint8_t> OversizedPayload() {
    testing::PackageParts parts;
    parts.payloadSize = parts.launcher.size() + parts.payload.size() + 1;
    return testing::BuildPackage(parts);
}

// A file of `end` bytes that ends with the marker and holds nothing else of a trailer.
std::vector<std::uint8_t> MarkerEndingAt(std::size_t end) {
    std::vector<std::uint8_t> bytes(end - package::kMarkerSize, 0x11);
    const auto marker = testing::Marker();
    bytes.insert(bytes.end(), marker.begin(), marker.end());
    return bytes;
}

using Arrange = std::function<void(fake::FakePlatform&)>;

Arrange FailCall(Call call, std::uint32_t nth) {
    return [=](fake::FakePlatform& m) { m.log.Fail(call, nth); };
}
Arrange LimitRead(std::uint32_t nth, std::uint32_t bytes) {
    return [=](fake::FakePlatform& m) { m.files.LimitRead(nth, bytes); };
}
Arrange LimitWrite(std::uint32_t nth, std::uint32_t bytes) {
    return [=](fake::FakePlatform& m) { m.files.LimitWrite(nth, bytes); };
}
const Arrange kNothing = [](fake::FakePlatform&) {};

struct FailureRow {
    const char* what;
    std::vector<std::uint8_t> (*package)();
    Arrange arrange;
    ResultCode expected;
};

// An unsigned package takes these calls: Seek 1 finds the file's size, Seek 2 and Read 1
// take its MZ header, Seek 3 and Read 2 its PE headers, Seek 4 and Read 3 find the marker
// in the last window; Seek 5..10 and Read 4..8 read the trailer; Read 9..11 and Write 1..3
// copy. One with bytes after the trailer (no certificate table) scans: Seek 5 and Read 4
// take a block, Seek 6 moves to the marker's end.
const FailureRow kFailureRows[] = {
    {"own path unknown", Unsigned, FailCall(Call::GetOwnPath, 1), kOpenOwnFileFailed},
    {"own file will not open", Unsigned, FailCall(Call::OpenForReading, 1), kOpenOwnFileFailed},
    {"own file not told to be the started image", Unsigned, FailCall(Call::IsOwnImage, 1),
     kOpenOwnFileFailed},
    {"package shorter than a window", Tiny, kNothing, kSeekNearEndFailed},
    {"seek to the last window", Unsigned, FailCall(Call::Seek, 1), kSeekNearEndFailed},
    {"seek to the MZ header", Unsigned, FailCall(Call::Seek, 2), kScanSeekOrCreateFailed},
    {"MZ header unreadable", Unsigned, FailCall(Call::Read, 1), kScanReadOrCopyFailed},
    {"seek to the PE headers", Unsigned, FailCall(Call::Seek, 3), kScanSeekOrCreateFailed},
    {"PE headers short", Unsigned, LimitRead(2, 100), kScanReadOrCopyFailed},
    {"seek to the last searched window", Unsigned, FailCall(Call::Seek, 4),
     kScanSeekOrCreateFailed},
    {"scan block seek", Signed, FailCall(Call::Seek, 5), kScanSeekOrCreateFailed},
    {"move to the marker end", Signed, FailCall(Call::Seek, 6), kScanSeekOrCreateFailed},
    {"no marker", WithoutMarker, kNothing, kScanSeekOrCreateFailed},
    {"last window unreadable", Unsigned, FailCall(Call::Read, 3), kScanReadOrCopyFailed},
    {"scan read", Signed, FailCall(Call::Read, 4), kScanReadOrCopyFailed},
    {"scan read short", Signed, LimitRead(4, 100), kScanReadOrCopyFailed},
    // Each of the reader's own calls failing is a row of its own below (ReaderRows); these
    // are the packages it refuses.
    {"marker too near the start", [] { return MarkerEndingAt(1071); }, kNothing,
     kSeekFieldsFailed},
    {"no room for PayloadSize", [] { return MarkerEndingAt(1079); }, kNothing,
     kSeekPayloadSizeFailed},
    {"PayloadSize beyond the trailer start", OversizedPayload, kNothing, kSeekPayloadFailed},
    {"no temporary directory", Unsigned, FailCall(Call::GetTempDirectory, 1),
     kTempDirectoryFailed},
    {"temporary directory too long", Unsigned,
     [](fake::FakePlatform& m) {
         m.files.SetTempDirectory(u"C:\\" + std::u16string(596, u't') + u"\\");  // 600 units
     },
     kTempDirectoryFailed},
    // 244 + 16 units: no program can be started from a path of 260.
    {"installer path of 260 units", Unsigned,
     [](fake::FakePlatform& m) {
         m.files.SetTempDirectory(u"C:\\" + std::u16string(240, u't') + u"\\");
     },
     kTempDirectoryFailed},
    {"create fails", Unsigned, FailCall(Call::CreateNew, 1), kScanSeekOrCreateFailed},
    {"new file's identity unknown", Unsigned, FailCall(Call::GetIdentity, 1),
     kScanSeekOrCreateFailed},
    {"first copy read", Unsigned, FailCall(Call::Read, 9), kScanReadOrCopyFailed},
    {"last copy read", Unsigned, FailCall(Call::Read, 11), kScanReadOrCopyFailed},
    {"copy read ends early", Unsigned, LimitRead(10, 0), kScanReadOrCopyFailed},
    {"first write", Unsigned, FailCall(Call::Write, 1), kScanReadOrCopyFailed},
    {"short last write", Unsigned, LimitWrite(3, 5), kScanReadOrCopyFailed},
};

// The reader's table, its calls counted from the start of the run: the locator has made
// 4 seeks and 3 reads on an unsigned package by then.
std::vector<FailureRow> ReaderRows() {
    std::vector<FailureRow> rows;
    for (const testing::ReaderStep& step : testing::kReaderSteps) {
        const std::uint32_t nth = step.nth + (step.call == Call::Seek ? 4 : 3);
        rows.push_back({step.what, Unsigned, FailCall(step.call, nth), step.code});
        if (step.call == Call::Read) {
            rows.push_back({step.what, Unsigned, LimitRead(nth, step.size - 1), step.code});
        }
    }
    return rows;
}

std::vector<FailureRow> AllFailureRows() {
    std::vector<FailureRow> rows(std::begin(kFailureRows), std::end(kFailureRows));
    const std::vector<FailureRow> reader = ReaderRows();
    rows.insert(rows.end(), reader.begin(), reader.end());
    return rows;
}

TEST(RunSequence, EachFailureGivesItsCodeStartsNothingAndLeavesNoFile) {
    for (const FailureRow& row : AllFailureRows()) {
        SCOPED_TRACE(row.what);
        fake::FakePlatform machine;
        machine.files.SetOwnPath(kOwnPath);
        machine.files.AddFile(kOwnPath, row.package());
        row.arrange(machine);

        EXPECT_EQ(RunPackage(machine.Services()), row.expected);
        EXPECT_TRUE(machine.processes.started.empty());
        EXPECT_EQ(machine.log.Count(Call::StartProcess), 0u);
        // The own file is all there is: no temporary file was left behind.
        EXPECT_EQ(machine.files.Paths(), std::vector<std::u16string>{kOwnPath});
        EXPECT_EQ(machine.files.OpenHandles(), 0u);
        EXPECT_EQ(machine.processes.OpenHandles(), 0u);
    }
}

TEST(RunSequence, EveryCodeFromOneToSixteenHasARow) {
    bool seen[kScanReadOrCopyFailed + 1] = {};
    for (const FailureRow& row : AllFailureRows()) seen[row.expected] = true;
    for (std::uint32_t code = kOpenOwnFileFailed; code <= kScanReadOrCopyFailed; ++code) {
        EXPECT_TRUE(seen[code]) << "no row for code " << code;
    }
}

TEST(RunSequence, UnknownOwnPathEndsTheRunBeforeAnythingElse) {
    fake::FakePlatform machine;
    machine.files.SetOwnPath(kOwnPath);
    machine.files.AddFile(kOwnPath, Unsigned());
    machine.log.Fail(Call::GetOwnPath);

    EXPECT_EQ(RunPackage(machine.Services()), kOpenOwnFileFailed);
    for (std::uint32_t i = 0; i <= static_cast<std::uint32_t>(Call::OpenUrl); ++i) {
        const auto call = static_cast<Call>(i);
        EXPECT_EQ(machine.log.Count(call), call == Call::GetOwnPath ? 1u : 0u) << "call " << i;
    }
}

// A running program's file can be renamed and another put at its name: a signed package
// renamed away as it starts, an unsigned one of the same launcher planted in its place. The
// launcher opens the name, sees it is not the file it was started from, and stops with 1
// before anything is created; once it has its own file open, nobody can rename it.
TEST(RunSequence, OnlyTheFileTheProcessWasStartedFromIsRead) {
    const std::u16string moved = u"C:\\Downloads\\renamed.exe";
    for (const bool planted : {true, false}) {
        SCOPED_TRACE(planted ? "renamed and replaced before the open" : "rename after the open");
        fake::FakePlatform machine;
        machine.files.SetOwnPath(kOwnPath);
        machine.files.AddFile(kOwnPath, Unsigned());
        testing::PackageParts theirs;
        theirs.payload = {'M', 'Z', 'e', 'v', 'i', 'l'};
        fake::Answer renameAfterOpen = fake::Answer::Done;
        machine.log.beforeCall = [&](Call call) {
            if (planted && call == Call::OpenForReading &&
                machine.log.Count(Call::OpenForReading) == 0) {
                EXPECT_EQ(machine.files.UserRename(kOwnPath, moved), fake::Answer::Done);
                EXPECT_EQ(machine.files.UserCreate(kOwnPath, testing::BuildPackage(theirs)),
                          fake::Answer::Done);
            }
            if (!planted && call == Call::Seek && machine.log.Count(Call::Seek) == 0) {
                renameAfterOpen = machine.files.UserRename(kOwnPath, moved);
            }
        };

        const ResultCode code = RunPackage(machine.Services());
        if (planted) {
            EXPECT_EQ(code, kOpenOwnFileFailed);
            EXPECT_EQ(machine.log.Count(Call::GetTempDirectory), 0u);
            EXPECT_TRUE(machine.processes.started.empty());
            EXPECT_EQ(machine.files.Paths().size(), 2u);
        } else {
            EXPECT_EQ(code, kSuccess);
            EXPECT_EQ(renameAfterOpen, fake::Answer::SharingViolation);
            ASSERT_EQ(machine.processes.started.size(), 1u);
            EXPECT_EQ(machine.processes.started[0].image, Payload());
        }
        EXPECT_EQ(machine.files.OpenHandles(), 0u);
    }
}

// A file at the drawn name belongs to someone else: it is neither started nor deleted.
TEST_F(RunSequenceTest, FileAlreadyAtTheTemporaryNameIsNeitherStartedNorDeleted) {
    Install(Unsigned());
    const std::vector<std::uint8_t> theirs = {'M', 'Z', 'x'};
    machine.files.AddFile(kInstallerPath, theirs);

    EXPECT_EQ(RunPackage(machine.Services()), kScanSeekOrCreateFailed);
    EXPECT_TRUE(machine.processes.started.empty());
    EXPECT_EQ(machine.log.Count(Call::DeleteOpened), 0u);
    EXPECT_EQ(machine.files.Bytes(kInstallerPath), theirs);
    EXPECT_EQ(machine.files.OpenHandles(), 0u);
}

// While the installer runs the launcher holds its file, reading it and sharing only
// reading; the own file is the only other one open.
TEST_F(RunSequenceTest, InstallerStartsFromTheDrawnNameWhileOnlyItsHoldIsOpen) {
    Install(Unsigned());
    std::uint32_t openAtStart = ~0u;
    fake::Answer deleteAtStart = fake::Answer::Done;
    machine.processes.onStart = [&](const fake::StartedProcess&) {
        openAtStart = machine.files.OpenHandles();
        deleteAtStart = machine.files.UserOpenForDeleting(kInstallerPath);
        return 0u;
    };

    EXPECT_EQ(RunPackage(machine.Services()), kSuccess);
    ASSERT_EQ(machine.processes.started.size(), 1u);
    EXPECT_EQ(machine.processes.started[0].applicationName, kInstallerPath);
    EXPECT_EQ(machine.processes.started[0].image, Payload());
    EXPECT_EQ(openAtStart, 2u);
    EXPECT_EQ(deleteAtStart, fake::Answer::SharingViolation);
    EXPECT_EQ(machine.files.OpenHandles(), 0u);
}

// The installer's outcome never becomes the result; the copy is deleted in every case.
TEST(RunSequence, InstallerOutcomeLeavesTheResultAndDeletesTheCopy) {
    struct Row {
        const char* what;
        Arrange arrange;
        std::uint32_t started;
    };
    const auto exitWith = [](std::uint32_t code) {
        return [code](fake::FakePlatform& m) {
            m.processes.onStart = [code](const fake::StartedProcess&) { return code; };
        };
    };
    const Row rows[] = {
        {"exit 0", exitWith(0), 1},
        {"exit 1", exitWith(1), 1},
        {"access violation", exitWith(0xC0000005u), 1},
        {"exit code unreadable", FailCall(Call::GetExitCode, 1), 1},
        {"start fails", FailCall(Call::StartProcess, 1), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fake::FakePlatform machine;
        machine.files.SetOwnPath(kOwnPath);
        machine.files.AddFile(kOwnPath, Unsigned());
        row.arrange(machine);

        EXPECT_EQ(RunPackage(machine.Services()), kSuccess);
        EXPECT_EQ(machine.processes.started.size(), row.started);
        EXPECT_EQ(machine.log.Count(Call::StartProcess), 1u);
        EXPECT_FALSE(machine.files.Exists(kInstallerPath));
        EXPECT_EQ(machine.files.Paths(), std::vector<std::u16string>{kOwnPath});
        EXPECT_EQ(machine.files.OpenHandles(), 0u);
        EXPECT_EQ(machine.processes.OpenHandles(), 0u);
    }
}

TEST(RunSequence, SignedPackageRunsLikeTheUnsignedOne) {
    struct Outcome {
        ResultCode code;
        std::vector<fake::StartedProcess> started;
        std::vector<std::u16string> pathsAfter;
    };
    const auto run = [](const std::vector<std::uint8_t>& package) {
        fake::FakePlatform machine;
        machine.files.SetOwnPath(kOwnPath);
        machine.files.AddFile(kOwnPath, package);
        Outcome outcome{RunPackage(machine.Services()), machine.processes.started,
                        machine.files.Paths()};
        EXPECT_EQ(machine.files.OpenHandles(), 0u);
        return outcome;
    };
    const Outcome plain = run(Unsigned());
    ASSERT_EQ(plain.code, kSuccess);
    ASSERT_EQ(plain.started.size(), 1u);
    EXPECT_EQ(plain.started[0].image, Payload());

    // Trailing bytes of any length, and certificate tables after 0 to 7 bytes of padding,
    // one of them holding a second payload, trailer and marker slipped in after signing.
    testing::PackageParts slipped;
    slipped.payload = {'M', 'Z', 'e', 'v', 'i', 'l'};
    slipped.fields[2] = "https://elsewhere%1/";
    const std::vector<std::uint8_t> slippedTable = testing::BuildPackage(slipped);
    struct Variant {
        std::size_t trailing;
        std::size_t padding;  // with a table when the trailing bytes are 0
        bool slipped;
    };
    const Variant variants[] = {{1, 0, false},    {31, 0, false},     {5000, 0, false},
                                {70000, 0, false}, {140000, 0, false}, {0, 0, false},
                                {0, 7, false},     {0, 0, true},       {0, 3, true}};
    for (const Variant& variant : variants) {
        SCOPED_TRACE(::testing::Message() << variant.trailing << " trailing bytes, padding "
                                          << variant.padding << (variant.slipped ? ", slipped" : ""));
        testing::PackageParts parts;
        parts.payload = Payload();
        parts.after.assign(variant.trailing, 0x82);
        std::vector<std::uint8_t> package = testing::BuildPackage(parts);
        if (variant.trailing == 0) {
            const std::size_t signedEnd = package.size() + variant.padding;
            testing::Sign(package, variant.padding, 1500 + (variant.slipped ? slippedTable.size() : 0));
            if (variant.slipped) {
                std::copy(slippedTable.begin(), slippedTable.end(),
                          package.begin() + static_cast<std::ptrdiff_t>(signedEnd + 1500));
            }
        }
        const Outcome signedRun = run(package);
        EXPECT_EQ(signedRun.code, plain.code);
        ASSERT_EQ(signedRun.started.size(), 1u);
        EXPECT_EQ(signedRun.started[0].image, plain.started[0].image);
        EXPECT_EQ(signedRun.started[0].applicationName, plain.started[0].applicationName);
        EXPECT_EQ(signedRun.started[0].commandLine, plain.started[0].commandLine);
        EXPECT_EQ(signedRun.pathsAfter, plain.pathsAfter);
    }
}

}  // namespace
}  // namespace wrapper
