#pragma once

// The command line of the producer tools, as good Unix tools have it: --help and --version
// exit 0; a usage error is one line, "TOOL: " and what is wrong, and exit status 2. Usage
// errors: an unknown option (with "did you mean --x?" for a near miss or a shortened name),
// a long option written with one dash ("-settings" would otherwise be "-s ettings"), an
// option that takes one value given twice, a missing option, a bad value, a stray argument.
// Everything else the tool reports itself. "-o=FILE" means FILE, as "--output=FILE" does.

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
// is done (help or version printed: 0; a usage error reported: 2), nullopt to go on. A stray
// argument, when `bareArgumentOption` names an option that was not given, gets the hint
// "did you mean OPTION TYPE?" (a payload named without --payload).
std::optional<int> ParseCommandLine(CLI::App& app, const std::vector<std::string>& arguments,
                                    const std::string& tool,
                                    const std::string& bareArgumentOption = {});

// The known long option closest to `unknown` ("--lancher" -> "--launcher", "--allow_ansi" ->
// "--allow-ansi"), or the long options it shortens ("--out" -> "--output"), several joined
// by " or "; empty when none is near enough to be a plausible slip.
std::string NearestOption(const CLI::App& app, const std::string& unknown);

// The first argument before "--" that is a long option's name after a single dash
// ("-settings", "-output=x"), empty when there is none.
std::string SingleDashLongOption(const CLI::App& app, const std::vector<std::string>& arguments);

// A byte count from the command line: decimal digits only (no sign, no spaces, no other
// base), at most `maximum`. Returns nullopt when `text` is not such a number.
std::optional<std::uint64_t> ParseByteCount(const std::string& text, std::uint64_t maximum);

// Reports a usage error as the tool's one line; returns kExitUsage.
int UsageError(const std::string& tool, const std::string& message);

// Reports a refusal as the tool's one line, "TOOL: MESSAGE"; returns kExitRefused.
int Refuse(const std::string& tool, const std::string& message);

// Runs `body` as the tool's main: an exception that escapes it is reported as one line and
// exit status 1, and so is a failure to write standard output (a full disk, a closed pipe)
// when `body` itself succeeded.
int RunTool(const std::string& tool, const std::function<int()>& body);

// A tool's `main` (or `wmain`): its command line as UTF-8, program name first, given to
// `body` under RunTool. Each tool's main.cpp holds only which one the system starts.
using ToolBody = int (*)(const std::vector<std::string>& arguments);
int ToolMain(const std::string& tool, int argc, char** argv, ToolBody body);
int ToolMain(const std::string& tool, int argc, wchar_t** argv, ToolBody body);

// Ends a tool's success whose report goes to standard output: 0 when all of it was written;
// otherwise one line, "TOOL: `done`, but writing its report failed: REASON", and 1. What
// `done` says happened stands: a written file is kept.
int FinishReport(const std::string& tool, const std::string& done);

}  // namespace wrapper::tools::cli
