// wrapper-pack: writes a package from a built launcher, an installer and the four settings.

#include "PackageWriter.h"
#include "SettingsFile.h"
#include "ToolText.h"
#include "package/PackageTrailer.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "wrapper-pack: %s\n", message.c_str());
    return 1;
}

int RunPack(const std::vector<std::string>& arguments) {
    std::string launcher;
    std::string payload;
    std::string output;
    std::string settingsFile;
    std::optional<std::string> link;
    std::optional<std::string> campaign;
    std::optional<std::string> landing;
    std::optional<std::string> uninstall;
    std::optional<std::string> trailingFile;
    packagebuilder::PackageRequest request;

    CLI::App app{
        "Writes a package: launcher image, payload (the installer), trailer.\n"
        "Settings come from --settings FILE (key = value lines) and/or the options;\n"
        "an option overrides the same setting in the file."};
    // As in most tools, a repeated option's last value counts.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--launcher", launcher, "the built launcher (wrapper.exe)")
        ->required()
        ->type_name("FILE");
    app.add_option("--payload", payload, "the installer to carry (a Windows executable)")
        ->required()
        ->type_name("FILE");
    app.add_option("-o,--output", output, "the package to write (replaced if it exists)")
        ->required()
        ->type_name("FILE");
    app.add_option("-s,--settings", settingsFile,
                   "file of settings: link, campaign, landing, uninstall, one 'key = value' a line")
        ->type_name("FILE");
    app.add_option("--link", link, "LinkTemplate: written unchanged into the application's links");
    app.add_option("--campaign", campaign, "CampaignQuery: name=value, without a leading '?'");
    app.add_option("--landing", landing, "LandingTemplate: \"%1\" marks the language segment");
    app.add_option("--uninstall", uninstall, "UninstallTemplate: \"%1\" marks the cut");
    app.add_flag("--allow-ansi", request.allowAnsi,
                 "admit bytes 0x80-0xFF in settings written for the target's ANSI code page");

    const std::string crafting = "Test packages only (never ship what these make)";
    app.add_flag("--unchecked", request.unchecked,
                 "write even when the rules are broken (empty or non-executable payload, marker "
                 "in the launcher, bad text); each setting must still fit its 259 bytes")
        ->group(crafting);
    app.add_option("--payload-size", request.payloadSizeOverride,
                   "write this PayloadSize instead of the payload's real size")
        ->type_name("BYTES")
        ->group(crafting);
    app.add_option("--trailing-bytes", request.trailingFillerBytes,
                   "zero bytes to append after the trailer (imitates a signature)")
        ->type_name("BYTES")
        ->group(crafting);
    app.add_option("--trailing-file", trailingFile, "a file whose bytes follow the trailer")
        ->type_name("FILE")
        ->group(crafting);

    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }

    request.launcher = packagebuilder::PathFromUtf8(launcher);
    request.payload = packagebuilder::PathFromUtf8(payload);
    request.output = packagebuilder::PathFromUtf8(output);
    if (trailingFile) request.trailingFile = packagebuilder::PathFromUtf8(*trailingFile);
    if (!settingsFile.empty()) {
        const std::string problem = packagebuilder::ReadSettingsFile(
            packagebuilder::PathFromUtf8(settingsFile), request.settings);
        if (!problem.empty()) return Fail(problem);
    }
    if (link) request.settings.linkTemplate = *link;
    if (campaign) request.settings.campaignQuery = *campaign;
    if (landing) request.settings.landingTemplate = *landing;
    if (uninstall) request.settings.uninstallTemplate = *uninstall;

    const packagebuilder::PackResult result = packagebuilder::WritePackage(request);
    // A refusal is the one line that matters; warnings only accompany a written package.
    if (!result.refusal.empty()) return Fail(result.refusal);
    for (const std::string& warning : result.warnings) {
        std::fprintf(stderr, "wrapper-pack: warning: %s\n", warning.c_str());
    }

    std::string crafted;
    for (const auto& [given, name] :
         {std::pair{request.unchecked, "--unchecked"},
          std::pair{request.payloadSizeOverride.has_value(), "--payload-size"},
          std::pair{request.trailingFillerBytes != 0, "--trailing-bytes"},
          std::pair{trailingFile.has_value(), "--trailing-file"}}) {
        if (given) crafted += crafted.empty() ? name : std::string(", ") + name;
    }
    if (!crafted.empty()) {
        std::fprintf(stderr, "wrapper-pack: warning: test package (%s): never ship it\n",
                     crafted.c_str());
    }
    std::printf("wrapper-pack: wrote %s: launcher %llu + payload %llu + trailer %u", output.c_str(),
                static_cast<unsigned long long>(result.launcherBytes),
                static_cast<unsigned long long>(result.payloadBytes),
                wrapper::package::kTrailerSize);
    if (result.trailingBytes != 0) {
        std::printf(" + trailing %llu", static_cast<unsigned long long>(result.trailingBytes));
    }
    std::printf(" = %llu bytes\n", static_cast<unsigned long long>(result.packageBytes));
    return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    return RunPack(packagebuilder::Utf8Arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
    return RunPack({argv, argv + argc});
}
#endif
