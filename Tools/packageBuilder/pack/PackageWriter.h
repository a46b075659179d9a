#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace packagebuilder {

// The four text settings a package carries, as 8-bit text for the target's ANSI code page.
struct PackageSettings {
    std::string linkTemplate;
    std::string campaignQuery;
    std::string landingTemplate;
    std::string uninstallTemplate;
};

// What goes into one package file, in order: launcher image, payload, trailer, then
// optional trailing bytes (zero filler and/or a file's bytes), which imitate a signature.
struct PackageRequest {
    std::filesystem::path launcher;
    std::filesystem::path payload;
    std::filesystem::path output;
    PackageSettings settings;
    std::uint64_t trailingFillerBytes = 0;
    std::optional<std::filesystem::path> trailingFile;
    // Writes this PayloadSize instead of the payload's real size: for crafting broken
    // packages in tests, never for shipping.
    std::optional<std::uint64_t> payloadSizeOverride;
};

// Writes the package. Returns an empty string on success, otherwise a one-line message
// saying what is wrong; then no output file is left behind.
std::string WritePackage(const PackageRequest& request);

}  // namespace packagebuilder
