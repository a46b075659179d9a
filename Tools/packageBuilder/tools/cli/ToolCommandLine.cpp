#include "tools/cli/ToolCommandLine.h"
#include "tools/cli/ToolText.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

namespace wrapper::tools::cli {

namespace {

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// CLI11's messages, reworded to fit on the tool's one line.
std::string OneLine(std::string message) {
    std::replace(message.begin(), message.end(), '\n', ' ');
    while (!message.empty() && message.back() == ' ') message.pop_back();
    return message;
}

}  // namespace

std::vector<std::string> SplitShortOptionValues(const std::vector<std::string>& arguments) {
    std::vector<std::string> out;
    bool options = true;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (i == 0 || !options) {
            out.push_back(argument);
            continue;
        }
        if (argument == "--") options = false;
        if (argument.size() >= 3 && argument[0] == '-' && argument[1] != '-' &&
            argument[2] == '=') {
            out.push_back(argument.substr(0, 2));
            out.push_back(argument.substr(3));
        } else {
            out.push_back(argument);
        }
    }
    return out;
}

std::string NearestOption(const CLI::App& app, const std::string& unknown) {
    // Letter case and "_" for "-" are slips too: --Output, --allow_ansi.
    std::string name = unknown.substr(0, unknown.find('='));
    for (char& c : name) {
        c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    std::string best;
    std::size_t bestDistance = 0;
    std::vector<std::string> extended;  // long names that begin with `name`: --out, --output
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& longName : option->get_lnames()) {
            const std::string candidate = "--" + longName;
            if (name.size() >= 5 && candidate.starts_with(name)) extended.push_back(candidate);
            const std::size_t distance = EditDistance(name, candidate);
            if (best.empty() || distance < bestDistance) {
                best = candidate;
                bestDistance = distance;
            }
        }
    }
    // A slip of a key or two, not another word: at most 2 edits, and fewer than a third of
    // the name.
    if (!best.empty() && bestDistance <= 2 && bestDistance * 3 < best.size()) return best;
    std::string shortened;
    for (const std::string& candidate : extended) {
        shortened += (shortened.empty() ? "" : " or ") + candidate;
    }
    return shortened;
}

std::string SingleDashLongOption(const CLI::App& app, const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size() && arguments[i] != "--"; ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() < 3 || argument[0] != '-' || argument[1] == '-') continue;
        const std::string name = argument.substr(1, argument.find('=') - 1);
        for (const CLI::Option* option : app.get_options()) {
            const auto& longNames = option->get_lnames();
            if (std::find(longNames.begin(), longNames.end(), name) != longNames.end()) {
                return argument;
            }
        }
    }
    return {};
}

std::optional<std::uint64_t> ParseByteCount(const std::string& text, std::uint64_t maximum) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (maximum - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

int UsageError(const std::string& tool, const std::string& message) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", tool.c_str(), message.c_str(), tool.c_str());
    return kExitUsage;
}

std::optional<int> ParseCommandLine(CLI::App& app, const std::vector<std::string>& arguments,
                                    const std::string& tool,
                                    const std::string& bareArgumentOption) {
    // "-settings x" would be read as "-s ettings x": the file "ettings".
    if (const std::string single = SingleDashLongOption(app, arguments); !single.empty()) {
        const std::string name = single.substr(0, single.find('='));
        return UsageError(tool, "unknown option " + name + "; did you mean -" + name + "?");
    }
    // Unknown arguments are collected rather than thrown, so that one is named (with a
    // suggestion) even when a required option is missing too.
    app.allow_extras();
    // An option that takes one value is given once: which of two values counts is not for
    // the tool to guess. Repeats are counted after the parse, as a usage error of its own.
    std::vector<const CLI::Option*> single;
    for (CLI::Option* option : app.get_options()) {
        if (option->get_type_size_max() > 0 && option->get_items_expected_max() == 1 &&
            option->get_multi_option_policy() != CLI::MultiOptionPolicy::TakeAll) {
            option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
            single.push_back(option);
        }
    }
    const std::vector<std::string> split = SplitShortOptionValues(arguments);
    std::vector<const char*> argv;
    for (const std::string& argument : split) argv.push_back(argument.c_str());
    std::string problem;
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        return 0;
    } catch (const CLI::ParseError& error) {
        problem = OneLine(error.what());
    }
    const std::vector<std::string> extras = app.remaining();
    if (!extras.empty()) {
        const std::string& first = extras.front();
        if (first.size() > 1 && first[0] == '-') {
            const std::string nearest = NearestOption(app, first);
            return UsageError(tool, "unknown option " + first +
                                        (nearest.empty() ? "" : "; did you mean " + nearest + "?"));
        }
        std::string hint;
        if (!bareArgumentOption.empty() && app.count(bareArgumentOption) == 0) {
            hint = "; did you mean " + bareArgumentOption + " " +
                   app.get_option(bareArgumentOption)->get_type_name() + "?";
        }
        return UsageError(tool, "unexpected argument \"" + first + "\"" + hint);
    }
    for (const CLI::Option* option : single) {
        if (option->count() > 1) {
            const auto& longNames = option->get_lnames();
            const std::string name = longNames.empty() ? option->get_name() : "--" + longNames[0];
            return UsageError(tool, name + " is given " + std::to_string(option->count()) +
                                        " times; it takes one value");
        }
    }
    if (!problem.empty()) return UsageError(tool, problem);
    return std::nullopt;
}

int RunTool(const std::string& tool, const std::function<int()>& body) {
    int status = kExitRefused;
    try {
        status = body();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: internal error: %s\n", tool.c_str(), error.what());
        status = kExitRefused;
    } catch (...) {
        std::fprintf(stderr, "%s: internal error\n", tool.c_str());
        status = kExitRefused;
    }
    // Output that never arrived is a failure, whatever the tool did; a tool that failed has
    // said so in its own line already.
    errno = 0;
    if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && status == 0) {
        std::fprintf(stderr, "%s: writing standard output failed: %s\n", tool.c_str(),
                     errno != 0 ? std::strerror(errno) : "unknown error");
        status = kExitRefused;
    }
    return status;
}

int ToolMain(const std::string& tool, int argc, char** argv, ToolBody body) {
    const std::vector<std::string> arguments(argv, argv + argc);
    return RunTool(tool, [&] { return body(arguments); });
}

int ToolMain(const std::string& tool, int argc, wchar_t** argv, ToolBody body) {
    const std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    return RunTool(tool, [&] { return body(arguments); });
}

int Refuse(const std::string& tool, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", tool.c_str(), message.c_str());
    return kExitRefused;
}

int FinishReport(const std::string& tool, const std::string& done) {
    errno = 0;
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return 0;
    std::fprintf(stderr, "%s: %s, but writing its report failed: %s\n", tool.c_str(), done.c_str(),
                 errno != 0 ? std::strerror(errno) : "unknown error");
    return kExitRefused;
}

}  // namespace wrapper::tools::cli
