#pragma once

// What the launcher does after a successful install, rehearsed with its own hand-off code on
// a stand-in machine: the Version.ini rows it writes and the landing URL it opens for each
// language segment it can choose. Nothing is written or opened for real.

#include "package/PackageTrailer.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wrapper::tools::package {

// The application languages to rehearse: none (no cfg.ini value), then those with a page
// of their own.
inline constexpr std::array<std::string_view, 4> kLanguages = {"", "fr", "de", "jp"};

struct VersionIniRow {
    std::string section;
    std::string key;
    std::string value;  // 8-bit text, as the launcher writes it
};

struct HandOffValues {
    // In kLanguages order; empty where the launcher would open nothing (an empty URL).
    // 8-bit text: each UTF-16 unit the launcher hands to the shell maps back to its byte.
    std::array<std::optional<std::string>, kLanguages.size()> landingUrl;
    std::vector<VersionIniRow> versionIni;  // in the order written
    std::string uninstallUrl;               // the [UNINSTALL] url row
    std::string uninstallParam;             // the [UNINSTALL] param row
};

HandOffValues PreviewHandOff(const wrapper::package::TrailerFields& fields);

}  // namespace wrapper::tools::package
