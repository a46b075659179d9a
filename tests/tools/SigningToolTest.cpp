// The release flow: pack, sign with osslsigncode and a throwaway certificate, inspect, verify.
// Signing appends the certificate table after the marker (after zero padding up to an 8-byte
// boundary) and names it in the launcher image's header; the trailer must still be found.

#include "ToolTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class Signing : public ::testing::TestWithParam<std::size_t> {
protected:
    void SetUp() override {
        if (!tooltest::OnPath("osslsigncode") || !tooltest::OnPath("openssl")) {
            GTEST_SKIP() << "osslsigncode or openssl not installed (scripts/install-deps)";
        }
    }
    tooltest::ScratchDir dir;
};

TEST_P(Signing, SignedPackageIsReadVerifiedAndExtractedLikeTheUnsignedOne) {
    const std::size_t payloadSize = GetParam();
    const tooltest::Bytes payload = tooltest::MinimalExecutable(payloadSize);
    tooltest::WriteFile(dir / "wrapper.exe", tooltest::MinimalExecutable(4096));
    tooltest::WriteFile(dir / "installer.exe", payload);
    const auto pack = tooltest::Run(
        WRAPPER_PACK,
        {"--launcher", dir / "wrapper.exe", "--payload", dir / "installer.exe", "-o",
         dir / "setup.exe", "--campaign", "utm_source=signed", "--landing",
         "https://example.com%1/welcome?", "--uninstall", "https://example.com%1/bye?"});
    ASSERT_EQ(pack.exitCode, 0) << pack.err;

    const auto certificate = tooltest::Run(
        "openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=test", "-days",
                    "2", "-keyout", dir / "key.pem", "-out", dir / "cert.pem"});
    ASSERT_EQ(certificate.exitCode, 0) << certificate.err;
    const auto sign = tooltest::Run(
        "osslsigncode", {"sign", "-certs", dir / "cert.pem", "-key", dir / "key.pem", "-n",
                         "Example setup", "-in", dir / "setup.exe", "-out", dir / "signed.exe"});
    ASSERT_EQ(sign.exitCode, 0) << sign.out << sign.err;

    const auto inspect = tooltest::Run(WRAPPER_INSPECT, {"--json", "--verify", dir / "signed.exe",
                                                         "--extract-payload", dir / "out.exe"});
    ASSERT_EQ(inspect.exitCode, 0) << inspect.out << inspect.err;
    const json report = json::parse(inspect.out);
    const std::uint64_t markerEnd = 4096 + payloadSize + 1080;
    const std::uint64_t padding = (8 - markerEnd % 8) % 8;
    EXPECT_EQ(report["layout"]["markerEnd"], markerEnd);
    EXPECT_EQ(report["layout"]["payload"], json({{"offset", 4096}, {"size", payloadSize}}));
    const json& after = report["layout"]["afterMarker"];
    EXPECT_EQ(after["kind"], "certificate-table");
    EXPECT_EQ(after["padding"], padding);
    EXPECT_EQ(after["certificateTable"]["offset"], markerEnd + padding);
    EXPECT_EQ(report["fileSize"], markerEnd + after["size"].get<std::uint64_t>());
    EXPECT_EQ(report["fields"]["CampaignQuery"]["text"], "utm_source=signed");
    EXPECT_EQ(report["verify"]["passed"], true);
    EXPECT_EQ(tooltest::ReadFile(dir / "out.exe"), payload);
}

// The package's length decides the padding before the table: none, and some.
INSTANTIATE_TEST_SUITE_P(Padding, Signing, ::testing::Values(2040, 2045),
                         [](const auto& row) { return "Payload" + std::to_string(row.param); });

}  // namespace
