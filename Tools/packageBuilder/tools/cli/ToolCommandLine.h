#pragma once

// The command line of both producer tools, as good Unix tools have it: --help and --version
// exit 0; a usage error (an unknown, missing or repeated-where-single option, a bad value)
// is one line, "TOOL: " and what is wrong, with "did you mean --x?" for a near miss, and
// exit status 2; everything else the tool reports itself. "-o=FILE" means FILE, as
// "--output=FILE" does.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace wrapper::tools::cli {

inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

// "-o=x" becomes "-o", "x" for any single-letter option, up to a "--".
std::vector<std::string> SplitShortOptionValues(const std::vector<std::string>& arguments);

// Parses `arguments` (program name first) with `app`. Returns the exit status when the tool
// is done (help or version printed: 0; a usage error reported: 2), nullopt to go on.
std::optional<int> ParseCommandLine(CLI::App& app, const std::vector<std::string>& arguments,
                                    const std::string& tool);

// The known long option closest to `unknown` ("--lancher" -> "--launcher"), empty when none
// is near enough to be a plausible typo.
std::string NearestOption(const CLI::App& app, const std::string& unknown);

// A byte count from the command line: decimal digits only (no sign, no spaces, no other
// base), at most `maximum`. Returns nullopt when `text` is not such a number.
std::optional<std::uint64_t> ParseByteCount(const std::string& text, std::uint64_t maximum);

// Reports a usage error as the tool's one line; returns kExitUsage.
int UsageError(const std::string& tool, const std::string& message);

// Runs `body` as the tool's main: an exception that escapes it is reported as one line and
// exit status 1, and so is a failure to write standard output (a full disk, a closed pipe)
// that `body` itself did not notice.
int RunTool(const std::string& tool, const std::function<int()>& body);

}  // namespace wrapper::tools::cli
