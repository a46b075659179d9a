#pragma once

// wrapper-inspect's two ways of telling: text for people, JSON for machines.

#include "PackageInspector.h"
#include "Verification.h"

#include <string>
#include <vector>

namespace packageinspector {

// The inspection as aligned text, ending with a newline. `name` is how the package is shown.
std::string TextReport(const Inspection& inspection, const std::string& name);

// One line per check ("pass  ..." or "FAIL  ..."), then a summary line.
std::string TextChecks(const std::vector<Check>& checks);

// The inspection (and the checks, when given) as one JSON document, ending with a newline.
// Field texts are given byte for byte, each byte b as the character U+00b, so that a field
// of any bytes survives the trip; "terminated" tells whether it held a zero byte.
std::string JsonReport(const Inspection& inspection, const std::string& name,
                       const std::vector<Check>* checks);

}  // namespace packageinspector
