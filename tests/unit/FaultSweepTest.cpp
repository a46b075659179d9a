// Every platform call of a whole good run, as the fake records it, made to fail in turn
// (reads and writes also cut short and cut to nothing), checking each time what the launcher
// promises whatever goes wrong: a code from its table, the one for the phase that failed;
// nothing started but a whole copy of the payload; no file that is not this run's changed
// or deleted; the extracted installer never left behind; Version.ini only after a
// successful install; no handle, key or process left open.

#include "FakePlatform.h"
#include "FakeFacts.h"
#include "HandOffTesting.h"
#include "PackageModel.h"
#include "SignatureBuilder.h"
#include "TrailerReaderSteps.h"
#include "RunSequence.h"
#include "package/PayloadExtractor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace wrapper {
namespace {

using fake::Call;
using fake::CallName;

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
    ResultCode onFail = kSuccess;
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

// The code each call of a recorded good run must end the run with when it goes wrong, by
// the part of the run it falls in: the own file's check, the first seek, the search, the
// reader (its own table), the temporary folder, the copy, and after the copy, where nothing
// changes the code. The parts are found by the calls that open them. A short read of a
// payload block is made up by the next read; one that delivers nothing is an early end of
// the package.
std::vector<Step> Expectations(const std::vector<Call>& run) {
    const auto first = [&run](Call call, std::size_t from = 0) {
        return static_cast<std::size_t>(
            std::find(run.begin() + static_cast<std::ptrdiff_t>(from), run.end(), call) -
            run.begin());
    };
    const std::size_t checked = first(Call::IsOwnImage);
    const std::size_t temp = first(Call::GetTempDirectory);
    const std::size_t reader = temp - std::size(testing::kReaderSteps);
    const std::size_t copied = first(Call::Close, temp);
    std::vector<Step> steps;
    for (std::size_t i = 0; i < run.size(); ++i) {
        Step step{run[i]};
        const bool transfers = step.call == Call::Read || step.call == Call::Write;
        if (i <= checked) {
            step.onFail = kOpenOwnFileFailed;
        } else if (i == checked + 1) {
            step.onFail = kSeekNearEndFailed;
        } else if (i < reader) {
            step.onFail = transfers ? kScanReadOrCopyFailed : kScanSeekOrCreateFailed;
        } else if (i < temp) {
            step.onFail = testing::kReaderSteps[i - reader].code;
        } else if (i == temp) {
            step.onFail = kTempDirectoryFailed;
        } else if (i < copied) {
            step.onFail = transfers ? kScanReadOrCopyFailed : kScanSeekOrCreateFailed;
        } else {
            step.leavesInstaller = step.call == Call::OpenAndHold || step.call == Call::GetIdentity;
        }
        if (transfers && i < copied) {
            step.onShort = step.onNothing = step.onFail;
            if (i > temp && step.call == Call::Read) step.onShort = kSuccess;
        }
        steps.push_back(step);
    }
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

// The calls of a good run, as the fake records them; the run keeps every promise.
std::vector<Call> RecordedRun(bool isSigned) {
    Machine machine(isSigned);
    EXPECT_EQ(RunPackage(machine.platform.Services()), kSuccess);
    EXPECT_EQ(BrokenPromise(machine, kSuccess, kSuccess, true), "");
    EXPECT_TRUE(machine.platform.files.Exists(kVersionIni));
    return machine.platform.log.Sequence();
}

// Nothing is read, created or started before the own file is known to be the started
// image; the reader makes the calls of its own table, right before the temporary folder is
// asked for (which the sweep's parts rely on); the installer is deleted through a handle
// checked to be the copy, and the own file is let go of last.
TEST(FaultSweep, GoodRunChecksItsOwnFileFirstAndLetsGoOfItLast) {
    const std::vector<Call> start = {Call::GetOwnPath, Call::OpenForReading, Call::IsOwnImage};
    const std::vector<Call> end = {Call::OpenForDeleting, Call::GetIdentity, Call::DeleteOpened,
                                   Call::Close, Call::Close};
    for (const bool isSigned : {false, true}) {
        SCOPED_TRACE(isSigned ? "signed package" : "unsigned package");
        const std::vector<Call> run = RecordedRun(isSigned);
        ASSERT_GT(run.size(), start.size() + end.size());
        EXPECT_TRUE(std::equal(start.begin(), start.end(), run.begin()));
        EXPECT_TRUE(std::equal(end.rbegin(), end.rend(), run.rbegin()));
        const auto temp = std::find(run.begin(), run.end(), Call::GetTempDirectory);
        ASSERT_GE(temp - run.begin(), static_cast<std::ptrdiff_t>(std::size(testing::kReaderSteps)));
        auto reader = temp - static_cast<std::ptrdiff_t>(std::size(testing::kReaderSteps));
        for (const testing::ReaderStep& step : testing::kReaderSteps) {
            EXPECT_EQ(*reader++, step.call) << step.what;
        }
    }
}

TEST(FaultSweep, EveryCallOfAGoodRunFailingKeepsThePromise) {
    std::size_t points = 0;
    std::size_t calls = 0;
    for (const bool isSigned : {false, true}) {
        const std::vector<Step> steps = Expectations(RecordedRun(isSigned));
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
                                      << index + 1 << " (" << CallName(step.call) << " #" << nth
                                      << ") " << FaultName(fault) << ":" << broken;
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
