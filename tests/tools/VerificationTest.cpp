// The package rules, each made to fail by the producer mistake it is for. wrapper-pack
// evaluates the same rules on what it is about to write (PackToolTest shows it refusing).

#include "tools/package/PackageInspector.h"
#include "ToolTestSupport.h"
#include "tools/package/Verification.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

namespace tools = wrapper::tools;

namespace {

using tooltest::Bytes;
using tooltest::PackageParts;

struct VerifyRow {
    const char* name;
    std::function<void(PackageParts&)> change;
    std::vector<std::string> failing;  // "id: detail" of each check expected not to pass
    bool allowAnsi = false;
    bool requireSignature = false;
    // What the inspection read, changed before the rules run: a rule's verdict on a reading
    // whose own cases PeImageTest holds.
    std::function<void(tools::package::Inspection&)> inspected = {};
};

void PrintTo(const VerifyRow& row, std::ostream* out) {
    *out << row.name;
}

std::vector<std::string> FailedChecks(
    const Bytes& package, bool allowAnsi, bool requireSignature = false,
    const std::function<void(tools::package::Inspection&)>& inspected = {}) {
    tools::host::MemorySource source(package);
    tools::package::Inspection inspection;
    const tools::host::Status read = tools::package::InspectSource(source, inspection);
    EXPECT_TRUE(read) << read.error();
    if (inspected) inspected(inspection);
    std::vector<std::string> failed;
    for (const auto& check :
         tools::package::VerifyPackage(inspection, allowAnsi, {}, {requireSignature, false})) {
        if (!check.passed) failed.push_back(std::string(check.rule->id) + ": " + check.detail);
    }
    return failed;
}

struct VerificationTest : ::testing::TestWithParam<VerifyRow> {};

TEST_P(VerificationTest, FailsExactlyTheChecksForTheMistake) {
    PackageParts parts;
    if (GetParam().change) GetParam().change(parts);
    EXPECT_EQ(FailedChecks(tooltest::BuildPackage(parts), GetParam().allowAnsi,
                           GetParam().requireSignature, GetParam().inspected),
              GetParam().failing);
}

// A certificate table as signing tools append it: `padding` zero bytes up to the table, the
// table running to the end of the file, and the launcher image's header naming it. Its
// WIN_CERTIFICATE entry holds no real signature (SigningToolTest signs for real).
void AppendCertificateTable(PackageParts& parts, std::uint32_t padding,
                            std::uint32_t tableSize = 1432) {
    const std::size_t markerEnd = parts.launcher.size() + parts.payload.size() + 1080;
    parts.launcher = tooltest::MinimalLauncher(
        parts.launcher.size(),
        tooltest::CertificateEntry{static_cast<std::uint32_t>(markerEnd + padding), tableSize});
    parts.after.assign(padding, 0);
    parts.after.resize(padding + tableSize, 0x30);
    // WIN_CERTIFICATE: dwLength, wRevision 0x0200, wCertificateType PKCS_SIGNED_DATA (2)
    std::fill_n(parts.after.begin() + padding, 8, 0);
    wrapper::testing::Put32(parts.after, padding, tableSize);
    parts.after[padding + 5] = parts.after[padding + 6] = 2;
}

constexpr char kNoSignatureRead[] =
    "signature: the certificate table holds no signature this tool reads: not a PKCS#7 "
    "SignedData message";
constexpr char kSwapped[] = "(were --launcher and --payload swapped?)";

Bytes WithMarkerText(std::string text) {
    const Bytes marker = tooltest::Marker();
    text.append(marker.begin(), marker.end());
    return Bytes(text.begin(), text.end());
}

const VerifyRow kRows[] = {
    {"GoodPackage", {}, {}},
    // The launcher image
    {"LauncherNotExecutable",
     [](PackageParts& p) { p.launcher = Bytes(2048, 'x'); },
     {"launcher: not a Windows executable: no MZ header at its start"}},
    {"LauncherWithoutVersionResource",
     [](PackageParts& p) { p.launcher = tooltest::MinimalExecutable(2048); },
     {std::string("launcher: no version resource: not the launcher ") + kSwapped}},
    {"LauncherOfAnotherProduct",
     [](PackageParts& p) {
         p.launcher = tooltest::Executable(
             {.size = 2048, .version = tooltest::VersionStrings{"Stand-in installer", "1.0"}});
     },
     {std::string("launcher: its version resource names the product \"Stand-in installer\": not "
                  "the launcher ") +
      kSwapped}},
    {"LauncherOfAnotherVersion",
     [](PackageParts& p) {
         p.launcher = tooltest::Executable(
             {.size = 2048, .version = tooltest::VersionStrings{"wrapper", "0.0.9"}});
     },
     {"launcher-version: its version resource gives version \"0.0.9\"; pack with the launcher "
      "these tools were built with"}},
    // The payload
    {"PayloadNotExecutable",
     [](PackageParts& p) { p.payload = Bytes(4096, 'x'); },
     {"payload: not a Windows executable: no MZ header at its start"}},
    {"EmptyPayload", [](PackageParts& p) { p.payload.clear(); }, {"payload: empty"}},
    {"PayloadForX64", [](PackageParts& p) { p.payload = tooltest::MinimalExecutable64(4096); }, {}},
    {"PayloadIsADll",
     [](PackageParts& p) { p.payload = tooltest::Executable({.size = 4096, .dll = true}); },
     {"payload: a DLL (IMAGE_FILE_DLL is set), not a program"}},
    {"PayloadHeadersWithoutASubsystem",
     {},
     {"payload: its headers are cut short or of an unknown form (no optional header that holds "
      "a subsystem): Windows cannot start it"},
     false,
     false,
     [](tools::package::Inspection& i) { i.payload.subsystem.reset(); }},
    {"PayloadNotMarkedExecutable",
     [](PackageParts& p) { p.payload[0x56] &= ~0x02; },
     {"payload: not marked executable (IMAGE_FILE_EXECUTABLE_IMAGE is not set): Windows cannot "
      "start it"}},
    {"PayloadForANativeSubsystem",
     [](PackageParts& p) { p.payload[0x58 + 68] = 1; },
     {"payload: a program for subsystem 1, not a Windows GUI (2) or console (3) program: "
      "Windows cannot start it as the installer"}},
    {"PayloadForTheGuiSubsystem", [](PackageParts& p) { p.payload[0x58 + 68] = 2; }, {}},
    {"PayloadForArm64",
     [](PackageParts& p) {
         p.payload = tooltest::Executable({.size = 4096, .wide = true, .machine = 0xAA64});
     },
     {"payload: a program for machine ARM64 (0xAA64); the installer must be for x86 or x64"}},
    {"PayloadIsTheLauncher",
     [](PackageParts& p) { p.payload = tooltest::MinimalLauncher(4096); },
     {std::string("payload: its version resource names the product \"wrapper\": it is the "
                  "launcher or a package ") +
      kSwapped}},
    {"PayloadIsAPackage",
     [](PackageParts& p) { p.payload = tooltest::BuildPackage(PackageParts{}); },
     {std::string("payload: its version resource names the product \"wrapper\": it is the "
                  "launcher or a package ") +
          kSwapped,
      "marker-once: the trailer marker occurs 2 times: at 9240, in the payload (it is itself a "
      "package); at 10320, the trailer's own"}},
    // The fields
    {"FieldWithoutZero",
     [](PackageParts& p) { p.fields[0] = "https://example.com/" + std::string(240, 'l'); },
     {"fields-terminated: link template fills all 260 bytes, no zero byte ends it"}},
    {"TextAfterTheTerminatingZero",
     [](PackageParts& p) { p.fields[0] = std::string("https://a.example/\0junk", 23); },
     {"fields-terminated: link template holds a zero byte at position 18 with more text after "
      "it"}},
    {"FieldNotAscii",
     [](PackageParts& p) { p.fields[0] = "https://caf\xE9.example/"; },
     {"fields-text: link template holds byte 0xE9 at position 11, outside printable ASCII; in "
      "the URL's host: write the host name in punycode (\"xn--...\"), or pass --allow-ansi if "
      "it is meant for the target's ANSI code page"}},
    {"FieldNotAsciiAfterTheHost",
     [](PackageParts& p) { p.fields[2] = "https://land%1/caf\xC3\xA9?"; },
     {"fields-text: landing template holds byte 0xC3 at position 18, outside printable ASCII; "
      "percent-encode it: %C3%A9, or pass --allow-ansi if it is meant for the target's ANSI "
      "code page"}},
    {"FieldInUtf8WhenAnsiAllowed",
     [](PackageParts& p) { p.fields[2] = "https://land%1/caf\xC3\xA9?"; },
     {"ansi-not-utf8: landing template holds UTF-8 text at position 18, which the launcher "
      "reads in the target's ANSI code page as other characters; percent-encode it: %C3%A9, or "
      "save the settings in the ANSI code page"},
     true},
    {"FieldInAnsiAndUtf8WhenAnsiAllowed",
     [](PackageParts& p) { p.fields[2] = "https://land%1/\xE9t\xE9-caf\xC3\xA9?"; },
     {},
     true},
    {"FieldAnsiAllowed",
     [](PackageParts& p) { p.fields[0] = "https://caf\xE9.example/"; },
     {},
     true},
    {"FieldWithControlByteEvenWhenAnsiAllowed",
     [](PackageParts& p) { p.fields[1] = "a=\x01"; },
     {"fields-text: campaign query holds control byte 0x01 at position 2; percent-encode it: "
      "%01"},
     true},
    {"CampaignQueryWithQuestionMark",
     [](PackageParts& p) { p.fields[1] = "?utm=x"; },
     {"campaign-query: campaign query starts with \"?\"; the template ends with it, write the "
      "query without"}},
    // URLs
    {"SpaceInATemplate",
     [](PackageParts& p) { p.fields[2] = "https://example.com%1/wel come?"; },
     {"url-characters: landing template holds a space at position 25; no URL holds one"}},
    {"QuoteInTheCampaignQuery",
     [](PackageParts& p) { p.fields[1] = "a=\"b\""; },
     {"url-characters: campaign query holds a double quote at position 2; no URL holds one"}},
    {"LocalProgramAsLandingPage",
     [](PackageParts& p) { p.fields[2] = "C:\\x%1.exe"; },
     {"url-characters: landing template holds a backslash at position 2; no URL holds one",
      "url-scheme: landing template \"C:\\x%1.exe\" is not an http:// or https:// URL",
      "query-separator: landing template \"C:\\x%1.exe\": its last piece does not end with "
      "\"?\" or \"&\", so the campaign query runs on from it: \"....exeutm_source=test\""}},
    {"FileUrlAsUninstallLink",
     [](PackageParts& p) { p.fields[3] = "file:///C:/x%1/u?"; },
     {"url-scheme: uninstall template \"file:///C:/x%1/u?\" is not an http:// or https:// URL"}},
    {"TemplateWithoutHost",
     [](PackageParts& p) { p.fields[0] = "https://%1/x"; },
     {"url-scheme: link template \"https://%1/x\" names no host"}},
    {"LandingWithoutQuerySeparator",
     [](PackageParts& p) { p.fields[2] = "https://x.example%1/welcome"; },
     {"query-separator: landing template \"https://x.example%1/welcome\": its last piece does "
      "not end with \"?\" or \"&\", so the campaign query runs on from it: "
      "\".../welcomeutm_source=test\""}},
    {"UninstallWithoutQuerySeparator",
     [](PackageParts& p) { p.fields[3] = "https://x.example/bye"; },
     {"uninstall-placeholder: uninstall template with the campaign query has no \"%1\": "
      "[UNINSTALL] url would be all of it and param empty",
      "query-separator: uninstall template \"https://x.example/bye\": its last piece does not "
      "end with \"?\" or \"&\", so the campaign query runs on from it: "
      "\"...https://x.example/byeutm_source=test\""}},
    {"QuerySeparatorAmpersandOrQueryAsTheParam",
     [](PackageParts& p) {
         p.fields[2] = "https://x.example%1/w?a=1&";
         p.fields[3] = "https://x.example/bye?%1";
     },
     {}},
    {"NoQuerySeparatorNeededWithoutACampaign",
     [](PackageParts& p) {
         p.fields[1] = "";
         p.fields[2] = "https://x.example%1/welcome";
     },
     {}},
    {"PlainHttpIsAWarning",
     [](PackageParts& p) { p.fields[2] = "http://example.com%1/w?"; },
     {"https: landing template uses http://: the page travels unencrypted"}},
    // "%1"
    {"LandingWithoutPlaceholder",
     [](PackageParts& p) { p.fields[2] = "https://example.com/w?"; },
     {"landing-placeholder: landing template has no \"%1\": the language segment would follow "
      "the whole template"}},
    {"LandingWithTwoPlaceholders",
     [](PackageParts& p) { p.fields[2] = "https://a%1/b%1/w?"; },
     {"landing-placeholder: landing template holds \"%1\" 2 times; the text after the second one "
      "is dropped",
      "query-separator: landing template \"https://a%1/b%1/w?\": its last piece does not end "
      "with \"?\" or \"&\", so the campaign query runs on from it: \".../butm_source=test\""}},
    {"LandingStartsWithPlaceholder",
     [](PackageParts& p) { p.fields[2] = "%1/w?"; },
     {"url-scheme: landing template \"%1/w?\" is not an http:// or https:// URL",
      "landing-placeholder: landing template starts with \"%1\"; the text after it would become "
      "the first piece"}},
    {"NoLandingPageNoUninstallLinkNoCampaign",
     [](PackageParts& p) { p.fields[1] = p.fields[2] = p.fields[3] = ""; },
     {}},
    {"NoLandingPageButACampaignQuery",
     [](PackageParts& p) { p.fields[2] = ""; },
     {"landing-placeholder: landing template is empty but the campaign query is not: the "
      "launcher would open \"utm_source=test\""}},
    {"NoUninstallLinkButACampaignQuery",
     [](PackageParts& p) { p.fields[3] = ""; },
     {"uninstall-placeholder: uninstall template is empty but the campaign query is not: "
      "[UNINSTALL] url would be \"utm_source=test\""}},
    {"UninstallEndsWithPlaceholderAndNoCampaign",
     [](PackageParts& p) {
         p.fields[1] = "";
         p.fields[3] = "https://example.com%1";
     },
     {"uninstall-placeholder: uninstall template with the campaign query ends with \"%1\"; "
      "nothing follows it"}},
    {"PlaceholderMadeByTemplateAndCampaignTogether",
     [](PackageParts& p) {
         p.fields[1] = "1x=y";
         p.fields[3] = "https://example.com%1/u?%";
     },
     {"uninstall-placeholder: uninstall template with the campaign query holds \"%1\" 2 times; "
      "the text after the second one is dropped",
      "query-separator: uninstall template \"https://example.com%1/u?%\": its last piece does "
      "not end with \"?\" or \"&\", so the campaign query runs on from it: \".../u?%1x=y\""}},
    // After the marker, and the marker
    {"CertificateTableAfterTheMarker",
     [](PackageParts& p) { AppendCertificateTable(p, 0); },
     {kNoSignatureRead}},
    // A release requires a signature: a signing step that signed nothing is caught.
    {"UnsignedWhenASignatureIsRequired",
     nullptr,
     {"signature: the package is not signed, and a signature is required"},
     false,
     true},
    {"CertificateTableAfterPadding",
     [](PackageParts& p) { AppendCertificateTable(p, 4); },
     {kNoSignatureRead}},
    {"BytesAfterMarkerWithoutSignature",
     [](PackageParts& p) { p.after = Bytes(100, 0); },
     {"after-marker: 100 bytes follow the marker and the header names no certificate table"}},
    {"BytesAfterTheCertificateTable",
     [](PackageParts& p) {
         AppendCertificateTable(p, 0);
         p.after.push_back(0);
     },
     {"after-marker: 1433 bytes follow the marker and they are not the certificate table the "
      "header names (offset 7224, 1432 bytes)"}},
    {"PaddingThatIsNotZero",
     [](PackageParts& p) {
         AppendCertificateTable(p, 4);
         p.after[1] = 1;
     },
     {"after-marker: 1436 bytes follow the marker and they are not the certificate table the "
      "header names (offset 7228, 1432 bytes)"}},
    {"LauncherSignedBeforePacking",
     [](PackageParts& p) {
         p.launcher = tooltest::MinimalLauncher(2048, tooltest::CertificateEntry{1536, 512});
     },
     {"after-marker: the launcher image's header names a certificate table at offset 1536 but "
      "none follows the marker (was the launcher signed before packing? sign the package "
      "instead)"}},
    // A second payload, trailer and marker slipped into the certificate table after signing.
    {"TrailerInsideTheCertificateTable",
     [](PackageParts& p) {
         AppendCertificateTable(p, 0, 1432 + 1200);
         PackageParts slipped;
         slipped.payload = Bytes(100, 'M');
         const Bytes inner = tooltest::BuildPackage(slipped);
         std::copy(inner.end() - 1200, inner.end(), p.after.end() - 1200);
     },
     {"marker-once: the trailer marker occurs 2 times: at 7192, the trailer's own; at 9824, "
      "inside the certificate table, which the signature does not cover and the launcher never "
      "searches: bytes were added to it after signing",
      kNoSignatureRead}},
    {"LauncherIsAPackage",
     [](PackageParts& p) { p.launcher = tooltest::BuildPackage(PackageParts{}); },
     {"marker-once: the trailer marker occurs 2 times: at 7192, in the launcher image (a package, "
      "not the bare launcher); at 12368, the trailer's own"}},
    {"MarkerTextInAField",
     [](PackageParts& p) {
         const Bytes text = WithMarkerText("https://a.example/");
         p.fields[0].assign(text.begin(), text.end());
     },
     {"marker-once: the trailer marker occurs 2 times: at 6170, in the trailer's fields; at 7192, "
      "the trailer's own"}},
};

INSTANTIATE_TEST_SUITE_P(Mistakes, VerificationTest, ::testing::ValuesIn(kRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(VerifyRefused, OnlyCheckIsThatTheLauncherReadsIt) {
    PackageParts parts;
    parts.payloadSize = 1u << 30;
    EXPECT_EQ(FailedChecks(tooltest::BuildPackage(parts), false),
              std::vector<std::string>{
                  "launcher-reads-trailer: result 13 (kSeekPayloadFailed): PayloadSize is larger "
                  "than the trailer's offset: the payload would start before the file"});
}

// Ids are what scripts key on: each is unique, and only a warning passes without --strict.
TEST(Rules, IdsAreUniqueAndStrictTurnsWarningsIntoFailures) {
    std::set<std::string> ids;
    for (const tools::package::Rule& rule : tools::package::kRules) {
        EXPECT_TRUE(ids.insert(rule.id).second) << rule.id;
    }
    const tools::package::Check warning{
        &tools::package::RuleFor(tools::package::RuleId::Https), "", false, ""};
    EXPECT_FALSE(tools::package::Fails(warning, false));
    EXPECT_TRUE(tools::package::Fails(warning, true));
}

// The launcher image hashed as Authenticode hashes it: what signing writes into the header
// (CheckSum, the entry naming a table after the image) changes nothing, any other byte does,
// and the bare launcher, which the launcher refuses as a package, hashes the same.
TEST(LauncherNeutralHash, IgnoresOnlyWhatSigningWritesIntoTheHeader) {
    const auto neutral = [](const Bytes& file) {
        tools::host::MemorySource source(file);
        tools::package::Inspection inspection;
        const tools::host::Status read = tools::package::InspectSource(source, inspection);
        EXPECT_TRUE(read) << read.error();
        return tools::package::Hex(inspection.launcherNeutralSha256);
    };
    const PackageParts parts;
    tools::host::MemorySource headers(parts.launcher);
    const auto image = tools::package::ReadPeInfo(headers, 0, parts.launcher.size());
    ASSERT_TRUE(image.checksumOffset && image.certificateEntryOffset);
    const auto put = [](Bytes& bytes, std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    const std::string plain = neutral(tooltest::BuildPackage(parts));
    ASSERT_EQ(plain.size(), 64u);
    EXPECT_EQ(neutral(parts.launcher), plain) << "the bare launcher";
    const std::uint32_t markerEnd =
        static_cast<std::uint32_t>(parts.launcher.size() + parts.payload.size() + 1080);
    const struct {
        const char* name;
        std::function<void(Bytes&)> change;
        bool same;
    } rows[] = {
        {"checksum", [&](Bytes& b) { put(b, *image.checksumOffset, 0x1234ABCD); }, true},
        {"certificate entry",
         [&](Bytes& b) {
             put(b, *image.certificateEntryOffset, markerEnd);
             put(b, *image.certificateEntryOffset + 4, 1432);
         },
         true},
        {"code byte", [](Bytes& b) { b[tooltest::kLauncherKeyOffset - 1] ^= 0x5A; }, false},
    };
    for (const auto& row : rows) {
        PackageParts changed = parts;
        row.change(changed.launcher);
        EXPECT_EQ(neutral(tooltest::BuildPackage(changed)) == plain, row.same) << row.name;
    }
}

}  // namespace
