#pragma once

#include "ResultCode.h"
#include "platform/Clock.h"
#include "platform/CodePages.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/ProfileFiles.h"
#include "platform/Registry.h"
#include "platform/Shell.h"

namespace wrapper {

// The system services one run uses. The caller owns them; they outlive the run.
struct LauncherServices {
    platform::Files& files;
    platform::Processes& processes;
    platform::Clock& clock;
    platform::Registry& registry;
    platform::ProfileFiles& profiles;
    platform::Shell& shell;
    platform::CodePages& codePages;
};

// One whole run of a package: open the launcher's own file, locate and read the trailer,
// extract the payload to the temporary directory, run it, hand off after a successful
// install, delete the extracted installer. Returns the process exit code. The installer's
// own exit code never becomes the result; it only decides whether the hand-off runs.
ResultCode RunPackage(const LauncherServices& services);

}  // namespace wrapper
