// wrapper-inspect --verify's checks, each made to fail by the producer mistake it is for.

#include "PackageInspector.h"
#include "ToolTestSupport.h"
#include "Verification.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using tooltest::Bytes;
using tooltest::PackageParts;

struct VerifyRow {
    const char* name;
    std::function<void(PackageParts&)> change;
    std::string failing;  // the one check expected to fail; empty when all pass
    bool allowAnsi = false;
};

void PrintTo(const VerifyRow& row, std::ostream* out) {
    *out << row.name;
}

std::vector<std::string> FailedChecks(const Bytes& package, bool allowAnsi) {
    tooltest::ScratchDir dir;
    tooltest::WriteFile(dir / "setup.exe", package);
    std::string error;
    const auto inspection = packageinspector::InspectPackage(dir / "setup.exe", error);
    EXPECT_TRUE(inspection.has_value()) << error;
    std::vector<std::string> failed;
    if (!inspection) return failed;
    for (const auto& check : packageinspector::VerifyPackage(*inspection, allowAnsi)) {
        if (!check.passed) failed.push_back(check.name + ": " + check.detail);
    }
    return failed;
}

struct Verify : ::testing::TestWithParam<VerifyRow> {};

TEST_P(Verify, FailsExactlyTheCheckForTheMistake) {
    PackageParts parts;
    if (GetParam().change) GetParam().change(parts);
    const auto failed = FailedChecks(tooltest::BuildPackage(parts), GetParam().allowAnsi);
    if (GetParam().failing.empty()) {
        EXPECT_EQ(failed, std::vector<std::string>{});
    } else {
        ASSERT_EQ(failed.size(), 1u) << ::testing::PrintToString(failed);
        EXPECT_EQ(failed[0], GetParam().failing);
    }
}

// A signature as signing tools append it: `padding` zero bytes up to the table, the table
// running to the end of the file, and the launcher image's header naming it.
void Sign(PackageParts& parts, std::uint32_t padding, std::uint32_t tableSize = 1432) {
    const std::size_t markerEnd = parts.launcher.size() + parts.payload.size() + 1080;
    parts.launcher = tooltest::MinimalExecutable(
        parts.launcher.size(),
        tooltest::CertificateEntry{static_cast<std::uint32_t>(markerEnd + padding), tableSize});
    parts.after.assign(padding, 0);
    parts.after.resize(padding + tableSize, 0x30);
}

const VerifyRow kRows[] = {
    {"GoodPackage", {}, ""},
    {"SignedPackage", [](PackageParts& p) { Sign(p, 0); }, ""},
    {"SignedPackageWithPadding", [](PackageParts& p) { Sign(p, 4); }, ""},
    {"PayloadNotExecutable", [](PackageParts& p) { p.payload = Bytes(4096, 'x'); },
     "the payload is a Windows executable: not a Windows executable: no MZ header at its start"},
    {"EmptyPayload", [](PackageParts& p) { p.payload.clear(); },
     "the payload is a Windows executable: empty"},
    {"LauncherNotExecutable", [](PackageParts& p) { p.launcher = Bytes(2048, 'x'); },
     "the launcher image is a Windows executable: not a Windows executable: no MZ header at its "
     "start"},
    {"FieldWithoutZero", [](PackageParts& p) { p.fields[0] = std::string(260, 'l'); },
     "every field ends with a zero byte: LinkTemplate fills all 260 bytes"},
    {"FieldNotAscii", [](PackageParts& p) { p.fields[0] = "https://caf\xE9.example/"; },
     "every field is printable ASCII: LinkTemplate holds byte 0xE9 at position 11"},
    {"FieldAnsiAllowed", [](PackageParts& p) { p.fields[0] = "https://caf\xE9.example/"; }, "",
     true},
    {"FieldWithControlByteEvenWhenAnsiAllowed", [](PackageParts& p) { p.fields[1] = "a=\x01"; },
     "every field is printable ASCII or ANSI text: CampaignQuery holds byte 0x01 at position 2",
     true},
    {"CampaignQueryWithQuestionMark", [](PackageParts& p) { p.fields[1] = "?utm=x"; },
     "the campaign query does not start with \"?\": "},
    {"LandingWithoutPlaceholder", [](PackageParts& p) { p.fields[2] = "https://example.com/w?"; },
     "the landing template holds \"%1\" once, inside the text: no \"%1\""},
    {"LandingWithTwoPlaceholders", [](PackageParts& p) { p.fields[2] = "https://a%1/b%1/w?"; },
     "the landing template holds \"%1\" once, inside the text: \"%1\" 2 times; the text after "
     "the second one is dropped"},
    {"LandingStartsWithPlaceholder", [](PackageParts& p) { p.fields[2] = "%1/w?"; },
     "the landing template holds \"%1\" once, inside the text: \"%1\" at the very start; the "
     "text after it would become the first piece"},
    {"UninstallEndsWithPlaceholderAndNoCampaign",
     [](PackageParts& p) {
         p.fields[1] = "";
         p.fields[3] = "https://example.com%1";
     },
     "the uninstall template with the campaign query holds \"%1\" once, inside the text: \"%1\" at "
     "the very end; nothing follows it"},
    {"PlaceholderMadeByTemplateAndCampaignTogether",
     [](PackageParts& p) {
         p.fields[1] = "1x=y";
         p.fields[3] = "https://example.com%1/u?%";
     },
     "the uninstall template with the campaign query holds \"%1\" once, inside the text: \"%1\" 2 "
     "times; the text after the second one is dropped"},
    {"BytesAfterMarkerWithoutSignature", [](PackageParts& p) { p.after = Bytes(100, 0); },
     "nothing but a certificate table follows the marker: 100 bytes follow the marker and the "
     "header names no certificate table"},
    {"BytesAfterTheSignature",
     [](PackageParts& p) {
         Sign(p, 0);
         p.after.push_back(0);
     },
     "nothing but a certificate table follows the marker: 1433 bytes follow the marker and they "
     "are not the certificate table the header names (offset 7224, 1432 bytes)"},
    {"PaddingThatIsNotZero",
     [](PackageParts& p) {
         Sign(p, 4);
         p.after[1] = 1;
     },
     "nothing but a certificate table follows the marker: 1436 bytes follow the marker and they "
     "are not the certificate table the header names (offset 7228, 1432 bytes)"},
    {"LauncherSignedBeforePacking",
     [](PackageParts& p) {
         p.launcher = tooltest::MinimalExecutable(2048, tooltest::CertificateEntry{1536, 512});
     },
     "nothing but a certificate table follows the marker: the launcher image's header names a "
     "certificate table at offset 1536 but none follows the marker (was the launcher signed "
     "before packing? sign the package instead)"},
    // A second payload, trailer and marker slipped into the certificate table after signing.
    {"TrailerInsideTheCertificateTable",
     [](PackageParts& p) {
         Sign(p, 0, 1432 + 1200);
         PackageParts slipped;
         slipped.payload = Bytes(100, 'M');
         const Bytes inner = tooltest::BuildPackage(slipped);
         std::copy(inner.end() - 1200, inner.end(), p.after.end() - 1200);
     },
     "the marker occurs once in the file: found 2 times, 1 inside the certificate table, which "
     "the signature does not cover and the launcher never searches: bytes were added to it "
     "after signing"},
    {"TwoTrailers",
     [](PackageParts& p) {
         PackageParts first;
         p.launcher = tooltest::BuildPackage(first);
     },
     "the marker occurs once in the file: found 2 times"},
};

INSTANTIATE_TEST_SUITE_P(Mistakes, Verify, ::testing::ValuesIn(kRows),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(VerifyRefused, OnlyCheckIsThatTheLauncherReadsIt) {
    PackageParts parts;
    parts.payloadSize = 1u << 30;
    EXPECT_EQ(FailedChecks(tooltest::BuildPackage(parts), false),
              std::vector<std::string>{
                  "the launcher reads the trailer: result 13 (kSeekPayloadFailed): PayloadSize is "
                  "larger than the trailer's offset: the payload would start before the file"});
}

}  // namespace
