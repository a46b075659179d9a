// wrapper-pack: writes a package from a built launcher, an installer and the four settings.
//
// Exit status: 0 the package was written; 1 refused or failed (nothing written), or the
// package was written but its report could not be; 2 a usage error.

#include "tools/pack/DefaultLauncher.h"
#include "tools/package/PackageWriter.h"
#include "tools/package/Report.h"
#include "tools/package/SettingsFile.h"
#include "tools/cli/ToolCommandLine.h"
#include "tools/cli/ToolText.h"
#include "WrapperVersion.h"
#include "package/PackageTrailer.h"
#include "tools/host/ToolFiles.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tools = wrapper::tools;

namespace {

using tools::cli::kExitRefused;

constexpr const char* kTool = "wrapper-pack";

int Fail(const std::string& message) { return tools::cli::Refuse(kTool, message); }

int RunPack(const std::vector<std::string>& arguments) {
    std::string launcher;
    std::string payload;
    std::string output;
    std::vector<std::string> settingsFiles;
    std::array<std::optional<std::string>, std::size(tools::package::kSettings)> options;
    std::optional<std::string> trailingFile;
    std::optional<std::string> payloadSize;
    std::optional<std::string> trailingBytes;
    tools::package::PackageRequest request;

    CLI::App app{
        "Writes a package: launcher image, payload (the installer), trailer.\n"
        "Settings come from --settings FILE (key = value lines; several files are layered in\n"
        "order, a later key replacing an earlier one) and the options, which override the files.\n"
        "Every option but --settings is given at most once.\n"
        "Exit status: 0 written, 1 refused (nothing written) or the report not written (the\n"
        "package is kept), 2 usage error.",
        kTool};
    app.set_version_flag("--version", std::string(kTool) + " " + WRAPPER_VERSION_TEXT,
                         "print the version and exit");
    app.add_option("--launcher", launcher,
                   "the built launcher (wrapper.exe); by default the one installed with the "
                   "tools, ../share/wrapper/wrapper.exe from the tool's folder")
        ->type_name("FILE");
    app.add_option("--payload", payload, "the installer to carry (a Windows program)")
        ->required()
        ->type_name("FILE");
    app.add_option("-o,--output", output,
                   "the package to write (replaces a regular file there, never an input)")
        ->required()
        ->type_name("FILE");
    app.add_option("-s,--settings", settingsFiles,
                   "file of settings: link, campaign, landing, uninstall, one 'key = value' a "
                   "line; one file an option, repeat it to layer files")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false)
        ->type_name("FILE");
    for (std::size_t i = 0; i < options.size(); ++i) {
        const tools::package::Setting& setting = tools::package::kSettings[i];
        app.add_option(setting.option, options[i], std::string(setting.name) + ": " + setting.help);
    }
    app.add_flag("--allow-ansi", request.allowAnsi,
                 "admit bytes 0x80-0xFF in settings written for the target's ANSI code page "
                 "(warns when they are UTF-8 text)");
    app.add_flag("--strict", request.strict, "refuse on a warning as on an error");
    bool quiet = false;
    app.add_flag("-q,--quiet", quiet,
                 "print nothing when the package is written (warnings and errors still go to "
                 "standard error)");
    bool json = false;
    app.add_flag("--json", json,
                 "print a JSON record instead of the report: the inputs, the SHA-256 of the "
                 "package and its parts (the launcher's also signing-neutral), every setting "
                 "with its source, the warnings by rule id");

    const std::string crafting = "Test packages only (never ship what these make)";
    app.add_flag("--unchecked", request.unchecked,
                 "write even when the package rules are broken; each setting must still fit its "
                 "259 bytes")
        ->group(crafting);
    app.add_option("--payload-size", payloadSize,
                   "write this PayloadSize (0 to 18446744073709551615) instead of the payload's "
                   "real size")
        ->type_name("BYTES")
        ->group(crafting);
    app.add_option("--trailing-bytes", trailingBytes,
                   "zero bytes to append after the trailer (0 to 4294967295; imitates a "
                   "signature)")
        ->type_name("BYTES")
        ->group(crafting);
    app.add_option("--trailing-file", trailingFile, "a file whose bytes follow the trailer")
        ->type_name("FILE")
        ->group(crafting);

    if (const auto done = tools::cli::ParseCommandLine(app, arguments, kTool, "--payload")) {
        return *done;
    }

    const bool launcherGiven = app.count("--launcher") != 0;
    for (const auto& [name, path] :
         {std::pair{"--launcher", &launcher}, std::pair{"--payload", &payload},
          std::pair{"--output", &output}}) {
        if (path->empty() && (path != &launcher || launcherGiven)) {
            return tools::cli::UsageError(kTool,
                                          std::string(name) + ": an empty path names no file");
        }
    }
    // Numbers are taken as text and read here: a sign, a fraction or an out-of-range value is
    // a usage error, never a huge number.
    if (payloadSize) {
        request.payloadSizeOverride = tools::cli::ParseByteCount(*payloadSize, UINT64_MAX);
        if (!request.payloadSizeOverride) {
            return tools::cli::UsageError(
                kTool, "--payload-size: \"" + *payloadSize +
                           "\" is not a byte count from 0 to 18446744073709551615");
        }
    }
    if (trailingBytes) {
        const auto count =
            tools::cli::ParseByteCount(*trailingBytes, tools::package::kMaxTrailingFillerBytes);
        if (!count) {
            return tools::cli::UsageError(
                kTool, "--trailing-bytes: \"" + *trailingBytes +
                           "\" is not a byte count from 0 to " +
                           std::to_string(tools::package::kMaxTrailingFillerBytes));
        }
        request.trailingFillerBytes = *count;
    }

    if (launcherGiven) {
        request.launcher = tools::cli::PathFromUtf8(launcher);
    } else {
        const auto found = tools::pack::FindDefaultLauncher(tools::pack::LauncherCandidates(
            tools::host::OwnExecutable(), WRAPPER_PACK_BUILD_FOLDER, WRAPPER_BUILD_LAUNCHER));
        if (!found) return Fail(found.error());
        request.launcher = *found;
    }
    request.payload = tools::cli::PathFromUtf8(payload);
    request.output = tools::cli::PathFromUtf8(output);
    if (trailingFile) request.trailingFile = tools::cli::PathFromUtf8(*trailingFile);

    // Layers: each settings file in order, then the options. Where each value came from is
    // part of the report.
    using Source = tools::package::SettingSource;
    std::array<Source, std::size(tools::package::kSettings)> sources;
    for (const std::string& file : settingsFiles) {
        tools::package::SettingsGiven given{};
        const tools::host::Status read = tools::package::ReadSettingsFile(
            tools::cli::PathFromUtf8(file), request.settings, &given);
        if (!read) return Fail(read.error());
        for (std::size_t i = 0; i < given.size(); ++i) {
            if (given[i]) sources[i] = {Source::Kind::SettingsFile, file};
        }
        request.settingsFiles.push_back(tools::cli::PathFromUtf8(file));
    }
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (!options[i]) continue;
        request.settings.*tools::package::kSettings[i].member = *options[i];
        sources[i] = {Source::Kind::Option, tools::package::kSettings[i].option};
    }

    request.digests = json && !quiet;
    const tools::host::Expected<tools::package::PackResult> written =
        tools::package::WritePackage(request);
    // A refusal is the one line that matters; warnings only accompany a written package.
    if (!written) return Fail(written.error());
    const tools::package::PackResult& result = *written;
    for (const tools::package::PackWarning& warning : result.warnings) {
        std::fprintf(stderr, "%s: warning: %s\n", kTool, warning.text.c_str());
    }

    std::vector<std::string> craftedBy;
    std::string crafted;
    for (const auto& [given, name] :
         {std::pair{request.unchecked, "--unchecked"},
          std::pair{request.payloadSizeOverride.has_value(), "--payload-size"},
          std::pair{request.trailingFillerBytes != 0, "--trailing-bytes"},
          std::pair{trailingFile.has_value(), "--trailing-file"}}) {
        if (!given) continue;
        craftedBy.push_back(name);
        crafted += crafted.empty() ? name : std::string(", ") + name;
    }
    if (!crafted.empty()) {
        std::fprintf(stderr, "%s: warning: test package (%s): never ship it\n", kTool,
                     crafted.c_str());
    }
    if (quiet) return 0;
    const std::string reported = "the package " + output + " is written and kept";
    if (json) {
        const tools::package::PackRecord record = {
            .package = output,
            .launcher = tools::cli::PathToUtf8(request.launcher),
            .payload = payload,
            .settingsFiles = settingsFiles,
            .settings = request.settings,
            .sources = sources,
            .testPackageOptions = craftedBy};
        std::fputs(tools::package::PackJson(record, result).c_str(), stdout);
        return tools::cli::FinishReport(kTool, reported);
    }
    std::printf("%s: wrote %s: launcher %llu + payload %llu + trailer %u", kTool, output.c_str(),
                static_cast<unsigned long long>(result.launcherBytes),
                static_cast<unsigned long long>(result.payloadBytes),
                wrapper::package::kTrailerSize);
    if (result.trailingBytes != 0) {
        std::printf(" + trailing %llu", static_cast<unsigned long long>(result.trailingBytes));
    }
    std::printf(" = %llu bytes\n", static_cast<unsigned long long>(result.packageBytes));
    std::array<std::string, std::size(tools::package::kSettings)> quoted;
    std::size_t width = 0;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        quoted[i] = tools::cli::Quoted(request.settings.*tools::package::kSettings[i].member);
        width = std::max(width, quoted[i].size());
    }
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        std::printf("  %-10s %-*s  %s\n", tools::package::kSettings[i].key, static_cast<int>(width),
                    quoted[i].c_str(),
                    sources[i].name.empty() ? "not set" : ("from " + sources[i].name).c_str());
    }
    return tools::cli::FinishReport(kTool, reported);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return tools::cli::ToolMain(kTool, argc, argv, RunPack); }
#else
int main(int argc, char** argv) { return tools::cli::ToolMain(kTool, argc, argv, RunPack); }
#endif
