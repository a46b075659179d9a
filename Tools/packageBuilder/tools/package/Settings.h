#pragma once

// The four text settings a package carries, and the one table of their names: the trailer
// field each fills, its name in the trailer and in words, its settings-file key, its
// wrapper-pack option and the member that holds it. The settings file, wrapper-pack's
// command line, the writer, the reports and the rules iterate the table; a new setting is
// a new member and a new row.

#include "package/PackageTrailer.h"

#include <cstdint>
#include <string>

namespace wrapper::tools::package {

// The settings as 8-bit text for the target's ANSI code page.
struct PackageSettings {
    std::string linkTemplate;
    std::string campaignQuery;
    std::string landingTemplate;
    std::string uninstallTemplate;
};

struct Setting {
    wrapper::package::Field field;
    const char* name;     // as in the trailer, e.g. "LandingTemplate"
    const char* words;    // as in messages, e.g. "landing template"
    const char* key;      // in a settings file, e.g. "landing"
    const char* option;   // wrapper-pack's, e.g. "--landing"
    const char* help;     // the option's help, after the trailer name
    std::string PackageSettings::*member;
};

inline constexpr Setting kSettings[] = {
    {wrapper::package::Field::LinkTemplate, "LinkTemplate", "link template", "link", "--link",
     "written unchanged into the application's links", &PackageSettings::linkTemplate},
    {wrapper::package::Field::CampaignQuery, "CampaignQuery", "campaign query", "campaign",
     "--campaign", "name=value, without a leading '?'", &PackageSettings::campaignQuery},
    {wrapper::package::Field::LandingTemplate, "LandingTemplate", "landing template", "landing",
     "--landing", "\"%1\" marks the language segment", &PackageSettings::landingTemplate},
    {wrapper::package::Field::UninstallTemplate, "UninstallTemplate", "uninstall template",
     "uninstall", "--uninstall", "\"%1\" marks the cut", &PackageSettings::uninstallTemplate},
};

// Row i fills trailer field i: the rows are in the trailer's order, one for each field.
constexpr bool RowsFollowTheTrailer() {
    std::uint32_t i = 0;
    for (const Setting& setting : kSettings) {
        if (static_cast<std::uint32_t>(setting.field) != i++) return false;
    }
    return i == wrapper::package::kFieldCount;
}
static_assert(RowsFollowTheTrailer());

}  // namespace wrapper::tools::package
