#include "handoff/HandOff.h"

#include "handoff/HandOffRecord.h"
#include "handoff/LandingPage.h"

namespace wrapper::handoff {

void RunHandOff(platform::Registry& registry, platform::ProfileFiles& profiles,
                platform::Shell& shell, platform::CodePages& codePages,
                const package::TrailerFields& fields, bool elevated) {
    const platform::UniqueKey uninstallKey = OpenUninstallKey(registry);
    if (!uninstallKey) return;
    char16_t installDir[kInstallDirCapacity] = {};
    if (!ReadInstallDir(registry, uninstallKey.Get(), installDir)) return;
    WriteHandOffRecord(profiles, fields, installDir);
    const char* segment = ReadLanguageSegment(profiles, installDir);
    OpenLandingPage(shell, codePages, fields, segment, elevated);
}

}  // namespace wrapper::handoff
