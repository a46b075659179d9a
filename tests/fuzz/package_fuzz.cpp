// Fuzz target: arbitrary bytes as the launcher's own file, through one whole run
// (RunPackage: locate, read, extract, run, hand off, delete) on the fake platform.
//
// Input: byte 0 picks the machine's knobs, byte 1 the clock, the rest is the package file.
//   bit 0     a file of someone else's already has the temporary installer's name
//   bit 1     the installer exits with 1 (no hand-off)
//   bit 2     the product is registered, so the hand-off writes Version.ini
//   bit 3     the machine's ANSI code page is UTF-8
//   bits 4-7  one system-call fault: 0 none, 1-5 Read #n fails, 6-10 Seek #(n-5) fails,
//             11-13 Read #(n-10) comes back short, 14 the first Write fails,
//             15 the first Write is short
//
// Invariants: the result code is one of the table's; with no fault it is exactly what the
// package format predicts; a 0 means the started installer held exactly the bytes between
// the payload's start and the trailer; nothing starts on any other code; no file but the
// one this run created (and Version.ini after a hand-off) is changed, added or removed;
// every file, process and key handle is closed; at most one URL is opened.

#include "FakeFacts.h"
#include "FakePlatform.h"
#include "FuzzSupport.h"
#include "RunSequence.h"
#include "handoff/HandOffRecord.h"
#include "package/PayloadExtractor.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using wrapper::fake::Call;
using wrapper::fake::FakePlatform;

using wrapper::fake::kOwnPath;
using wrapper::fake::kTempFolder;
constexpr char16_t kInstallDir[] = u"C:\\Program Files\\Product";
constexpr char16_t kVersionIni[] = u"C:\\Program Files\\Product\\Version.ini";
const std::vector<std::uint8_t> kSomeoneElses = {'n', 'o', 't', ' ', 'o', 'u', 'r', 's'};

enum Knob : std::uint8_t {
    kNameTaken = 1 << 0,
    kInstallerFails = 1 << 1,
    kProductRegistered = 1 << 2,
    kUtf8CodePage = 1 << 3,
};

// Sets up the fault that bits 4-7 choose; true when one was set.
bool InjectFault(FakePlatform& machine, std::uint8_t fault) {
    if (fault == 0) return false;
    if (fault <= 5) {
        machine.log.Fail(Call::Read, fault);
    } else if (fault <= 10) {
        machine.log.Fail(Call::Seek, fault - 5u);
    } else if (fault <= 13) {
        machine.files.LimitRead(fault - 10u, 7);
    } else if (fault == 14) {
        machine.log.Fail(Call::Write, 1);
    } else {
        machine.files.LimitWrite(1, 3);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t knobs = size > 0 ? data[0] : 0;
    const std::uint8_t clockByte = size > 1 ? data[1] : 0;
    const std::size_t skipped = size < 2 ? size : 2;
    const std::vector<std::uint8_t> package(data + skipped, data + size);

    FakePlatform machine;
    machine.files.SetOwnPath(kOwnPath);
    machine.files.SetTempDirectory(kTempFolder);
    machine.files.AddFile(kOwnPath, package);
    machine.clock.seconds = 1'700'000'000ull + clockByte * 7919ull;
    machine.codePages.utf8 = (knobs & kUtf8CodePage) != 0;
    const std::uint32_t installerExit = (knobs & kInstallerFails) != 0 ? 1 : 0;
    machine.processes.onStart = [installerExit](const wrapper::fake::StartedProcess&) {
        return installerExit;
    };

    char16_t tempName[wrapper::package::kPathCapacity] = {};
    const auto seed = static_cast<std::uint32_t>(machine.clock.seconds);
    FUZZ_CHECK(wrapper::package::FormatTempInstallerPath(
        kTempFolder, wrapper::package::DrawTempNumber(seed), tempName));
    const bool nameTaken = (knobs & kNameTaken) != 0;
    if (nameTaken) machine.files.AddFile(tempName, kSomeoneElses);
    const bool productRegistered = (knobs & kProductRegistered) != 0;
    if (productRegistered) {
        machine.registry.SetString(wrapper::handoff::kUninstallKey,
                                   wrapper::handoff::kAppPathValue, kInstallDir);
    }
    const bool faulted = InjectFault(machine, static_cast<std::uint8_t>(knobs >> 4));
    const std::size_t filesBefore = machine.files.Paths().size();

    const wrapper::ResultCode result = wrapper::RunPackage(machine.Services());

    FUZZ_CHECK(result <= wrapper::kScanReadOrCopyFailed);
    const wrapper::testing::ExpectedRead expected = wrapper::testing::ExpectRead(package.data(), package.size());
    if (!faulted) {
        const wrapper::ResultCode predicted =
            expected.code == wrapper::kSuccess && nameTaken ? wrapper::kScanSeekOrCreateFailed
                                                            : expected.code;
        FUZZ_CHECK(result == predicted);
    }

    // Only a complete copy made by this run is started, and only on success.
    if (result == wrapper::kSuccess) {
        FUZZ_CHECK(expected.code == wrapper::kSuccess);
        FUZZ_CHECK(machine.processes.started.size() == 1);
        const auto& started = machine.processes.started.front();
        FUZZ_CHECK(wrapper::fake::FakeFiles::Normalize(started.applicationName) ==
                   wrapper::fake::FakeFiles::Normalize(tempName));
        const auto first = package.begin() + static_cast<std::ptrdiff_t>(expected.payloadStart);
        const std::vector<std::uint8_t> payload(
            first, first + static_cast<std::ptrdiff_t>(expected.payloadSize));
        FUZZ_CHECK(started.image == payload);
    } else {
        FUZZ_CHECK(machine.processes.started.empty());
    }

    // Files: the package and someone else's file untouched, the extracted installer gone,
    // Version.ini only after a successful install of a registered product.
    FUZZ_CHECK(machine.files.Bytes(kOwnPath) == package);
    if (nameTaken) FUZZ_CHECK(machine.files.Bytes(tempName) == kSomeoneElses);
    else FUZZ_CHECK(!machine.files.Exists(tempName));
    const bool handedOff = result == wrapper::kSuccess && installerExit == 0 && productRegistered;
    FUZZ_CHECK(machine.files.Exists(kVersionIni) == handedOff);
    FUZZ_CHECK(machine.files.Paths().size() == filesBefore + (handedOff ? 1 : 0));

    FUZZ_CHECK(machine.files.OpenHandles() == 0);
    FUZZ_CHECK(machine.processes.OpenHandles() == 0);
    FUZZ_CHECK(machine.registry.OpenKeys() == 0);
    FUZZ_CHECK(machine.shell.opened.size() <= (handedOff ? 1u : 0u));
    return 0;
}
