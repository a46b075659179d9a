#include "Verification.h"

#include "ResultCodeText.h"

#include <algorithm>
#include <cstdio>

namespace packageinspector {

namespace {

using wrapper::package::Field;

constexpr std::string_view kPlaceholder = "%1";

std::string Hex(unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

Check ExecutableCheck(const char* name, const packagebuilder::PeInfo& info) {
    const bool executable = info.verdict == packagebuilder::PeVerdict::Executable;
    return {name, executable, executable ? "" : packagebuilder::DescribeVerdict(info.verdict)};
}

Check TerminatedCheck(const Inspection& inspection) {
    Check check{"every field ends with a zero byte", true, {}};
    for (const NamedField& named : kNamedFields) {
        if (!FieldTerminated(inspection, named.field)) {
            check.passed = false;
            check.detail = std::string(named.name) + " fills all 260 bytes";
            break;
        }
    }
    return check;
}

Check TextCheck(const Inspection& inspection, bool allowAnsi) {
    Check check{allowAnsi ? "every field is printable ASCII or ANSI text"
                          : "every field is printable ASCII",
                true,
                {}};
    for (const NamedField& named : kNamedFields) {
        const std::string text = FieldText(inspection, named.field);
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            const bool allowed = (byte >= 0x20 && byte < 0x7F) || (allowAnsi && byte >= 0x80);
            if (!allowed) {
                check.passed = false;
                check.detail = std::string(named.name) + " holds byte " + Hex(byte) +
                               " at position " + std::to_string(i);
                return check;
            }
        }
    }
    return check;
}

// "%1" exactly once with text before and after it, so that pieces 0 and 1 of the split
// are the text before and after it.
Check PlaceholderCheck(std::string name, const std::string& text) {
    Check check{std::move(name), false, {}};
    std::size_t count = 0;
    for (auto at = text.find(kPlaceholder); at != std::string::npos;
         at = text.find(kPlaceholder, at + kPlaceholder.size())) {
        ++count;
    }
    const auto first = text.find(kPlaceholder);
    if (count == 0) {
        check.detail = "no \"%1\"";
    } else if (count > 1) {
        check.detail =
            "\"%1\" " + std::to_string(count) + " times; the text after the second one is dropped";
    } else if (first == 0) {
        check.detail = "\"%1\" at the very start; the text after it would become the first piece";
    } else if (first + kPlaceholder.size() == text.size()) {
        check.detail = "\"%1\" at the very end; nothing follows it";
    } else {
        check.passed = true;
    }
    return check;
}

Check AfterMarkerCheck(const Inspection& inspection) {
    Check check{"nothing but a certificate table follows the marker", false, {}};
    const auto& table = inspection.launcherImage.certificateTable;
    const std::uint64_t after = inspection.layout.afterMarker;
    switch (inspection.afterMarkerKind) {
        case AfterMarkerKind::Nothing:
            check.passed = !table;
            check.detail =
                table ? "the launcher image's header names a certificate table at offset " +
                            std::to_string(table->offset) +
                            " but none follows the marker (was the launcher signed "
                            "before packing? sign the package instead)"
                      : "nothing follows the marker";
            break;
        case AfterMarkerKind::CertificateTable:
            check.passed = true;
            check.detail = "the certificate table, " + std::to_string(table->size) +
                           " bytes, after " + std::to_string(inspection.certificatePadding) +
                           " bytes of padding";
            break;
        case AfterMarkerKind::Other:
            check.detail = std::to_string(after) + " bytes follow the marker and ";
            check.detail += table ? "they are not the certificate table the header names (offset " +
                                        std::to_string(table->offset) + ", " +
                                        std::to_string(table->size) + " bytes)"
                                  : "the header names no certificate table";
            break;
    }
    return check;
}

Check MarkerCountCheck(const Inspection& inspection) {
    const auto markers = inspection.markerCount;
    Check check{"the marker occurs once in the file", markers == 1,
                "found " + std::to_string(markers) + (markers == 1 ? " time" : " times")};
    if (inspection.markersInCertificateTable > 0) {
        check.detail += ", " + std::to_string(inspection.markersInCertificateTable) +
                        " inside the certificate table, which the signature does not cover "
                        "and the launcher never searches: bytes were added to it after signing";
    }
    return check;
}

}  // namespace

std::vector<Check> VerifyPackage(const Inspection& inspection, bool allowAnsi) {
    Check reads{
        "the launcher reads the trailer", inspection.code == wrapper::kSuccess,
        "result " + std::to_string(inspection.code) + " (" + ResultCodeName(inspection.code) + ")"};
    if (!reads.passed) {
        reads.detail += ": " + std::string(ResultCodeMeaning(inspection.code));
        return {reads};
    }
    const std::string campaign = FieldText(inspection, Field::CampaignQuery);
    return {
        reads,
        ExecutableCheck("the launcher image is a Windows executable", inspection.launcherImage),
        ExecutableCheck("the payload is a Windows executable", inspection.payload),
        TerminatedCheck(inspection),
        TextCheck(inspection, allowAnsi),
        {"the campaign query does not start with \"?\"", !campaign.starts_with('?'), {}},
        PlaceholderCheck("the landing template holds \"%1\" once, inside the text",
                         FieldText(inspection, Field::LandingTemplate)),
        PlaceholderCheck("the uninstall template with the campaign query holds \"%1\" once, "
                         "inside the text",
                         FieldText(inspection, Field::UninstallTemplate) + campaign),
        AfterMarkerCheck(inspection),
        MarkerCountCheck(inspection),
    };
}

bool AllPassed(const std::vector<Check>& checks) {
    return std::all_of(checks.begin(), checks.end(), [](const Check& c) { return c.passed; });
}

}  // namespace packageinspector
