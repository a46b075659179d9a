#pragma once

// wrapper-inspect's two ways of telling: text for people, JSON for machines; and
// wrapper-pack's record of a package it wrote.

#include "tools/package/PackageInspector.h"
#include "tools/package/PackageWriter.h"
#include "tools/package/Verification.h"

#include <array>
#include <iterator>
#include <string>
#include <vector>

namespace wrapper::tools::package {

// The version of the JSON document's layout. It goes up when a member changes meaning or
// goes away; new members may appear without a change.
inline constexpr int kJsonSchemaVersion = 3;

// The inspection as aligned text, ending with a newline. `name` is how the package is shown.
std::string TextReport(const Inspection& inspection, const std::string& name);

// The package's name and size on the first line, then one line per check ("pass", "FAIL",
// or "warn" for a warning that does not fail), then a summary line.
std::string TextChecks(const std::vector<Check>& checks, const std::string& name,
                       std::uint64_t fileSize, bool strict);

// The inspection (and the checks, when given) as one JSON document, ending with a newline.
// Field texts are given byte for byte, each byte b as the character U+00b, so that a field
// of any bytes survives the trip; "terminated" tells whether it held a zero byte.
std::string JsonReport(const Inspection& inspection, const std::string& name,
                       const std::vector<Check>* checks, bool strict = false);

// The document for a package that could not be read: the message and the exit status.
std::string JsonError(const std::string& name, const std::string& message, int exitStatus);

// Where a setting's value came from: the default (empty), a settings file, or an option.
struct SettingSource {
    enum class Kind { Default, SettingsFile, Option };
    Kind kind = Kind::Default;
    std::string name;  // the settings file as given, or the option
};

// What wrapper-pack --json records of a package it wrote: the paths as given, the settings
// and their sources, and the options that made it a test package.
struct PackRecord {
    std::string package;
    std::string launcher;
    std::string payload;
    std::vector<std::string> settingsFiles;
    PackageSettings settings;
    std::array<SettingSource, std::size(kSettings)> sources;
    std::vector<std::string> testPackageOptions;
};

// The record as one JSON document, ending with a newline, in wrapper-inspect's conventions:
// `sha256` holds the members wrapper-inspect's `sha256` has, with the same values for the
// package written; settings byte for byte as wrapper-inspect's `fields`; each warning by
// its rule id.
std::string PackJson(const PackRecord& record, const PackResult& result);

}  // namespace wrapper::tools::package
