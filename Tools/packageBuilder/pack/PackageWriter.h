#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace packagebuilder {

// The four text settings a package carries, as 8-bit text for the target's ANSI code page.
struct PackageSettings {
    std::string linkTemplate;
    std::string campaignQuery;
    std::string landingTemplate;
    std::string uninstallTemplate;
};

// What goes into one package file, in order: launcher image, payload, trailer, then, for
// test packages only, trailing bytes (zero filler and/or a file's bytes) that imitate a
// signature.
struct PackageRequest {
    std::filesystem::path launcher;
    std::filesystem::path payload;
    std::filesystem::path output;
    PackageSettings settings;
    // Admits bytes 0x80 to 0xFF in the settings: the producer has written them for the
    // target's ANSI code page. Control bytes stay refused.
    bool allowAnsi = false;

    // Test packages only, never for shipping:
    // Skips every rule but one: each setting must still fit its field.
    bool unchecked = false;
    std::uint64_t trailingFillerBytes = 0;
    std::optional<std::filesystem::path> trailingFile;
    // Written as PayloadSize instead of the payload's real size.
    std::optional<std::uint64_t> payloadSizeOverride;
};

// What review of the settings alone finds: the first rule they break (a one-line message,
// empty when none) and things that are allowed but probably wrong.
struct SettingsReview {
    std::string refusal;
    std::vector<std::string> warnings;
};

// The rules for the four settings: each at most 259 bytes; then, unless `unchecked`: no zero
// byte; printable ASCII only (bytes 0x80-0xFF too with `allowAnsi`); a campaign query that
// does not start with "?". Warns when the landing or uninstall template lacks "%1".
SettingsReview ReviewSettings(const PackageSettings& settings, bool allowAnsi, bool unchecked);

struct PackResult {
    std::string refusal;                // empty when the package was written
    std::vector<std::string> warnings;  // also filled when the package was refused
    // Byte counts of what was written; meaningful only when the package was written.
    std::uint64_t launcherBytes = 0;
    std::uint64_t payloadBytes = 0;
    std::uint64_t trailingBytes = 0;
    std::uint64_t packageBytes = 0;
};

// Reviews the settings, checks the inputs and writes the package into a new file beside the
// output, renamed into place when complete. Input checks, unless `unchecked`: the launcher
// must not hold the trailer marker (a signed launcher only draws a warning); the payload must
// be a non-empty Windows executable. On a refusal or a failure the output path is untouched
// (an earlier file there stays as it was) and no partial file is left behind.
PackResult WritePackage(const PackageRequest& request);

}  // namespace packagebuilder
