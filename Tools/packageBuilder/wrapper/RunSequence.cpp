#include "RunSequence.h"

#include "handoff/HandOff.h"
#include "package/PackageTrailer.h"
#include "package/PayloadExtractor.h"
#include "package/TrailerReader.h"
#include "run/InstallerHold.h"
#include "run/InstallerRemoval.h"
#include "run/InstallerRunner.h"

#include <cstdint>

namespace wrapper {

ResultCode RunPackage(const LauncherServices& services) {
    platform::Files& files = services.files;

    // A truncated own path could name some other file, so it counts as not opened.
    char16_t ownPath[package::kPathCapacity] = {};
    if (files.GetOwnPath(ownPath, package::kPathCapacity) == 0) return kOpenOwnFileFailed;
    platform::UniqueFile ownFile(files, files.OpenForReading(ownPath));
    if (!ownFile) return kOpenOwnFileFailed;

    package::TrailerFields fields = {};
    std::uint64_t payloadSize = 0;
    char16_t tempInstallerPath[package::kPathCapacity] = {};
    bool createdInstaller = false;
    platform::FileIdentity written;

    ResultCode result = package::LocateAndReadTrailer(files, ownFile.Get(), fields, payloadSize);
    if (result == kSuccess) {
        result = package::ExtractPayload(files, services.clock, ownFile.Get(), payloadSize,
                                         tempInstallerPath, createdInstaller, written);
    }
    // From its creation until the installer has ended, nobody else can change the copy: it
    // is held again right after the writer closed, and only if it is still the file written.
    // A file swapped in meanwhile is someone else's: it is neither started nor deleted.
    platform::UniqueFile heldInstaller(
        files, result == kSuccess ? run::HoldExtractedInstaller(files, tempInstallerPath, written)
                                  : platform::FileHandle{});
    if (result == kSuccess && !heldInstaller) createdInstaller = false;
    ownFile.Reset();

    // Only a complete copy made by this run is ever started: that is what success means.
    const bool installed =
        heldInstaller && run::RunInstaller(services.processes, tempInstallerPath);
    // The hand-off is over, its key closed, before the installer is deleted.
    if (installed) {
        handoff::RunHandOff(services.registry, services.profiles, services.shell,
                            services.codePages, fields);
    }
    heldInstaller.Reset();

    // Only a file this run created is ever deleted; a file that merely had the chosen
    // name belongs to someone else. The installer this run extracted never outlives it:
    // still held after the retries, it goes at the next restart.
    if (createdInstaller) run::RemoveExtractedInstaller(files, services.clock, tempInstallerPath);
    return result;
}

}  // namespace wrapper
