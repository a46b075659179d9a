// wrapper-pack: writes a package from a built launcher, an installer and the four settings.

#include "PackageWriter.h"

#include <CLI/CLI.hpp>

#include <cstdio>

int main(int argc, char** argv) {
    packagebuilder::PackageRequest request;
    CLI::App app{"Writes a package: launcher image, payload (installer), trailer."};
    app.add_option("--launcher", request.launcher, "the built launcher (wrapper.exe)")
        ->required()->check(CLI::ExistingFile);
    app.add_option("--payload", request.payload, "the installer to carry")
        ->required()->check(CLI::ExistingFile);
    app.add_option("-o,--output", request.output, "the package to write")->required();
    app.add_option("--link", request.settings.linkTemplate, "LinkTemplate");
    app.add_option("--campaign", request.settings.campaignQuery, "CampaignQuery (name=value, no '?')");
    app.add_option("--landing", request.settings.landingTemplate, "LandingTemplate (\"%1\" marks the language)");
    app.add_option("--uninstall", request.settings.uninstallTemplate, "UninstallTemplate (\"%1\" marks the cut)");
    app.add_option("--trailing-bytes", request.trailingFillerBytes,
                   "zero bytes to append after the trailer (imitates a signature)");
    app.add_option("--trailing-file", request.trailingFile, "a file whose bytes follow the trailer")
        ->check(CLI::ExistingFile);
    app.add_option("--payload-size", request.payloadSizeOverride,
                   "write this PayloadSize instead of the real one (test packages only)");
    CLI11_PARSE(app, argc, argv);

    if (const std::string problem = packagebuilder::WritePackage(request); !problem.empty()) {
        std::fprintf(stderr, "wrapper-pack: %s\n", problem.c_str());
        return 1;
    }
    return 0;
}
