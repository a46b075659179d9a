#include "tools/package/Verification.h"

#include "tools/package/ResultCodeText.h"
#include "tools/cli/ToolText.h"
#include "WrapperVersion.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace wrapper::tools::package {

// The product name in quotes, as the rules and messages show it.
#define PRODUCT "\"" WRAPPER_PRODUCT_NAME "\""

namespace {

using wrapper::package::Field;

constexpr std::string_view kPlaceholder = "%1";

}  // namespace

constexpr std::array<Rule, static_cast<std::size_t>(RuleId::Count)> kRules = {{
    {"launcher-reads-trailer", Severity::Error, Subject::Package, "the launcher reads the trailer"},
    {"launcher", Severity::Error, Subject::Launcher,
     "the launcher image is the launcher: its version resource names the product " PRODUCT},
    {"launcher-version", Severity::Warning, Subject::Launcher,
     "the launcher image is version " WRAPPER_VERSION_TEXT ", the version of these tools"},
    {"payload", Severity::Error, Subject::Payload,
     "the payload can start as the installer: a Windows GUI or console program for x86 or x64, "
     "not a DLL, not the launcher"},
    {"fields-terminated", Severity::Error, Subject::Package,
     "every field ends with a zero byte, with nothing after it"},
    {"fields-text", Severity::Error, Subject::Package, "every field is printable ASCII"},
    {"campaign-query", Severity::Error, Subject::Package,
     "the campaign query does not start with \"?\""},
    {"url-characters", Severity::Error, Subject::Package,
     "no field holds a character that no URL holds"},
    {"url-scheme", Severity::Error, Subject::Package,
     "the link, landing and uninstall templates are empty or http:// or https:// URLs with a "
     "host"},
    {"https", Severity::Warning, Subject::Package, "the templates use https://"},
    {"landing-placeholder", Severity::Error, Subject::Package,
     "the landing template holds \"%1\" once, inside the text"},
    {"uninstall-placeholder", Severity::Error, Subject::Package,
     "the uninstall template with the campaign query holds \"%1\" once, inside the text"},
    {"after-marker", Severity::Error, Subject::Package,
     "nothing but a certificate table follows the marker"},
    {"marker-once", Severity::Error, Subject::Package, "the marker occurs once in the file"},
    {"signature", Severity::Error, Subject::Package,
     "a signature after the marker still matches the file (its Authenticode digest)"},
    {"product-id", Severity::Error, Subject::Launcher,
     "the launcher reads the uninstall key of the expected product"},
    {"signature-padding", Severity::Error, Subject::Package,
     "only zero bytes follow the signature's structure in its certificate table"},
    {"campaign-stamp", Severity::Error, Subject::Package,
     "a stamp in the signature's slot is a valid campaign"},
    {"query-separator", Severity::Warning, Subject::Package,
     "a landing or uninstall template that the campaign query follows ends with \"?\" or "
     "\"&\""},
    {"ansi-not-utf8", Severity::Warning, Subject::Package,
     "bytes 0x80-0xFF that --allow-ansi admits are ANSI text, not UTF-8"},
}};

// Every RuleId has its row: a missing one would be a null id.
static_assert(std::all_of(kRules.begin(), kRules.end(), [](const Rule& rule) {
    return rule.id != nullptr && rule.requirement != nullptr;
}));

namespace {

std::string HexByte(unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

Check Make(RuleId id, bool passed, std::string detail = {}) {
    const Rule& rule = RuleFor(id);
    return {&rule, rule.requirement, passed, std::move(detail)};
}

std::string Words(Field field) {
    for (const NamedField& named : kNamedFields) {
        if (named.field == field) return named.words;
    }
    return {};
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
        if (c != prefix[i]) return false;
    }
    return true;
}

constexpr Field kTemplates[] = {Field::LinkTemplate, Field::LandingTemplate,
                                Field::UninstallTemplate};

Check LauncherCheck(const PeInfo& image) {
    if (image.verdict != PeVerdict::Executable) {
        return Make(RuleId::Launcher, false, DescribeVerdict(image.verdict));
    }
    if (!image.version) {
        return Make(RuleId::Launcher, false,
                    "no version resource: not the launcher (were --launcher and --payload "
                    "swapped?)");
    }
    if (image.version->productName != WRAPPER_PRODUCT_NAME) {
        return Make(RuleId::Launcher, false,
                    "its version resource names the product \"" +
                        cli::Printable(image.version->productName) +
                        "\": not the launcher (were --launcher and --payload swapped?)");
    }
    return Make(RuleId::Launcher, true,
                std::string(WRAPPER_PRODUCT_NAME) + " " +
                    cli::Printable(image.version->productVersion));
}

Check LauncherVersionCheck(const PeInfo& image) {
    if (!image.version || image.version->productName != WRAPPER_PRODUCT_NAME) {
        return Make(RuleId::LauncherVersion, true, "no launcher version to compare");
    }
    const std::string& version = image.version->productVersion;
    if (version == WRAPPER_VERSION_TEXT) return Make(RuleId::LauncherVersion, true, version);
    return Make(RuleId::LauncherVersion, false,
                "its version resource gives version \"" + cli::Printable(version) +
                    "\"; pack with the launcher these tools were built with");
}

// ASCII letters without regard to case.
bool SameNoCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char x, char y) { return lower(x) == lower(y); });
}

// "{GUID}" for a GUID given without one brace or both ("5D1C7E2A-...-3E7B1C90F4A6"), empty
// for anything else.
std::string BracedGuid(std::string_view text) {
    if (text.starts_with('{') && text.ends_with('}')) return {};
    if (text.starts_with('{')) text.remove_prefix(1);
    if (text.ends_with('}')) text.remove_suffix(1);
    constexpr std::string_view kShape = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
    if (text.size() != kShape.size()) return {};
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hex = std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
        if (kShape[i] == '-' ? text[i] != '-' : !hex) return {};
    }
    return "{" + std::string(text) + "}";
}

Check ProductIdCheck(const Inspection& inspection,
                     const std::optional<std::string>& expected) {
    const std::optional<std::string> id = ProductId(inspection);
    const std::vector<std::string>& keys = inspection.uninstallKeys;
    const std::string found =
        id ? "product id " + *id
           : keys.empty() ? std::string("no uninstall key in the launcher image")
                          : std::to_string(keys.size()) + " uninstall keys in the launcher image";
    if (!expected) {
        Check check = Make(RuleId::ProductId, true, found + " (--expect-product-id checks it)");
        check.name = "the uninstall key the launcher reads";
        return check;
    }
    if (id && SameNoCase(*id, *expected)) return Make(RuleId::ProductId, true, found);
    if (const std::string braced = BracedGuid(*expected); !braced.empty()) {
        return Make(RuleId::ProductId, false,
                    found + ", not " + *expected + ": a product id is written with its braces, " +
                        braced);
    }
    return Make(RuleId::ProductId, false,
                found + ", not " + *expected +
                    (id ? ": the hand-off would look for another product's installation" : ""));
}

Check PayloadCheck(const PeInfo& payload) {
    if (payload.verdict != PeVerdict::Executable) {
        return Make(RuleId::Payload, false, DescribeVerdict(payload.verdict));
    }
    if (!payload.subsystem) {
        return Make(RuleId::Payload, false,
                    "its headers are cut short or of an unknown form (no optional header "
                    "that holds a subsystem): Windows cannot start it");
    }
    if (payload.IsDll()) {
        return Make(RuleId::Payload, false, "a DLL (IMAGE_FILE_DLL is set), not a program");
    }
    if (!payload.IsExecutableImage()) {
        return Make(RuleId::Payload, false,
                    "not marked executable (IMAGE_FILE_EXECUTABLE_IMAGE is not set): Windows "
                    "cannot start it");
    }
    if (payload.machine != kMachineI386 &&
        payload.machine != kMachineAmd64) {
        return Make(RuleId::Payload, false,
                    "a program for machine " + MachineName(payload.machine) +
                        "; the installer must be for x86 or x64");
    }
    if (payload.version && payload.version->productName == WRAPPER_PRODUCT_NAME) {
        return Make(RuleId::Payload, false,
                    "its version resource names the product " PRODUCT
                    ": it is the launcher or a package (were --launcher and --payload swapped?)");
    }
    if (*payload.subsystem != kSubsystemWindowsGui &&
        *payload.subsystem != kSubsystemWindowsConsole) {
        return Make(RuleId::Payload, false,
                    "a program for subsystem " + std::to_string(*payload.subsystem) +
                        ", not a Windows GUI (2) or console (3) program: Windows cannot start "
                        "it as the installer");
    }
    return Make(RuleId::Payload, true, "a program for " + MachineName(payload.machine));
}

Check TerminatedCheck(const Inspection& inspection) {
    for (const NamedField& named : kNamedFields) {
        const char* bytes = inspection.fields.bytes[static_cast<std::size_t>(named.field)];
        if (!FieldTerminated(inspection, named.field)) {
            return Make(RuleId::FieldsTerminated, false,
                        std::string(named.words) + " fills all 260 bytes, no zero byte ends it");
        }
        const std::size_t zero = FieldText(inspection, named.field).size();
        for (std::size_t i = zero + 1; i < wrapper::package::kFieldSize; ++i) {
            if (bytes[i] != 0) {
                return Make(RuleId::FieldsTerminated, false,
                            std::string(named.words) + " holds a zero byte at position " +
                                std::to_string(zero) + " with more text after it");
            }
        }
    }
    return Make(RuleId::FieldsTerminated, true);
}

// Where the host of an http:// or https:// template lies: from after "://" up to the first
// "/", "?", "#" or "%1". nullopt for text that is no such URL.
struct Span {
    std::size_t begin;
    std::size_t end;
};
std::optional<Span> HostSpan(std::string_view text) {
    std::size_t begin = 0;
    if (StartsWithNoCase(text, "https://")) {
        begin = 8;
    } else if (StartsWithNoCase(text, "http://")) {
        begin = 7;
    } else {
        return std::nullopt;
    }
    const std::string_view rest = text.substr(begin);
    return Span{begin, begin + std::min({rest.find_first_of("/?#"), rest.find(kPlaceholder),
                                         rest.size()})};
}

// How to write the bytes outside printable ASCII that start at `at` so that every code page
// reads the same: a host in punycode, anything else percent-encoded.
std::string EncodingHint(Field field, const std::string& text, std::size_t at) {
    const auto outside = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte >= 0x7F;
    };
    // The campaign query is no URL of its own: it follows a template's query.
    const auto host = field != Field::CampaignQuery ? HostSpan(text) : std::optional<Span>();
    if (host && at >= host->begin && at < host->end &&
        static_cast<unsigned char>(text[at]) >= 0x80) {
        return "in the URL's host: write the host name in punycode (\"xn--...\")";
    }
    std::string encoded;
    for (std::size_t i = at; i < text.size() && outside(text[i]) && encoded.size() < 36; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(text[i]));
        encoded += hex;
    }
    return "percent-encode it: " + encoded;
}

// The length of the UTF-8 sequence at `at` (a lead byte and its continuation bytes, no
// overlong form, no surrogate, at most U+10FFFF), 0 when the bytes there are not one.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = at + 2; i < at + length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

Check TextCheck(const Inspection& inspection, bool allowAnsi) {
    Check check = Make(RuleId::FieldsText, true);
    if (allowAnsi) check.name = "every field is printable ASCII or ANSI text";
    for (const NamedField& named : kNamedFields) {
        const std::string text = FieldText(inspection, named.field);
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            const std::string where = " at position " + std::to_string(i);
            if (byte < 0x20 || byte == 0x7F) {
                check.passed = false;
                check.detail = std::string(named.words) + " holds control byte " + HexByte(byte) +
                               where + "; " + EncodingHint(named.field, text, i);
                return check;
            }
            if (byte >= 0x80 && !allowAnsi) {
                check.passed = false;
                check.detail = std::string(named.words) + " holds byte " + HexByte(byte) + where +
                               ", outside printable ASCII; " +
                               EncodingHint(named.field, text, i) +
                               ", or pass --allow-ansi if it is meant for the target's ANSI "
                               "code page";
                return check;
            }
        }
    }
    return check;
}

// The launcher hands the fields on as the target's ANSI code page: bytes that form UTF-8
// text there come out as other characters ("caf\xC3\xA9" as "cafÃ©" in code page 1252).
// Bytes that are not UTF-8 are taken for the ANSI text they are meant to be.
Check AnsiNotUtf8Check(const Inspection& inspection, bool allowAnsi) {
    if (!allowAnsi) return Make(RuleId::AnsiNotUtf8, true);  // fields-text refuses them
    for (const NamedField& named : kNamedFields) {
        const std::string text = FieldText(inspection, named.field);
        std::optional<std::size_t> first;
        bool allUtf8 = true;
        for (std::size_t i = 0; i < text.size() && allUtf8;) {
            if (static_cast<unsigned char>(text[i]) < 0x80) {
                ++i;
                continue;
            }
            const std::size_t length = Utf8SequenceAt(text, i);
            allUtf8 = length != 0;
            if (!first) first = i;
            i += length;
        }
        if (!first || !allUtf8) continue;
        return Make(RuleId::AnsiNotUtf8, false,
                    std::string(named.words) + " holds UTF-8 text at position " +
                        std::to_string(*first) +
                        ", which the launcher reads in the target's ANSI code page as other "
                        "characters; " + EncodingHint(named.field, text, *first) +
                        ", or save the settings in the ANSI code page");
    }
    return Make(RuleId::AnsiNotUtf8, true);
}

// Printable ASCII that no URL holds, quoted or named for a message.
const char* NotInUrls(char c) {
    switch (c) {
        case ' ': return "a space";
        case '"': return "a double quote";
        case '\'': return "a single quote";
        case '\\': return "a backslash";
        case '<': return "\"<\"";
        case '>': return "\">\"";
        case '^': return "\"^\"";
        case '`': return "\"`\"";
        case '{': return "\"{\"";
        case '|': return "\"|\"";
        case '}': return "\"}\"";
        default: return nullptr;
    }
}

Check UrlCharactersCheck(const Inspection& inspection) {
    for (const NamedField& named : kNamedFields) {
        const std::string text = FieldText(inspection, named.field);
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (const char* what = NotInUrls(text[i])) {
                return Make(RuleId::UrlCharacters, false,
                            std::string(named.words) + " holds " + what + " at position " +
                                std::to_string(i) + "; no URL holds one");
            }
        }
    }
    return Make(RuleId::UrlCharacters, true);
}

Check UrlSchemeCheck(const Inspection& inspection) {
    for (const Field field : kTemplates) {
        const std::string text = FieldText(inspection, field);
        if (text.empty()) continue;
        const std::string quoted = cli::Quoted(text);
        const auto host = HostSpan(text);
        if (!host) {
            return Make(RuleId::UrlScheme, false,
                        Words(field) + " " + quoted + " is not an http:// or https:// URL");
        }
        if (host->begin == host->end) {
            return Make(RuleId::UrlScheme, false, Words(field) + " " + quoted + " names no host");
        }
    }
    return Make(RuleId::UrlScheme, true);
}

Check HttpsCheck(const Inspection& inspection) {
    for (const Field field : kTemplates) {
        if (StartsWithNoCase(FieldText(inspection, field), "http://")) {
            return Make(RuleId::Https, false,
                        Words(field) + " uses http://: the page travels unencrypted");
        }
    }
    return Make(RuleId::Https, true);
}

// "%1" exactly once with text before and after it, so that pieces 0 and 1 of the split
// are the text before and after it.
std::string PlaceholderProblem(const std::string& what, const std::string& text) {
    std::size_t count = 0;
    for (auto at = text.find(kPlaceholder); at != std::string::npos;
         at = text.find(kPlaceholder, at + kPlaceholder.size())) {
        ++count;
    }
    const auto first = text.find(kPlaceholder);
    if (count == 0) return what + " has no \"%1\"";
    if (count > 1) {
        return what + " holds \"%1\" " + std::to_string(count) +
               " times; the text after the second one is dropped";
    }
    if (first == 0) {
        return what + " starts with \"%1\"; the text after it would become the first piece";
    }
    if (first + kPlaceholder.size() == text.size()) {
        return what + " ends with \"%1\"; nothing follows it";
    }
    return {};
}

Check LandingCheck(const Inspection& inspection) {
    const std::string landing = FieldText(inspection, Field::LandingTemplate);
    const std::string campaign = FieldText(inspection, Field::CampaignQuery);
    if (landing.empty()) {
        // No landing page is a choice; but the launcher still opens the campaign query then.
        if (campaign.empty()) {
            return Make(RuleId::LandingPlaceholder, true, "empty: no page is opened");
        }
        const auto& url = inspection.handOff.landingUrl[0];
        return Make(RuleId::LandingPlaceholder, false,
                    "landing template is empty but the campaign query is not: the launcher would "
                    "open \"" +
                        cli::Printable(url.value_or(campaign)) + "\"");
    }
    std::string problem = PlaceholderProblem("landing template", landing);
    if (problem.ends_with("has no \"%1\"")) {
        problem += ": the language segment would follow the whole template";
    }
    return Make(RuleId::LandingPlaceholder, problem.empty(), problem);
}

Check UninstallCheck(const Inspection& inspection) {
    const std::string uninstall = FieldText(inspection, Field::UninstallTemplate);
    const std::string campaign = FieldText(inspection, Field::CampaignQuery);
    if (uninstall.empty()) {
        if (campaign.empty()) {
            return Make(RuleId::UninstallPlaceholder, true, "empty: no uninstall link");
        }
        return Make(RuleId::UninstallPlaceholder, false,
                    "uninstall template is empty but the campaign query is not: [UNINSTALL] url "
                    "would be \"" +
                        cli::Printable(inspection.handOff.uninstallUrl) + "\"");
    }
    // The two are joined before the split, so the query can add a "%1" too.
    std::string problem =
        PlaceholderProblem("uninstall template with the campaign query", uninstall + campaign);
    if (problem.ends_with("has no \"%1\"")) {
        problem += ": [UNINSTALL] url would be all of it and param empty";
    }
    return Make(RuleId::UninstallPlaceholder, problem.empty(), problem);
}

Check AfterMarkerCheck(const Inspection& inspection) {
    const auto& table = inspection.launcherImage.certificateTable;
    const std::uint64_t after = inspection.layout.afterMarker;
    switch (inspection.afterMarkerKind) {
        case AfterMarkerKind::Nothing:
            return table ? Make(RuleId::AfterMarker, false,
                                "the launcher image's header names a certificate table at offset " +
                                    std::to_string(table->offset) +
                                    " but none follows the marker (was the launcher signed before "
                                    "packing? sign the package instead)")
                         : Make(RuleId::AfterMarker, true, "nothing follows the marker");
        case AfterMarkerKind::CertificateTable:
            return Make(RuleId::AfterMarker, true,
                        "the certificate table, " + std::to_string(table->size) + " bytes, after " +
                            std::to_string(inspection.certificatePadding) + " bytes of padding");
        case AfterMarkerKind::Other:
            return Make(
                RuleId::AfterMarker, false,
                std::to_string(after) + " bytes follow the marker and " +
                    (table ? "they are not the certificate table the header names (offset " +
                                 std::to_string(table->offset) + ", " +
                                 std::to_string(table->size) + " bytes)"
                           : std::string("the header names no certificate table")));
    }
    return Make(RuleId::AfterMarker, false);
}

// Where a marker lies, for a message.
std::string MarkerPlace(const Inspection& inspection, std::uint64_t offset) {
    const PackageLayout& layout = inspection.layout;
    const std::string at = "at " + std::to_string(offset);
    if (offset + wrapper::package::kMarkerSize == layout.markerEnd) {
        return at + ", the trailer's own";
    }
    if (offset < layout.payloadStart) {
        return at + ", in the launcher image (a package, not the bare launcher)";
    }
    if (offset < layout.trailerStart) return at + ", in the payload (it is itself a package)";
    if (offset < layout.markerEnd) return at + ", in the trailer's fields";
    const auto& table = inspection.launcherImage.certificateTable;
    if (table && offset >= table->offset && table->offset + table->size == inspection.fileSize) {
        return at + ", inside the certificate table, which the signature does not cover and the "
                    "launcher never searches: bytes were added to it after signing";
    }
    return at + ", after the trailer";
}

Check MarkerCheck(const Inspection& inspection) {
    const std::uint32_t count = inspection.markerCount;
    if (count == 1) return Make(RuleId::MarkerOnce, true, "found 1 time");
    std::string detail = "the trailer marker occurs " + std::to_string(count) + " times";
    for (std::size_t i = 0; i < inspection.markerOffsets.size(); ++i) {
        detail += (i == 0 ? ": " : "; ") + MarkerPlace(inspection, inspection.markerOffsets[i]);
    }
    if (count > inspection.markerOffsets.size()) detail += "; ...";
    return Make(RuleId::MarkerOnce, false, detail);
}

// Each signature read from the package, the primary one first, and how findings name it.
struct NamedSignature {
    std::string name;
    const SignatureCheck* signature;
    bool nested;
};
std::vector<NamedSignature> Signatures(const Inspection& inspection) {
    std::vector<NamedSignature> all = {{"the signature", &inspection.signature, false}};
    for (std::size_t i = 0; i < inspection.nestedSignatures.size(); ++i) {
        all.push_back(
            {"nested signature " + std::to_string(i + 1), &inspection.nestedSignatures[i], true});
    }
    return all;
}

// What is wrong with one signature, or empty when its digest matches the file.
std::string SignatureProblem(const NamedSignature& named) {
    const SignatureCheck& signature = *named.signature;
    switch (signature.state) {
        case SignatureState::None:
        case SignatureState::Matches: return {};
        case SignatureState::Unreadable:
            return named.nested ? named.name + " cannot be read: " + signature.problem
                                : signature.problem;
        case SignatureState::Differs:
            return named.name + "'s " + host::DigestName(signature.algorithm) + " digest " +
                   Hex(signature.signedDigest) + " is not the file's " + Hex(signature.fileDigest) +
                   ": bytes it covers changed after signing";
    }
    return {};
}

// Every signature must match the file: the primary one and each nested one.
Check SignatureStateCheck(const Inspection& inspection) {
    if (inspection.signature.state == SignatureState::None) {
        return Make(RuleId::Signature, true, "the package is not signed");
    }
    std::string matches;
    for (const NamedSignature& named : Signatures(inspection)) {
        const std::string problem = SignatureProblem(named);
        if (!problem.empty()) return Make(RuleId::Signature, false, problem);
        if (!matches.empty()) matches += "; " + named.name + ": ";
        matches += std::string(host::DigestName(named.signature->algorithm)) + " digest matches";
    }
    return Make(RuleId::Signature, true,
                matches + "; the certificate chain is not judged here (osslsigncode verify does)");
}

Check SignaturePaddingCheck(const Inspection& inspection) {
    const SlotReport& slot = inspection.slot;
    // A table that holds no signature at all is the signature rule's finding.
    if (inspection.signature.state != SignatureState::Matches &&
        inspection.signature.state != SignatureState::Differs) {
        return Make(RuleId::SignaturePadding, true, "no signature");
    }
    if (slot.tableSize > wrapper::package::kStampTableLimit) {
        return Make(RuleId::SignaturePadding, true, "not checked: " + DescribeSlot(slot));
    }
    if (slot.status == wrapper::package::SlotStatus::Padding) {
        return Make(RuleId::SignaturePadding, false,
                    "bytes other than zero follow the signature's structure: Windows' strict "
                    "padding check treats the file as unsigned, and the launcher reads no stamp");
    }
    return Make(RuleId::SignaturePadding, true);
}

Check CampaignStampCheck(const SlotReport& slot) {
    if (slot.tableSize == 0 || slot.tableSize > wrapper::package::kStampTableLimit ||
        slot.status != wrapper::package::SlotStatus::Found) {
        return Make(RuleId::CampaignStamp, true, "no slot: " + DescribeSlot(slot));
    }
    switch (slot.stamp) {
        case wrapper::package::StampStatus::Unstamped:
            return Make(RuleId::CampaignStamp, true, "the slot is not stamped");
        case wrapper::package::StampStatus::Stamped:
            return Make(RuleId::CampaignStamp, true,
                        "stamped " + cli::Quoted(slot.areaText.substr(
                                         wrapper::package::kStampPrefixSize)));
        case wrapper::package::StampStatus::Invalid: break;
    }
    return Make(RuleId::CampaignStamp, false,
                "the slot holds " + cli::Quoted(slot.areaText) +
                    ", not \"" + wrapper::package::kStampPrefix +
                    "\" and a valid campaign followed by zero bytes: the launcher ignores it");
}

// The launcher appends the campaign query to the landing template's text up to its second
// "%1" (without the language segment when the template ends there), and to the whole
// uninstall template, whose "%1" at the very end makes the query the param on its own.
Check QuerySeparatorCheck(const Inspection& inspection) {
    if (FieldText(inspection, Field::CampaignQuery).empty()) {
        return Make(RuleId::QuerySeparator, true, "no campaign query");
    }
    for (const Field field : {Field::LandingTemplate, Field::UninstallTemplate}) {
        std::string text = FieldText(inspection, field);
        if (field == Field::LandingTemplate) {
            const std::size_t first = text.find(kPlaceholder);
            const std::size_t second =
                first == std::string::npos ? first : text.find(kPlaceholder, first + kPlaceholder.size());
            if (second != std::string::npos) text.resize(second);
        }
        if (text.empty() || text.ends_with(kPlaceholder) || text.ends_with('?') ||
            text.ends_with('&')) {
            continue;
        }
        const std::size_t last = text.rfind(kPlaceholder);
        const std::string piece =
            last == std::string::npos ? text : text.substr(last + kPlaceholder.size());
        return Make(RuleId::QuerySeparator, false,
                    Words(field) + " " + cli::Quoted(FieldText(inspection, field)) +
                        ": its last piece does not end with \"?\" or \"&\", so the campaign "
                        "query runs on from it: \"..." +
                        cli::Printable(piece + FieldText(inspection, Field::CampaignQuery)) +
                        "\"");
    }
    return Make(RuleId::QuerySeparator, true);
}

// With --require-signature the rule asks for a signature as well, with --require-timestamp
// for a timestamp on every signature, nested ones too.
Check SignatureCheckOf(const Inspection& inspection, const SignatureRequirements& required) {
    if (!required.signature && !required.timestamp) return SignatureStateCheck(inspection);
    const SignatureCheck& signature = inspection.signature;
    Check check = signature.state == SignatureState::None
                      ? Make(RuleId::Signature, false,
                             "the package is not signed, and a signature is required")
                      : SignatureStateCheck(inspection);
    check.name =
        "a signature after the marker is present and matches the file (its Authenticode digest)";
    if (required.timestamp && check.passed) {
        for (const NamedSignature& named : Signatures(inspection)) {
            if (!named.signature->timestamped) {
                check.passed = false;
                check.detail = named.name + " carries no timestamp, and one is required";
                break;
            }
        }
        if (check.passed) check.detail += "; timestamped";
    }
    if (required.timestamp) check.name += ", with a timestamp";
    return check;
}

}  // namespace

const Rule& RuleFor(RuleId id) { return kRules[static_cast<std::size_t>(id)]; }

const char* SeverityName(Severity severity) {
    return severity == Severity::Error ? "error" : "warning";
}

std::vector<Check> VerifyPackage(const Inspection& inspection, bool allowAnsi,
                                 const std::optional<std::string>& expectedProductId,
                                 const SignatureRequirements& required) {
    Check reads = Make(
        RuleId::LauncherReadsTrailer, inspection.code == wrapper::kSuccess,
        "result " + std::to_string(inspection.code) + " (" + ResultCodeName(inspection.code) + ")");
    if (!reads.passed) {
        reads.detail += ": " + std::string(ResultCodeMeaning(inspection.code));
        return {reads};
    }
    const std::string campaign = FieldText(inspection, Field::CampaignQuery);
    return {
        reads,
        LauncherCheck(inspection.launcherImage),
        LauncherVersionCheck(inspection.launcherImage),
        PayloadCheck(inspection.payload),
        TerminatedCheck(inspection),
        TextCheck(inspection, allowAnsi),
        campaign.starts_with('?')
            ? Make(RuleId::CampaignQuery, false,
                   "campaign query starts with \"?\"; the template ends with it, write the query "
                   "without")
            : Make(RuleId::CampaignQuery, true),
        UrlCharactersCheck(inspection),
        UrlSchemeCheck(inspection),
        HttpsCheck(inspection),
        LandingCheck(inspection),
        UninstallCheck(inspection),
        AfterMarkerCheck(inspection),
        MarkerCheck(inspection),
        SignatureCheckOf(inspection, required),
        ProductIdCheck(inspection, expectedProductId),
        SignaturePaddingCheck(inspection),
        CampaignStampCheck(inspection.slot),
        QuerySeparatorCheck(inspection),
        AnsiNotUtf8Check(inspection, allowAnsi),
    };
}

bool Fails(const Check& check, bool strict) {
    return !check.passed && (strict || check.rule->severity == Severity::Error);
}

bool AllPassed(const std::vector<Check>& checks, bool strict) {
    return std::none_of(checks.begin(), checks.end(),
                        [strict](const Check& c) { return Fails(c, strict); });
}

}  // namespace wrapper::tools::package
