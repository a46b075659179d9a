#include "tools/package/Report.h"

#include "tools/package/ResultCodeText.h"
#include "tools/cli/ToolText.h"
#include "WrapperVersion.h"
#include "handoff/HandOffRecord.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace wrapper::tools::package {

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

const char* VerdictName(PeVerdict verdict) {
    switch (verdict) {
        case PeVerdict::Executable: return "executable";
        case PeVerdict::Empty: return "empty";
        case PeVerdict::NoMzHeader: return "no-mz-header";
        case PeVerdict::NoPeSignature: return "no-pe-signature";
    }
    return "";
}

std::string VersionLine(const PeInfo& image) {
    if (!image.version) return "none: the launcher image has no version resource";
    const VersionResource& version = *image.version;
    std::string line = cli::Printable(version.productName) + " " +
                       cli::Printable(version.productVersion);
    if (!version.fileDescription.empty()) {
        line += " (" + cli::Printable(version.fileDescription) + ")";
    }
    return line;
}

// A nested signature's line leaves out the note on the chain, which the first one gives.
std::string SignatureLine(const SignatureCheck& signature, bool nested = false) {
    const std::string name = host::DigestName(signature.algorithm);
    switch (signature.state) {
        case SignatureState::None: return "none";
        case SignatureState::Unreadable: return "unreadable: " + signature.problem;
        case SignatureState::Matches:
            return "Authenticode " + name + " digest matches the file, " +
                   (signature.timestamped ? "timestamped" : "not timestamped") +
                   (nested ? ""
                           : " (the certificate chain is not judged: run osslsigncode verify)");
        case SignatureState::Differs:
            return "Authenticode " + name + " digest DIFFERS: signed " +
                   Hex(signature.signedDigest) + ", file " + Hex(signature.fileDigest);
    }
    return {};
}

const char* SignatureStateName(SignatureState state) {
    switch (state) {
        case SignatureState::None: return "none";
        case SignatureState::Unreadable: return "unreadable";
        case SignatureState::Matches: return "matches";
        case SignatureState::Differs: return "differs";
    }
    return "";
}

Json VersionJson(const PeInfo& image) {
    if (!image.version) return Json();
    const VersionResource& version = *image.version;
    return {
        {"productName", version.productName},
        {"productVersion", version.productVersion},
        {"fileDescription", version.fileDescription},
        {"fileVersion",
         version.fileVersion ? Json(VersionText(*version.fileVersion)) : Json()}};
}

Json ImageJson(const PeInfo& image) {
    Json json = {{"verdict", VerdictName(image.verdict)}};
    if (image.verdict == PeVerdict::Executable) {
        json["machine"] = MachineName(image.machine);
        json["dll"] = image.IsDll();
        json["version"] = VersionJson(image);
    }
    return json;
}

// The key as the hand-off opens it, or why there is none to show.
std::string UninstallKeyLine(const Inspection& inspection) {
    const std::vector<std::string>& keys = inspection.uninstallKeys;
    if (keys.empty()) return "none found in the launcher image";
    std::string line;
    for (const std::string& key : keys) line += (line.empty() ? "HKLM\\" : "; HKLM\\") + key;
    if (keys.size() > 1) return std::to_string(keys.size()) + " keys: " + line;
    return line + " (32-bit view)";
}

Json DigestJson(const std::vector<std::uint8_t>& digest) {
    return digest.empty() ? Json() : Json(Hex(digest));
}

Json SignatureJson(const SignatureCheck& signature, bool nested) {
    const bool read =
        signature.state == SignatureState::Matches || signature.state == SignatureState::Differs;
    return {{"nested", nested},
            {"state", SignatureStateName(signature.state)},
            {"digestAlgorithm", read ? Json(host::DigestName(signature.algorithm)) : Json()},
            {"signedDigest", DigestJson(signature.signedDigest)},
            {"fileDigest", DigestJson(signature.fileDigest)},
            {"timestamped", signature.timestamped},
            {"problem", signature.problem.empty() ? Json() : Json(signature.problem)},
            {"chainJudged", false}};
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

// The slot as the report shows it: whether it is there, and what it holds.
std::string SlotLine(const SlotReport& slot) {
    std::string line = DescribeSlot(slot);
    if (slot.tableSize == 0 || slot.tableSize > wrapper::package::kStampTableLimit ||
        slot.status != wrapper::package::SlotStatus::Found) {
        return "none: " + line;
    }
    switch (slot.stamp) {
        case wrapper::package::StampStatus::Unstamped: return line + "; not stamped";
        case wrapper::package::StampStatus::Stamped:
            return line + "; stamped " +
                   cli::Quoted(slot.areaText.substr(wrapper::package::kStampPrefixSize));
        case wrapper::package::StampStatus::Invalid:
            return line + "; holds " + cli::Quoted(slot.areaText) + ", not a valid stamp";
    }
    return line;
}

const char* StampStateName(const SlotReport& slot) {
    if (slot.tableSize == 0 || slot.tableSize > wrapper::package::kStampTableLimit ||
        slot.status != wrapper::package::SlotStatus::Found) {
        return nullptr;
    }
    switch (slot.stamp) {
        case wrapper::package::StampStatus::Unstamped: return "unstamped";
        case wrapper::package::StampStatus::Stamped: return "stamped";
        case wrapper::package::StampStatus::Invalid: return "invalid";
    }
    return nullptr;
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
        out += Line("SHA-256", Hex(inspection.packageSha256));
        if (!inspection.launcherNeutralSha256.empty()) {
            out += Line("SHA-256, neutral", Hex(inspection.launcherNeutralSha256));
        }
        return out;
    }
    out += Line("launcher result", "0: the launcher reads this package");
    out += Line("launcher version", VersionLine(inspection.launcherImage));
    out += Line("uninstall key", UninstallKeyLine(inspection));
    const PackageLayout& layout = inspection.layout;
    out += "\n  region                     offset        bytes\n";
    out += Row("launcher image", 0, std::to_string(layout.payloadStart),
               DescribeVerdict(inspection.launcherImage.verdict));
    out += Row("payload", layout.payloadStart, std::to_string(layout.payloadSize),
               DescribeVerdict(inspection.payload.verdict));
    out += Row("trailer", layout.trailerStart, std::to_string(wrapper::package::kTrailerSize), "");
    out += Row("marker end", layout.markerEnd, "", "");
    out += Row("after the marker", layout.markerEnd, std::to_string(layout.afterMarker),
               AfterMarkerNote(inspection));
    out += "\n";
    out += Line("PayloadSize", std::to_string(layout.payloadSize));
    for (const NamedField& named : kNamedFields) {
        std::string value = cli::Quoted(FieldText(inspection, named.field));
        if (!FieldTerminated(inspection, named.field)) value += "  (no zero byte: all 260 bytes)";
        out += Line(named.name, value);
    }
    out += Line("markers in file",
                std::to_string(inspection.markerCount) +
                    (inspection.markerCount > 1 ? " (the launcher uses the last)" : ""));
    out += "\nSHA-256\n";
    out += Line("  package", Hex(inspection.packageSha256));
    out += Line("  launcher image", Hex(inspection.launcherSha256));
    out += Line("  launcher, neutral", inspection.launcherNeutralSha256.empty()
                                           ? "none: the image's headers are cut short"
                                           : Hex(inspection.launcherNeutralSha256));
    out += Line("  payload", Hex(inspection.payloadSha256));
    out += Line("signature", SignatureLine(inspection.signature));
    for (std::size_t i = 0; i < inspection.nestedSignatures.size(); ++i) {
        out += Line(("  nested " + std::to_string(i + 1)).c_str(),
                    SignatureLine(inspection.nestedSignatures[i], true));
    }
    out += Line("campaign slot", SlotLine(inspection.slot));
    const host::Status stampable = CheckStamp(inspection, "");
    out += Line("stampable", stampable ? "yes (wrapper-stamp)" : "no: " + stampable.error());
    const LauncherCampaign campaign = CampaignTheLauncherUses(inspection);
    out += Line("campaign used", cli::Quoted(campaign.text) + ": " + campaign.why);
    out += "\nafter a successful install the launcher opens\n";
    for (std::size_t i = 0; i < kLanguages.size(); ++i) {
        const auto& url = inspection.handOff.landingUrl[i];
        out += Line(("  " + LandingLabel(i)).c_str(),
                    url ? cli::Printable(*url) : "nothing (the URL is empty)");
    }
    out += "and writes into Version.ini\n";
    for (const VersionIniRow& row : inspection.handOff.versionIni) {
        out += Line(("  [" + row.section + "] " + row.key).c_str(),
                    cli::Printable(row.value));
    }
    return out;
}

std::string TextChecks(const std::vector<Check>& checks, const std::string& name,
                       std::uint64_t fileSize, bool strict) {
    std::string out = Line("package", name + ", " + std::to_string(fileSize) + " bytes");
    std::size_t failed = 0;
    std::size_t warned = 0;
    for (const Check& check : checks) {
        const bool fails = Fails(check, strict);
        out += check.passed ? "pass  " : fails ? "FAIL  " : "warn  ";
        out += check.name;
        if (!check.detail.empty()) out += ": " + check.detail;
        out += "\n";
        failed += fails ? 1 : 0;
        warned += !check.passed && !fails ? 1 : 0;
    }
    const std::string total = std::to_string(checks.size());
    out += failed == 0 ? "all " + total + " checks passed"
                       : std::to_string(failed) + " of " + total + " checks failed";
    if (warned != 0) {
        out += std::string(failed == 0 ? ", " : "; ") + std::to_string(warned) +
               (warned == 1 ? " with a warning" : " with warnings");
    }
    return out + "\n";
}

std::string JsonReport(const Inspection& inspection, const std::string& name,
                       const std::vector<Check>* checks, bool strict) {
    Json report;
    report["schemaVersion"] = kJsonSchemaVersion;
    report["tool"] = {{"name", "wrapper-inspect"}, {"version", WRAPPER_VERSION_TEXT}};
    report["package"] = name;
    report["fileSize"] = inspection.fileSize;
    report["launcherResult"] = {{"code", inspection.code},
                                {"name", ResultCodeName(inspection.code)},
                                {"meaning", ResultCodeMeaning(inspection.code)}};
    report["markerCount"] = inspection.markerCount;
    report["markerOffsets"] = inspection.markerOffsets;
    report["sha256"] = {{"package", DigestJson(inspection.packageSha256)},
                        {"launcherImage", DigestJson(inspection.launcherSha256)},
                        {"launcherImageNeutral", DigestJson(inspection.launcherNeutralSha256)},
                        {"payload", DigestJson(inspection.payloadSha256)}};
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
        report["launcherImage"] = ImageJson(inspection.launcherImage);
        Json keys = Json::array();
        for (const std::string& key : inspection.uninstallKeys) keys.push_back("HKLM\\" + key);
        report["launcherImage"]["uninstallKeys"] = keys;
        const std::optional<std::string> productId = ProductId(inspection);
        report["launcherImage"]["productId"] = productId ? Json(*productId) : Json();
        report["payload"] = ImageJson(inspection.payload);
        Json signatures = Json::array();
        if (inspection.signature.state != SignatureState::None) {
            signatures.push_back(SignatureJson(inspection.signature, false));
        }
        for (const SignatureCheck& nested : inspection.nestedSignatures) {
            signatures.push_back(SignatureJson(nested, true));
        }
        report["signatures"] = signatures;
        const SlotReport& slot = inspection.slot;
        const char* stampState = StampStateName(slot);
        const host::Status stampable = CheckStamp(inspection, "");
        const LauncherCampaign campaign = CampaignTheLauncherUses(inspection);
        report["campaignStamp"] = {
            {"slot",
             {{"present", stampState != nullptr},
              {"description", DescribeSlot(slot)},
              {"size", stampState ? Json(slot.slot.contentSize) : Json()},
              {"areaSize", stampState ? Json(slot.slot.areaSize) : Json()},
              {"state", stampState ? Json(stampState) : Json()},
              {"text", stampState ? Json(BytesAsLatin1(slot.areaText)) : Json()}}},
            {"stampable", stampable.has_value()},
            {"notStampableBecause", stampable ? Json() : Json(stampable.error())},
            {"launcherCampaign", {{"text", BytesAsLatin1(campaign.text)}, {"why", campaign.why}}}};
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
                             {"versionIni", rows},
                             // Where the launcher looks for the installed product: the one
                             // key found in its image, null when there is not exactly one.
                             {"uninstallKey",
                              {{"path", inspection.uninstallKeys.size() == 1
                                            ? Json("HKLM\\" + inspection.uninstallKeys.front())
                                            : Json()},
                               {"view", 32},
                               {"installDirValue",
                                cli::Utf16ToUtf8(wrapper::handoff::kAppPathValue)}}}};
    }
    if (checks != nullptr) {
        Json list = Json::array();
        for (const Check& check : *checks) {
            list.push_back({{"id", check.rule->id},
                            {"severity", SeverityName(check.rule->severity)},
                            {"check", check.name},
                            {"passed", check.passed},
                            {"fails", Fails(check, strict)},
                            {"detail", check.detail}});
        }
        report["verify"] = {
            {"passed", AllPassed(*checks, strict)}, {"strict", strict}, {"checks", list}};
    }
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string JsonError(const std::string& name, const std::string& message, int exitStatus) {
    const Json report = {{"schemaVersion", kJsonSchemaVersion},
                         {"tool", {{"name", "wrapper-inspect"}, {"version", WRAPPER_VERSION_TEXT}}},
                         {"package", name},
                         {"error", {{"message", message}, {"exitStatus", exitStatus}}}};
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string PackJson(const PackRecord& record, const PackResult& result) {
    static constexpr const char* kSourceNames[] = {"default", "settings-file", "option"};
    Json settings = Json::object();
    for (std::size_t i = 0; i < std::size(kSettings); ++i) {
        const SettingSource& source = record.sources[i];
        settings[kSettings[i].name] = {
            {"text", BytesAsLatin1(record.settings.*kSettings[i].member)},
            {"source", kSourceNames[static_cast<std::size_t>(source.kind)]},
            {"from", source.kind == SettingSource::Kind::Default ? Json() : Json(source.name)}};
    }
    Json warnings = Json::array();
    for (const PackWarning& warning : result.warnings) {
        warnings.push_back({{"id", warning.rule}, {"detail", warning.text}});
    }
    const Json report = {{"schemaVersion", kJsonSchemaVersion},
                         {"tool", {{"name", "wrapper-pack"}, {"version", WRAPPER_VERSION_TEXT}}},
                         {"package", record.package},
                         {"fileSize", result.packageBytes},
                         {"inputs",
                          {{"launcher", record.launcher},
                           {"payload", record.payload},
                           {"settingsFiles", record.settingsFiles}}},
                         {"sha256",
                          {{"package", DigestJson(result.sha256.package)},
                           {"launcherImage", DigestJson(result.sha256.launcherImage)},
                           {"launcherImageNeutral", DigestJson(result.sha256.launcherImageNeutral)},
                           {"payload", DigestJson(result.sha256.payload)}}},
                         {"settings", settings},
                         {"warnings", warnings},
                         {"testPackage", record.testPackageOptions}};
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace wrapper::tools::package
