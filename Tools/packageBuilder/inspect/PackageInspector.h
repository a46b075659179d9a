#pragma once

// Reads a package the way the launcher does (its own locator and reader over the host's
// file services) and gathers what a producer needs to see: where everything lies, the
// fields, what follows the marker and what the launcher will make of it all.

#include "HandOffPreview.h"
#include "PeImage.h"
#include "ResultCode.h"
#include "package/PackageTrailer.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace packageinspector {

// The trailer's text fields with the names producers see in reports and checks.
struct NamedField {
    wrapper::package::Field field;
    const char* name;
};
inline constexpr NamedField kNamedFields[] = {
    {wrapper::package::Field::LinkTemplate, "LinkTemplate"},
    {wrapper::package::Field::CampaignQuery, "CampaignQuery"},
    {wrapper::package::Field::LandingTemplate, "LandingTemplate"},
    {wrapper::package::Field::UninstallTemplate, "UninstallTemplate"},
};

// What lies between the marker's end and the end of the file.
enum class AfterMarkerKind {
    Nothing,           // the marker ends the file
    CertificateTable,  // exactly the certificate table the launcher image's header names,
                       // after fewer than 8 zero bytes of alignment padding
    Other,             // anything else
};

// Offsets are from the start of the file, sizes in bytes.
struct PackageLayout {
    std::uint64_t payloadStart = 0;  // also the launcher image's size
    std::uint64_t payloadSize = 0;
    std::uint64_t trailerStart = 0;
    std::uint64_t markerEnd = 0;
    std::uint64_t afterMarker = 0;  // bytes from the marker's end to the end of the file
};

struct Inspection {
    std::uint64_t fileSize = 0;
    // What the launcher's locator and reader give for this file. The fields below the layout
    // are meaningful only for kSuccess.
    wrapper::ResultCode code = wrapper::kSuccess;
    PackageLayout layout;
    wrapper::package::TrailerFields fields = {};
    packagebuilder::PeInfo launcherImage;  // headers at the start of the file
    packagebuilder::PeInfo payload;  // headers at the payload's start (offsets relative to it)
    AfterMarkerKind afterMarkerKind = AfterMarkerKind::Nothing;
    std::uint64_t certificatePadding = 0;  // for CertificateTable: zero bytes before the table
    std::uint32_t markerCount = 0;         // occurrences of the marker anywhere in the file
    // Of those, the ones that start inside a certificate table ending the file: a signature
    // does not cover them, and the launcher never looks there.
    std::uint32_t markersInCertificateTable = 0;
    HandOffValues handOff;
};

// Inspects the package at `path`. Returns nullopt, with a one-line `error`, only when the
// file cannot be opened or read at all; a package the launcher refuses is an Inspection
// whose code says why.
std::optional<Inspection> InspectPackage(const std::filesystem::path& path, std::string& error);

// The text of one field: its bytes up to the first zero, or all 260 without one.
std::string FieldText(const Inspection& inspection, wrapper::package::Field field);
bool FieldTerminated(const Inspection& inspection, wrapper::package::Field field);

// Copies the payload of the package at `path` into `target` with the launcher's own
// locator, reader and extraction (same reads, same copy loop). The copy is written beside
// `target` and renamed into place. Returns an empty string on success; otherwise a one-line
// message, nothing is left beside `target` and `target` is untouched. `code` receives the
// launcher's result code: the failing step's code when the launcher would fail too, kSuccess
// otherwise (also when only creating or renaming the target failed).
std::string ExtractPayloadTo(const std::filesystem::path& path, const std::filesystem::path& target,
                             wrapper::ResultCode& code);

}  // namespace packageinspector
