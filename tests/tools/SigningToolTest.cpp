// The release flow: pack, sign with osslsigncode and a throwaway certificate, inspect, verify.
// Signing appends the certificate table after the marker (after zero padding up to an 8-byte
// boundary) and names it in the launcher image's header; the trailer must still be found,
// and the digest the signature carries must be the one the tool computes for the file.

#include "ToolTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct SigningCase {
    std::size_t payloadSize;
    const char* digest;            // osslsigncode -h
    const char* nested = nullptr;  // then signed again with -nest and this -h
    const char* digestName = "";   // as the report names the digest, then the nested one's
    const char* nestedName = "";
};

void PrintTo(const SigningCase& row, std::ostream* out) {
    *out << row.payloadSize << " " << row.digest << " " << (row.nested ? row.nested : "");
}

class SigningToolTest : public ::testing::TestWithParam<SigningCase> {
protected:
    void SetUp() override {
        if (!tooltest::OnPath("osslsigncode") || !tooltest::OnPath("openssl")) {
            GTEST_SKIP() << "osslsigncode or openssl not installed (scripts/install-deps)";
        }
    }

    // "Calculated message digest" of osslsigncode verify, lower case.
    std::string CalculatedDigest(const fs::path& file) {
        const auto verify = tooltest::Run("osslsigncode", {"verify", "-in", file});
        const std::string label = "Calculated message digest :";
        const auto at = verify.out.find(label);
        if (at == std::string::npos) return "(none in: " + verify.out + verify.err + ")";
        std::string digest;
        for (std::size_t i = at + label.size(); i < verify.out.size() && verify.out[i] != '\n';
             ++i) {
            if (std::isxdigit(static_cast<unsigned char>(verify.out[i]))) {
                digest +=
                    static_cast<char>(std::tolower(static_cast<unsigned char>(verify.out[i])));
            }
        }
        return digest;
    }

    // Signs `in` into `out` with the throwaway certificate (made on first use); `extra` are
    // further osslsigncode options.
    void Sign(const fs::path& in, const fs::path& out, std::vector<std::string> extra = {}) {
        if (!fs::exists(dir / "cert.pem")) {
            const auto certificate = tooltest::Run(
                "openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=test",
                            "-days", "2", "-keyout", dir / "key.pem", "-out", dir / "cert.pem"});
            ASSERT_EQ(certificate.exitCode, 0) << certificate.err;
        }
        std::vector<std::string> sign = {
            "sign", "-certs", dir / "cert.pem", "-key", dir / "key.pem", "-n", "Example setup",
            "-in",  in,       "-out",           out};
        sign.insert(sign.end(), extra.begin(), extra.end());
        const auto signing = tooltest::Run("osslsigncode", sign);
        ASSERT_EQ(signing.exitCode, 0) << signing.out << signing.err;
    }

    // setup.exe, unsigned: a 4096-byte launcher and a 3000-byte installer.
    bool PackUnsigned() {
        tooltest::WriteFile(dir / "wrapper.exe", tooltest::MinimalLauncher(4096));
        tooltest::WriteFile(dir / "installer.exe", tooltest::MinimalExecutable(3000));
        return tooltest::Run(WRAPPER_PACK, {"--launcher", dir / "wrapper.exe", "--payload",
                                            dir / "installer.exe", "-o", dir / "setup.exe"})
                   .exitCode == 0;
    }

    tooltest::ScratchDir dir;
};

TEST_P(SigningToolTest, SignedPackageIsReadVerifiedAndExtractedLikeTheUnsignedOne) {
    const std::size_t payloadSize = GetParam().payloadSize;
    const tooltest::Bytes payload = tooltest::MinimalExecutable(payloadSize);
    tooltest::WriteFile(dir / "wrapper.exe", tooltest::MinimalLauncher(4096));
    tooltest::WriteFile(dir / "installer.exe", payload);
    const auto pack = tooltest::Run(
        WRAPPER_PACK,
        {"--launcher", dir / "wrapper.exe", "--payload", dir / "installer.exe", "-o",
         dir / "setup.exe", "--campaign", "utm_source=signed", "--landing",
         "https://example.com%1/welcome?", "--uninstall", "https://example.com%1/bye?"});
    ASSERT_EQ(pack.exitCode, 0) << pack.err;

    Sign(dir / "setup.exe", dir / "signed.exe", {"-h", GetParam().digest});
    if (GetParam().nested) {
        Sign(dir / "signed.exe", dir / "nested.exe", {"-nest", "-h", GetParam().nested});
        fs::rename(dir / "nested.exe", dir / "signed.exe");
    }

    const auto inspect =
        tooltest::Run(WRAPPER_INSPECT, {"--json", "--verify", "--require-signature",
                                        dir / "signed.exe", "--extract-payload", dir / "out.exe"});
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

    // The digest it checks is the one osslsigncode calculates for the file; a nested
    // signature is checked in its own digest.
    const json& signatures = report["signatures"];
    ASSERT_EQ(signatures.size(), GetParam().nested ? 2u : 1u) << signatures;
    EXPECT_EQ(signatures[0]["fileDigest"], CalculatedDigest(dir / "signed.exe"));
    for (std::size_t i = 0; i < signatures.size(); ++i) {
        EXPECT_EQ(signatures[i]["nested"], i == 1);
        EXPECT_EQ(signatures[i]["state"], "matches");
        EXPECT_EQ(signatures[i]["digestAlgorithm"],
                  i == 0 ? GetParam().digestName : GetParam().nestedName);
        EXPECT_EQ(signatures[i]["signedDigest"], signatures[i]["fileDigest"]);
    }
    // The payload inside the signed package is the one packed, byte for byte.
    const json unsigned_ =
        json::parse(tooltest::Run(WRAPPER_INSPECT, {"--json", dir / "setup.exe"}).out);
    EXPECT_EQ(report["sha256"]["payload"], unsigned_["sha256"]["payload"]);
    // And its launcher is the wrapper.exe packed, as signing-neutral hashes show.
    const json launcher =
        json::parse(tooltest::Run(WRAPPER_INSPECT, {"--json", dir / "wrapper.exe"}).out);
    EXPECT_NE(report["sha256"]["launcherImage"], unsigned_["sha256"]["launcherImage"]);
    EXPECT_EQ(report["sha256"]["launcherImageNeutral"], launcher["sha256"]["launcherImageNeutral"]);
}

// Signing tools pad the file to 8 bytes first: no padding, and some; and each digest.
INSTANTIATE_TEST_SUITE_P(Padding, SigningToolTest,
                         ::testing::Values(SigningCase{2040, "sha256", nullptr, "SHA-256"},
                                           SigningCase{2045, "sha256", nullptr, "SHA-256"},
                                           SigningCase{2040, "sha1", nullptr, "SHA-1"},
                                           SigningCase{2045, "sha512", nullptr, "SHA-512"},
                                           SigningCase{2045, "sha1", "sha256", "SHA-1", "SHA-256"}),
                         [](const auto& row) {
                             return "Payload" + std::to_string(row.param.payloadSize) + "_" +
                                    row.param.digest +
                                    (row.param.nested ? "_nested_" + std::string(row.param.nested)
                                                      : "");
                         });

// A byte the signature covers, changed after signing: --verify fails and says so; bytes in
// the certificate table itself are not covered and change nothing.
TEST_F(SigningToolTest, ChangedBytesAfterSigningFailVerify) {
    ASSERT_TRUE(PackUnsigned());
    Sign(dir / "setup.exe", dir / "signed.exe");
    tooltest::Bytes changed = tooltest::ReadFile(dir / "signed.exe");
    changed[4096 + 100] ^= 0x01;  // inside the payload
    tooltest::WriteFile(dir / "changed.exe", changed);

    const auto verify = tooltest::Run(WRAPPER_INSPECT, {"--verify", dir / "changed.exe"});
    EXPECT_EQ(verify.exitCode, 1);
    const std::string expected =
        "FAIL  a signature after the marker still matches the file (its "
        "Authenticode digest): the signature's SHA-256 digest ";
    EXPECT_NE(verify.out.find(expected), std::string::npos) << verify.out;
    EXPECT_NE(verify.out.find(": bytes it covers changed after signing\n"), std::string::npos);
    EXPECT_TRUE(verify.out.ends_with("1 of 20 checks failed\n")) << verify.out;

    // The last byte of the file lies in the signature's own table: not covered.
    tooltest::Bytes tail = tooltest::ReadFile(dir / "signed.exe");
    tail.back() ^= 0x01;
    tooltest::WriteFile(dir / "tail.exe", tail);
    const json report =
        json::parse(tooltest::Run(WRAPPER_INSPECT, {"--json", dir / "tail.exe"}).out);
    EXPECT_EQ(report["signatures"][0]["state"], "matches");

    // A nested signature whose digest is not the file's fails as the first one would. Its
    // digest lies in the certificate table, which no signature covers: the first still
    // matches.
    Sign(dir / "signed.exe", dir / "nested.exe", {"-nest", "-h", "sha512"});
    const json nested =
        json::parse(tooltest::Run(WRAPPER_INSPECT, {"--json", dir / "nested.exe"}).out);
    const std::string digest = nested["signatures"][1]["signedDigest"];
    tooltest::Bytes bad = tooltest::ReadFile(dir / "nested.exe");
    tooltest::Bytes signedBytes;
    for (std::size_t i = 0; i < digest.size(); i += 2) {
        signedBytes.push_back(
            static_cast<std::uint8_t>(std::stoi(digest.substr(i, 2), nullptr, 16)));
    }
    const auto at = std::search(bad.begin(), bad.end(), signedBytes.begin(), signedBytes.end());
    ASSERT_NE(at, bad.end());
    *at ^= 0x01;
    tooltest::WriteFile(dir / "bad-nested.exe", bad);
    const auto badNested = tooltest::Run(WRAPPER_INSPECT, {"--verify", dir / "bad-nested.exe"});
    EXPECT_EQ(badNested.exitCode, 1);
    EXPECT_NE(badNested.out.find("FAIL  a signature after the marker still matches the file (its "
                                 "Authenticode digest): nested signature 1's SHA-512 digest "),
              std::string::npos)
        << badNested.out;
}

// --require-timestamp: a signature with osslsigncode's own timestamp authority passes, one
// without fails, and the report says which is which.
TEST_F(SigningToolTest, RequiredTimestampIsFoundOrMissed) {
    ASSERT_TRUE(PackUnsigned());
    for (const std::string name : {"signer", "tsa"}) {
        std::vector<std::string> request = {
            "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name, "-days", "2",
            "-keyout", dir / (name + ".key"), "-out", dir / (name + ".pem")};
        if (name == "tsa") {
            request.insert(request.end(), {"-addext", "extendedKeyUsage=critical,timeStamping"});
        }
        ASSERT_EQ(tooltest::Run("openssl", request).exitCode, 0);
    }
    for (const bool stamped : {true, false}) {
        std::vector<std::string> sign = {"sign", "-certs", dir / "signer.pem", "-key",
                                                dir / "signer.key", "-in", dir / "setup.exe",
                                                "-out", dir / "signed.exe"};
        if (stamped) {
            sign.insert(sign.end(), {"-TSA-certs", (dir / "tsa.pem").string(), "-TSA-key",
                                     (dir / "tsa.key").string()});
        }
        fs::remove(dir / "signed.exe");
        const auto signing = tooltest::Run("osslsigncode", sign);
        ASSERT_EQ(signing.exitCode, 0) << signing.out << signing.err;
        const auto verify = tooltest::Run(
            WRAPPER_INSPECT, {"--json", "--verify", "--require-timestamp", dir / "signed.exe"});
        EXPECT_EQ(verify.exitCode, stamped ? 0 : 1) << verify.out;
        const json report = json::parse(verify.out);
        EXPECT_EQ(report["signatures"][0]["timestamped"], stamped);
    }
    // Every signature needs its own: a nested one without fails, though the first has one.
    fs::remove(dir / "signed.exe");
    ASSERT_EQ(tooltest::Run("osslsigncode",
                            {"sign", "-certs", dir / "signer.pem", "-key", dir / "signer.key",
                             "-TSA-certs", dir / "tsa.pem", "-TSA-key", dir / "tsa.key", "-in",
                             dir / "setup.exe", "-out", dir / "signed.exe"})
                  .exitCode,
              0);
    ASSERT_EQ(tooltest::Run("osslsigncode", {"sign", "-nest", "-certs", dir / "signer.pem", "-key",
                                             dir / "signer.key", "-in", dir / "signed.exe", "-out",
                                             dir / "nested.exe"})
                  .exitCode,
              0);
    const auto nested =
        tooltest::Run(WRAPPER_INSPECT, {"--verify", "--require-timestamp", dir / "nested.exe"});
    EXPECT_EQ(nested.exitCode, 1);
    EXPECT_NE(nested.out.find("FAIL  a signature after the marker is present and matches the file "
                              "(its Authenticode digest), with a timestamp: nested signature 1 "
                              "carries no timestamp, and one is required\n"),
              std::string::npos)
        << nested.out;
}

}  // namespace
