#pragma once

// The rules a package must follow, checked by wrapper-inspect --verify on a package file and
// by wrapper-pack on the package it is about to write: one table, one evaluation. Each rule
// has a stable id (for scripts: the JSON report carries it), a severity and what must hold.
// An error refuses (pack) or fails (verify); a warning is printed and passes, unless
// --strict makes it an error.

#include "tools/package/PackageInspector.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace wrapper::tools::package {

enum class Severity { Error, Warning };

// Which part of the package a rule is about: wrapper-pack names that input in front of the
// finding ("payload installer.exe: a DLL ..."); package rules say it all themselves.
enum class Subject { Package, Launcher, Payload };

struct Rule {
    const char* id;
    Severity severity;
    Subject subject;
    const char* requirement;  // what must hold, e.g. "the marker occurs once in the file"
};

// The rules in the order they are checked and reported. Frozen: an id never changes meaning,
// new rules are added at the end of their group with a new id.
enum class RuleId : std::size_t {
    LauncherReadsTrailer,
    Launcher,
    LauncherVersion,
    Payload,
    FieldsTerminated,
    FieldsText,
    CampaignQuery,
    UrlCharacters,
    UrlScheme,
    Https,
    LandingPlaceholder,
    UninstallPlaceholder,
    AfterMarker,
    MarkerOnce,
    Signature,
    // Added after the table was first published: last, so that earlier positions hold.
    ProductId,
    SignaturePadding,
    CampaignStamp,
    QuerySeparator,
    AnsiNotUtf8,
    Count
};

extern const std::array<Rule, static_cast<std::size_t>(RuleId::Count)> kRules;

const Rule& RuleFor(RuleId id);

struct Check {
    const Rule* rule = nullptr;
    std::string name;  // the requirement as it applies here (--allow-ansi changes one)
    bool passed = false;
    std::string detail;  // what was found; for a failure a sentence of its own
};

// Every rule for `inspection`, in table order. When the launcher refuses the package the only
// check is that it reads it, failed. `allowAnsi` admits bytes 0x80-0xFF in the fields.
// `expectedProductId`, when given, is the product whose uninstall key the launcher must read
// (compared without regard to case, as the registry compares key names); without it that
// check only reports the key. `required` is what a release must have besides: a signature
// (an unsigned package fails, so a signing step that signs nothing is caught), and a
// timestamp on it (which implies the signature).
struct SignatureRequirements {
    bool signature = false;
    bool timestamp = false;
};
std::vector<Check> VerifyPackage(const Inspection& inspection, bool allowAnsi,
                                 const std::optional<std::string>& expectedProductId = {},
                                 const SignatureRequirements& required = {});

// A failed error, or with `strict` any failed check.
bool Fails(const Check& check, bool strict);
bool AllPassed(const std::vector<Check>& checks, bool strict = false);

const char* SeverityName(Severity severity);  // "error", "warning"

}  // namespace wrapper::tools::package
