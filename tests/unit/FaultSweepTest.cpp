// Every platform call of a whole good run, made to fail in turn (reads and writes also
// cut short and cut to nothing), checking each time what the launcher promises whatever
// goes wrong: a code from its table, the one for the phase that failed; nothing started
// but a whole copy of the payload; no file that is not this run's changed or deleted;
// the extracted installer never left behind; Version.ini only after a successful install;
// no handle, key or process left open.

#include "FakePlatform.h"
#include "FakeFacts.h"
#include "HandOffTesting.h"
#include "PackageBuilder.h"
#include "SignatureBuilder.h"
#include "TrailerReaderSteps.h"
#include "RunSequence.h"
#include "package/PayloadExtractor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace wrapper {
namespace {

using fake::Call;

using fake::kInstallerPath;
using fake::kOwnPath;
using fake::kTempFolder;
const std::u16string kInstallDir = u"C:\\Program Files (x86)\\Demo";
const std::u16string kVersionIni = kInstallDir + u"\\Version.ini";

// Two copy blocks: one whole block and a part of one.
constexpr std::size_t kPayloadSize = package::kCopyBufferSize + 3616;

enum class Fault { Fail, ShortByOne, Nothing };

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::Fail: return "fails";
        case Fault::ShortByOne: return "moves one byte short";
        case Fault::Nothing: return "moves nothing";
    }
    return "?";
}

// One call of the good run and the code the run must end with when it goes wrong.
struct Step {
    Call call;
    const char* what;
    ResultCode onFail;
    ResultCode onShort = kSuccess;    // reads and writes only
    ResultCode onNothing = kSuccess;  // reads and writes only
    // When it fails, the copy can no longer be told from a file put in its place: it is
    // neither started nor deleted.
    bool leavesInstaller = false;
};

std::vector<std::uint8_t> Payload() {
    std::vector<std::uint8_t> payload(kPayloadSize);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7 % 251);
    payload[0] = 'M';
    payload[1] = 'Z';
    return payload;
}

// A signed package ends with its certificate table, after 4 bytes of padding: the locator
// searches the bytes before the table and scans past the padding for the marker. It is
// signed with no campaign and stamped, so the run reads the table once more for the stamp.
std::vector<std::uint8_t> Package(bool isSigned) {
    testing::PackageParts parts;
    parts.payload = Payload();
    if (isSigned) parts.fields[1] = "";
    std::vector<std::uint8_t> package = testing::BuildPackage(parts);
    if (isSigned) testing::SignWithTable(package, 4, testing::StampedTable("wrapper-campaign:c=1"));
    return package;
}

// The calls of a good run, in order, each with its codes. A short read of a payload block
// is made up by the next read; one that delivers nothing is an early end of the package.
std::vector<Step> GoodRun(bool isSigned) {
    std::vector<Step> steps = {
        {Call::GetOwnPath, "own path", kOpenOwnFileFailed},
        {Call::OpenForReading, "open own file", kOpenOwnFileFailed},
        {Call::IsOwnImage, "own file is the started image", kOpenOwnFileFailed},
        {Call::Seek, "to 32 bytes before the end", kSeekNearEndFailed},
        {Call::Seek, "to the MZ header", kScanSeekOrCreateFailed},
        {Call::Read, "MZ header", kScanReadOrCopyFailed, kScanReadOrCopyFailed,
         kScanReadOrCopyFailed},
        {Call::Seek, "to the PE headers", kScanSeekOrCreateFailed},
        {Call::Read, "PE headers", kScanReadOrCopyFailed, kScanReadOrCopyFailed,
         kScanReadOrCopyFailed},
        {Call::Seek, "to the last window before the table", kScanSeekOrCreateFailed},
        {Call::Read, "last 32 bytes", kScanReadOrCopyFailed, kScanReadOrCopyFailed,
         kScanReadOrCopyFailed},
    };
    if (isSigned) {
        steps.insert(steps.end(), {
            {Call::Seek, "scan: to the block", kScanSeekOrCreateFailed},
            {Call::Read, "scan: the block", kScanReadOrCopyFailed, kScanReadOrCopyFailed,
             kScanReadOrCopyFailed},
            {Call::Seek, "scan: just past the marker", kScanSeekOrCreateFailed},
        });
    }
    // The reader's calls, as its own table gives them.
    for (const testing::ReaderStep& step : testing::kReaderSteps) {
        const ResultCode partial = step.call == Call::Read ? step.code : kSuccess;
        steps.push_back({step.call, step.what, step.code, partial, partial});
    }
    steps.insert(steps.end(), {
        {Call::GetTempDirectory, "temporary folder", kTempDirectoryFailed},
        {Call::CreateNew, "create the installer", kScanSeekOrCreateFailed},
        {Call::GetIdentity, "the new file's identity", kScanSeekOrCreateFailed},
        {Call::Read, "payload block 1", kScanReadOrCopyFailed, kSuccess, kScanReadOrCopyFailed},
        {Call::Write, "installer block 1", kScanReadOrCopyFailed, kScanReadOrCopyFailed,
         kScanReadOrCopyFailed},
        {Call::Read, "payload block 2", kScanReadOrCopyFailed, kSuccess, kScanReadOrCopyFailed},
        {Call::Write, "installer block 2", kScanReadOrCopyFailed, kScanReadOrCopyFailed,
         kScanReadOrCopyFailed},
        // From here on nothing changes the code: the installer's fate never becomes it.
        {Call::Close, "close the installer", kSuccess},
        {Call::OpenAndHold, "hold the installer", kSuccess, kSuccess, kSuccess, true},
        {Call::GetIdentity, "the held file's identity", kSuccess, kSuccess, kSuccess, true},
    });
    if (isSigned) {
        // Reading the stamp never changes the code, whatever fails.
        steps.insert(steps.end(), {
            {Call::Seek, "stamp: the file's size", kSuccess},
            {Call::Seek, "stamp: to the MZ header", kSuccess},
            {Call::Read, "stamp: MZ header", kSuccess, kSuccess, kSuccess},
            {Call::Seek, "stamp: to the PE headers", kSuccess},
            {Call::Read, "stamp: PE headers", kSuccess, kSuccess, kSuccess},
            {Call::Seek, "stamp: to the certificate table", kSuccess},
            {Call::Read, "stamp: the certificate table", kSuccess, kSuccess, kSuccess},
        });
    }
    steps.insert(steps.end(), {
        {Call::StartProcess, "start the installer", kSuccess},
        {Call::WaitForExit, "wait for it", kSuccess},
        {Call::GetExitCode, "its exit code", kSuccess},
        {Call::CloseProcess, "close it", kSuccess},
        {Call::RunsElevated, "elevated or not", kSuccess},
        {Call::OpenKey, "uninstall key", kSuccess},
        {Call::QueryValue, "install folder", kSuccess},
        {Call::WriteProfileString, "[QD] url", kSuccess},
        {Call::WriteProfileString, "[QD] paramcount", kSuccess},
        {Call::WriteProfileString, "[QD] 1", kSuccess},
        {Call::WriteProfileString, "[UNINSTALL] url", kSuccess},
        {Call::WriteProfileString, "[UNINSTALL] param", kSuccess},
        {Call::ReadProfileString, "LANGUAGE", kSuccess},
        {Call::BeginCom, "initialise COM", kSuccess},
        {Call::OpenUrlAsDesktopUser, "landing page through the desktop shell", kSuccess},
        {Call::EndCom, "end COM", kSuccess},
        {Call::CloseKey, "close the key", kSuccess},
        {Call::Close, "let go of the installer", kSuccess},
        {Call::OpenForDeleting, "open the installer for deleting", kSuccess},
        {Call::GetIdentity, "its identity before the delete", kSuccess, kSuccess, kSuccess, true},
        {Call::DeleteOpened, "delete it through that handle", kSuccess},
        {Call::Close, "close that handle", kSuccess},
        {Call::Close, "close own file", kSuccess},
    });
    return steps;
}

// One machine with the package, a product that the installer registers when it runs, and
// files of other people's in the places the launcher touches.
struct Machine {
    fake::FakePlatform platform;
    std::map<std::u16string, std::vector<std::uint8_t>> before;

    explicit Machine(bool isSigned) {
        platform.files.SetOwnPath(kOwnPath);
        platform.files.AddFile(kOwnPath, Package(isSigned));
        platform.files.AddFile(std::u16string(kTempFolder) + u"Zorvik28461.exe", {'M', 'Z', 9});
        platform.files.AddFile(std::u16string(kTempFolder) + u"notes.txt", {'n'});
        platform.files.AddFile(u"C:\\Downloads\\other.exe", {'M', 'Z', 8});
        platform.processes.onStart = [this](const fake::StartedProcess&) {
            testing::RegisterProduct(platform, u"C:\\Program Files (x86)\\Demo");
            testing::WriteFileText(platform, kInstallDir + u"\\cfg.ini",
                                   "[Language]\r\nLANGUAGE=lang\\de.ini\r\n");
            return 0u;
        };
        for (const auto& path : platform.files.Paths()) before[path] = platform.files.Bytes(path);
    }
};

// What a run did, checked against the promise. Returns "" or what was broken.
std::string BrokenPromise(Machine& machine, ResultCode code, ResultCode expected,
                          bool installCounted, bool installerStays = false) {
    auto& files = machine.platform.files;
    std::string broken;
    auto complain = [&broken](const std::string& text) { broken += "\n    " + text; };

    if (code != expected) {
        complain("code " + std::to_string(code) + ", expected " + std::to_string(expected));
    }
    for (const auto& started : machine.platform.processes.started) {
        if (started.applicationName != kInstallerPath) complain("started a file not its own");
        if (started.image != Payload()) complain("started an installer that was not copied whole");
    }
    if (machine.platform.processes.started.size() > 1) complain("started the installer twice");
    for (const auto& [path, bytes] : machine.before) {
        if (!files.Exists(path)) {
            complain("deleted a file not its own");
        } else if (files.Bytes(path) != bytes) {
            complain("changed a file not its own");
        }
    }
    if (files.Exists(kInstallerPath) != installerStays) {
        complain(installerStays ? "deleted a file it could not tell from its copy"
                                : "left the extracted installer behind");
    }
    const std::u16string versionIni = kVersionIni;
    for (const auto& path : files.Paths()) {
        if (machine.before.count(path) != 0) continue;
        const bool allowed = path == versionIni || path == kInstallDir + u"\\cfg.ini" ||
                             (installerStays && path == kInstallerPath);
        if (!allowed) complain("left a new file behind");
    }
    if (files.Exists(versionIni) && !installCounted) {
        complain("wrote Version.ini without a successful install");
    }
    if (files.OpenHandles() != 0) complain("left a file open");
    if (machine.platform.processes.OpenHandles() != 0) complain("left a process handle open");
    if (machine.platform.registry.OpenKeys() != 0) complain("left a registry key open");
    if (machine.platform.shell.comDepth != 0) complain("left COM initialised");
    if (machine.platform.shell.opened.size() > 1) complain("opened the page twice");
    return broken;
}

TEST(FaultSweep, GoodRunMakesExactlyTheCallsTheSweepCovers) {
    for (const bool isSigned : {false, true}) {
        SCOPED_TRACE(isSigned ? "signed package" : "unsigned package");
        Machine machine(isSigned);
        ASSERT_EQ(RunPackage(machine.platform.Services()), kSuccess);
        EXPECT_EQ(BrokenPromise(machine, kSuccess, kSuccess, true), "");
        EXPECT_TRUE(machine.platform.files.Exists(kVersionIni));

        std::vector<Call> expected;
        for (const Step& step : GoodRun(isSigned)) expected.push_back(step.call);
        EXPECT_EQ(machine.platform.log.Sequence(), expected);
    }
}

TEST(FaultSweep, EveryCallOfAGoodRunFailingKeepsThePromise) {
    std::size_t points = 0;
    std::size_t calls = 0;
    for (const bool isSigned : {false, true}) {
        const std::vector<Step> steps = GoodRun(isSigned);
        calls += steps.size();
        std::map<Call, std::uint32_t> seen;
        for (std::size_t index = 0; index < steps.size(); ++index) {
            const Step& step = steps[index];
            const std::uint32_t nth = ++seen[step.call];
            const bool transfers = step.call == Call::Read || step.call == Call::Write;
            for (const Fault fault : {Fault::Fail, Fault::ShortByOne, Fault::Nothing}) {
                if (fault != Fault::Fail && !transfers) continue;
                ++points;
                Machine machine(isSigned);
                auto& files = machine.platform.files;
                ResultCode expected = step.onFail;
                switch (fault) {
                    case Fault::Fail: machine.platform.log.Fail(step.call, nth); break;
                    case Fault::ShortByOne:
                        expected = step.onShort;
                        step.call == Call::Read ? files.ShortenRead(nth) : files.ShortenWrite(nth);
                        break;
                    case Fault::Nothing:
                        expected = step.onNothing;
                        step.call == Call::Read ? files.LimitRead(nth, 0) : files.LimitWrite(nth, 0);
                        break;
                }
                const ResultCode code = RunPackage(machine.platform.Services());
                // The install counts only when the installer started and its exit code was read.
                const bool installCounted =
                    !machine.platform.processes.started.empty() &&
                    !(fault == Fault::Fail && step.call == Call::GetExitCode);
                const std::string broken = BrokenPromise(machine, code, expected, installCounted,
                                                         fault == Fault::Fail && step.leavesInstaller);
                EXPECT_EQ(broken, "") << (isSigned ? "signed" : "unsigned") << " package, call "
                                      << index + 1 << " (" << step.what << ") "
                                      << FaultName(fault) << ":" << broken;
            }
        }
    }
    std::printf("[ sweep    ] %zu injection points over all %zu calls of two good runs\n",
                points, calls);
}

// A virus scanner that holds the new installer open: the result and the hand-off stay as
// they are, and the file goes as soon as it is let go within the retries. Held past them, it
// stays: there is no delete at restart, which the system would do by name.
TEST(FaultSweep, InstallerHeldByAScannerNeverChangesTheRun) {
    struct Row {
        const char* name;
        std::uint32_t heldForAttempts;  // deletes that find it in use
        std::size_t pauses;
        bool stillThere;
    };
    const Row rows[] = {
        {"let go before the first delete", 0, 0, false},
        {"let go after one pause", 1, 1, false},
        {"let go at the last attempt", 5, 5, false},
        {"held through every attempt", 6, 5, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Machine machine(false);
        auto& files = machine.platform.files;
        std::uint32_t pauses = 0;
        machine.platform.processes.onStart = [&](const fake::StartedProcess&) {
            if (row.heldForAttempts > 0) files.Hold(kInstallerPath);
            testing::RegisterProduct(machine.platform, u"C:\\Program Files (x86)\\Demo");
            return 0u;
        };
        machine.platform.clock.onPause = [&] {
            if (++pauses == row.heldForAttempts) files.Hold(kInstallerPath, false);
        };

        EXPECT_EQ(RunPackage(machine.platform.Services()), kSuccess);
        EXPECT_EQ(machine.platform.shell.opened.size(), 1u);
        EXPECT_EQ(machine.platform.clock.pauses.size(), row.pauses);
        EXPECT_EQ(files.Exists(kInstallerPath), row.stillThere);
        EXPECT_EQ(files.OpenHandles(), 0u);
    }
}

}  // namespace
}  // namespace wrapper
