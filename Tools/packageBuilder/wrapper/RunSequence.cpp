#include "RunSequence.h"

#include "handoff/HandOff.h"
#include "package/CampaignStamp.h"
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
    // The name may lead elsewhere by now: a running program's file can be renamed and
    // another put in its place. Only the very file this process was started from is read;
    // from its opening to the end of the run nobody can write, rename or delete it.
    if (!ownFile || !services.processes.IsOwnImage(ownFile.Get())) return kOpenOwnFileFailed;

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
    // A package signed with no campaign takes the one its download was stamped with, if
    // valid. It is read only once the payload is copied, so nothing in the unsigned slot
    // can take part in what runs; reading it never changes the result.
    char (&campaign)[package::kFieldSize] =
        fields.bytes[static_cast<std::uint32_t>(package::Field::CampaignQuery)];
    if (heldInstaller && campaign[0] == 0) {
        package::ReadCampaignStamp(files, ownFile.Get(), campaign);
    }

    // Only a complete copy made by this run is ever started: that is what success means.
    const bool installed =
        heldInstaller && run::RunInstaller(services.processes, tempInstallerPath);
    // The hand-off is over, its key closed, before the installer is deleted.
    if (installed) {
        handoff::RunHandOff(services.registry, services.profiles, services.shell,
                            services.codePages, fields, services.processes.RunsElevated());
    }

    // Only the file written is deleted, through a handle checked to be open on it.
    if (heldInstaller) {
        heldInstaller.Reset();
        run::RemoveExtractedInstaller(files, services.clock, tempInstallerPath, written);
    }
    return result;
}

}  // namespace wrapper
