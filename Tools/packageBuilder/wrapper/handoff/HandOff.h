#pragma once

#include "package/PackageTrailer.h"
#include "platform/CodePages.h"
#include "platform/ProfileFiles.h"
#include "platform/Registry.h"
#include "platform/Shell.h"

namespace wrapper::handoff {

// The hand-off after a successful install, the one sequence the run and the tools' preview
// take: find the installation directory in the product's uninstall key, write the hand-off
// record there, read the application's language and open the landing page for it. Nothing
// is reported; a missing installation directory ends it silently. The uninstall key is
// open from the first step until the page is open. `elevated` says whether the process runs
// with administrator rights, which decides how the page may be opened (see OpenLandingPage).
void RunHandOff(platform::Registry& registry, platform::ProfileFiles& profiles,
                platform::Shell& shell, platform::CodePages& codePages,
                const package::TrailerFields& fields, bool elevated);

}  // namespace wrapper::handoff
