#pragma once

// The checks of wrapper-inspect --verify: what a producer can get wrong that the launcher
// would not complain about, or would only show as a wrong page or link after an install.

#include "PackageInspector.h"

#include <string>
#include <vector>

namespace packageinspector {

struct Check {
    std::string name;  // what must hold, e.g. "the payload is a Windows executable"
    bool passed = false;
    std::string detail;  // what was found; may be empty for a pass
};

// All checks for `inspection`, in a fixed order. When the launcher refuses the package, the
// only check is that it reads it, failed. `allowAnsi` admits bytes 0x80-0xFF in the fields.
std::vector<Check> VerifyPackage(const Inspection& inspection, bool allowAnsi);

bool AllPassed(const std::vector<Check>& checks);

}  // namespace packageinspector
