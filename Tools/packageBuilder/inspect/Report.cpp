#include "Report.h"

#include "ResultCodeText.h"
#include "ToolText.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace packageinspector {

namespace {

using wrapper::package::Field;
using Json = nlohmann::ordered_json;

std::string Line(const char* label, const std::string& value) {
    char text[64];
    std::snprintf(text, sizeof text, "%-24s", label);
    return text + value + "\n";
}

std::string Row(const char* region, std::uint64_t offset, const std::string& size,
                const std::string& note) {
    char text[96];
    std::snprintf(text, sizeof text, "  %-20s %12llu %12s", region,
                  static_cast<unsigned long long>(offset), size.c_str());
    std::string row = text;
    if (!note.empty()) row += "  " + note;
    row.erase(row.find_last_not_of(' ') + 1);
    return row + "\n";
}

std::string LandingLabel(std::size_t language) {
    return language == 0 ? "landing, no language" : "landing, " + std::string(kLanguages[language]);
}

std::string AfterMarkerNote(const Inspection& inspection) {
    const auto& table = inspection.launcherImage.certificateTable;
    switch (inspection.afterMarkerKind) {
        case AfterMarkerKind::Nothing: return "nothing";
        case AfterMarkerKind::CertificateTable:
            return "the certificate table (" + std::to_string(table->size) + " bytes at " +
                   std::to_string(table->offset) + ", after " +
                   std::to_string(inspection.certificatePadding) + " bytes of padding)";
        case AfterMarkerKind::Other:
            return table ? "not the certificate table (the header names " +
                               std::to_string(table->size) + " bytes at " +
                               std::to_string(table->offset) + ")"
                         : "not a certificate table (the header names none)";
    }
    return {};
}

const char* AfterMarkerKindName(AfterMarkerKind kind) {
    switch (kind) {
        case AfterMarkerKind::Nothing: return "nothing";
        case AfterMarkerKind::CertificateTable: return "certificate-table";
        case AfterMarkerKind::Other: return "other";
    }
    return "";
}

const char* VerdictName(packagebuilder::PeVerdict verdict) {
    switch (verdict) {
        case packagebuilder::PeVerdict::Executable: return "executable";
        case packagebuilder::PeVerdict::Empty: return "empty";
        case packagebuilder::PeVerdict::NoMzHeader: return "no-mz-header";
        case packagebuilder::PeVerdict::NoPeSignature: return "no-pe-signature";
    }
    return "";
}

// Each byte as the code point of the same value: lossless for any bytes, and plain ASCII
// text reads as itself.
std::string BytesAsLatin1(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

Json Region(std::uint64_t offset, std::uint64_t size) {
    return {{"offset", offset}, {"size", size}};
}

}  // namespace

std::string TextReport(const Inspection& inspection, const std::string& name) {
    std::string out;
    out += Line("package", name + ", " + std::to_string(inspection.fileSize) + " bytes");
    if (inspection.code != wrapper::kSuccess) {
        out += Line("launcher result", std::to_string(inspection.code) + " (" +
                                           ResultCodeName(inspection.code) +
                                           "): " + ResultCodeMeaning(inspection.code));
        out += Line("markers in file", std::to_string(inspection.markerCount));
        return out;
    }
    out += Line("launcher result", "0: the launcher reads this package");
    const PackageLayout& layout = inspection.layout;
    out += "\n  region                     offset        bytes\n";
    out += Row("launcher image", 0, std::to_string(layout.payloadStart),
               packagebuilder::DescribeVerdict(inspection.launcherImage.verdict));
    out += Row("payload", layout.payloadStart, std::to_string(layout.payloadSize),
               packagebuilder::DescribeVerdict(inspection.payload.verdict));
    out += Row("trailer", layout.trailerStart, std::to_string(wrapper::package::kTrailerSize), "");
    out += Row("marker end", layout.markerEnd, "", "");
    out += Row("after the marker", layout.markerEnd, std::to_string(layout.afterMarker),
               AfterMarkerNote(inspection));
    out += "\n";
    out += Line("PayloadSize", std::to_string(layout.payloadSize));
    for (const NamedField& named : kNamedFields) {
        std::string value =
            "\"" + packagebuilder::Printable(FieldText(inspection, named.field)) + "\"";
        if (!FieldTerminated(inspection, named.field)) value += "  (no zero byte: all 260 bytes)";
        out += Line(named.name, value);
    }
    out += Line("markers in file",
                std::to_string(inspection.markerCount) +
                    (inspection.markerCount > 1 ? " (the launcher uses the last)" : ""));
    out += "\nafter a successful install the launcher opens\n";
    for (std::size_t i = 0; i < kLanguages.size(); ++i) {
        const auto& url = inspection.handOff.landingUrl[i];
        out += Line(("  " + LandingLabel(i)).c_str(),
                    url ? packagebuilder::Printable(*url) : "nothing (the URL is empty)");
    }
    out += "and writes into Version.ini\n";
    for (const VersionIniRow& row : inspection.handOff.versionIni) {
        out += Line(("  [" + row.section + "] " + row.key).c_str(),
                    packagebuilder::Printable(row.value));
    }
    return out;
}

std::string TextChecks(const std::vector<Check>& checks) {
    std::string out;
    std::size_t failed = 0;
    for (const Check& check : checks) {
        out += check.passed ? "pass  " : "FAIL  ";
        out += check.name;
        if (!check.detail.empty()) out += ": " + check.detail;
        out += "\n";
        if (!check.passed) ++failed;
    }
    out += failed == 0 ? "all " + std::to_string(checks.size()) + " checks passed\n"
                       : std::to_string(failed) + " of " + std::to_string(checks.size()) +
                             " checks failed\n";
    return out;
}

std::string JsonReport(const Inspection& inspection, const std::string& name,
                       const std::vector<Check>* checks) {
    Json report;
    report["package"] = name;
    report["fileSize"] = inspection.fileSize;
    report["launcherResult"] = {{"code", inspection.code},
                                {"name", ResultCodeName(inspection.code)},
                                {"meaning", ResultCodeMeaning(inspection.code)}};
    report["markerCount"] = inspection.markerCount;
    if (inspection.code == wrapper::kSuccess) {
        const PackageLayout& layout = inspection.layout;
        Json after = Region(layout.markerEnd, layout.afterMarker);
        after["kind"] = AfterMarkerKindName(inspection.afterMarkerKind);
        after["padding"] = inspection.certificatePadding;
        const auto& table = inspection.launcherImage.certificateTable;
        after["certificateTable"] = table ? Region(table->offset, table->size) : Json();
        report["layout"] = {
            {"launcherImage", Region(0, layout.payloadStart)},
            {"payload", Region(layout.payloadStart, layout.payloadSize)},
            {"trailer", Region(layout.trailerStart, wrapper::package::kTrailerSize)},
            {"markerEnd", layout.markerEnd},
            {"afterMarker", after},
        };
        report["launcherImage"] = {{"verdict", VerdictName(inspection.launcherImage.verdict)}};
        report["payload"] = {{"verdict", VerdictName(inspection.payload.verdict)}};
        Json fields = Json::object();
        for (const NamedField& named : kNamedFields) {
            fields[named.name] = {{"text", BytesAsLatin1(FieldText(inspection, named.field))},
                                  {"terminated", FieldTerminated(inspection, named.field)}};
        }
        report["fields"] = fields;
        Json landing = Json::object();
        for (std::size_t i = 0; i < kLanguages.size(); ++i) {
            const auto& url = inspection.handOff.landingUrl[i];
            landing[kLanguages[i].empty() ? "none" : std::string(kLanguages[i])] =
                url ? Json(BytesAsLatin1(*url)) : Json();
        }
        Json rows = Json::array();
        for (const VersionIniRow& row : inspection.handOff.versionIni) {
            rows.push_back(
                {{"section", row.section}, {"key", row.key}, {"value", BytesAsLatin1(row.value)}});
        }
        report["handOff"] = {{"landingUrl", landing},
                             {"uninstall",
                              {{"url", BytesAsLatin1(inspection.handOff.uninstallUrl)},
                               {"param", BytesAsLatin1(inspection.handOff.uninstallParam)}}},
                             {"versionIni", rows}};
    }
    if (checks != nullptr) {
        Json list = Json::array();
        for (const Check& check : *checks) {
            list.push_back(
                {{"check", check.name}, {"passed", check.passed}, {"detail", check.detail}});
        }
        report["verify"] = {{"passed", AllPassed(*checks)}, {"checks", list}};
    }
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace packageinspector
