#pragma once

#include "tools/host/ToolFiles.h"
#include "tools/package/Settings.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace wrapper::tools::package {

// What goes into one package file, in order: launcher image, payload, trailer, then, for
// test packages only, trailing bytes (zero filler and/or a file's bytes) that imitate a
// signature.
struct PackageRequest {
    std::filesystem::path launcher;
    std::filesystem::path payload;
    std::filesystem::path output;
    PackageSettings settings;
    // The settings files the settings came from: inputs too, never to be written over.
    std::vector<std::filesystem::path> settingsFiles;
    // Admits bytes 0x80 to 0xFF in the settings: the producer has written them for the
    // target's ANSI code page. Control bytes stay refused.
    bool allowAnsi = false;
    // Refuses on a warning as on an error.
    bool strict = false;
    // Takes the digests of what is written (PackResult::sha256), from the bytes as they go
    // out.
    bool digests = false;

    // Test packages only, never for shipping:
    // Skips the package rules; each setting must still fit its field.
    bool unchecked = false;
    std::uint64_t trailingFillerBytes = 0;
    std::optional<std::filesystem::path> trailingFile;
    // Written as PayloadSize instead of the payload's real size.
    std::optional<std::uint64_t> payloadSizeOverride;
};

// The most bytes --trailing-bytes may add: a certificate table's size is a 32-bit field,
// and these bytes stand in for one.
inline constexpr std::uint64_t kMaxTrailingFillerBytes = 0xFFFFFFFFu;

// A rule that did not pass but did not refuse: its id (Verification.h) and the finding.
struct PackWarning {
    const char* rule;
    std::string text;
};

// SHA-256 digests of the package written and of its parts, as wrapper-inspect gives them
// for the package: the launcher image as it is and signing-neutral (ImageDigest; empty when
// its headers lack the fields), the payload, and every byte of the package.
struct PackDigests {
    std::vector<std::uint8_t> package;
    std::vector<std::uint8_t> launcherImage;
    std::vector<std::uint8_t> launcherImageNeutral;
    std::vector<std::uint8_t> payload;
};

// What a written package holds.
struct PackResult {
    std::vector<PackWarning> warnings;
    // Byte counts of what was written.
    std::uint64_t launcherBytes = 0;
    std::uint64_t payloadBytes = 0;
    std::uint64_t trailingBytes = 0;
    std::uint64_t packageBytes = 0;
    PackDigests sha256;  // with PackageRequest::digests, when the package was written
};

// Checks the inputs and the output, evaluates the package rules on the package about to be
// written (launcher, payload and trailer, without the test-package additions) exactly as
// wrapper-inspect --verify evaluates them on a file, and writes the package into a new file
// beside the output, renamed into place when complete.
// Refused, failing with a one-line reason and nothing written (an earlier file at the output stays
// as it was, no partial file is left): a setting longer than its field; an input that is not
// a regular file or cannot be read; an output that exists and is not a regular file, or is
// the same file as an input (by identity, whatever the name); unless `unchecked`, a rule that
// fails (an error, or with `strict` a warning too); a failed read or write, named with the
// file and the system's reason.
host::Expected<PackResult> WritePackage(const PackageRequest& request);

}  // namespace wrapper::tools::package
