// wrapper-inspect run as a producer runs it, on packages made by wrapper-pack.

#include "ToolTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using tooltest::Bytes;

constexpr char kLink[] = "https://example.com%1/start?";
constexpr char kCampaign[] = "utm_source=spring";
constexpr char kLanding[] = "https://example.com%1/welcome?";
constexpr char kUninstall[] = "https://example.com%1/goodbye?";

// Bytes that differ from offset to offset, so that a shifted or truncated copy shows.
Bytes Pattern(std::size_t size, std::size_t from = 0) {
    Bytes bytes(size);
    for (std::size_t i = from; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 131 + i / 251) & 0xFF);
    return bytes;
}

struct InspectTool : ::testing::Test {
    tooltest::ScratchDir dir;
    Bytes launcherBytes = tooltest::MinimalExecutable(3072);

    void SetUp() override { tooltest::WriteFile(dir / "wrapper.exe", launcherBytes); }

    tooltest::RunResult Pack(const fs::path& payload, const fs::path& output,
                             std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {"--launcher",  dir / "wrapper.exe",
                                              "--payload",   payload,
                                              "-o",          output,
                                              "--link",      kLink,
                                              "--campaign",  kCampaign,
                                              "--landing",   kLanding,
                                              "--uninstall", kUninstall};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return tooltest::Run(WRAPPER_PACK, arguments);
    }

    json InspectJson(const fs::path& package, std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"--json", package.string()});
        const auto run = tooltest::Run(WRAPPER_INSPECT, extra);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return json::parse(run.out);
    }
};

// Pack, inspect, extract: the payload comes back byte for byte, wherever it lies.
struct RoundTrip : InspectTool, ::testing::WithParamInterface<std::size_t> {};

TEST_P(RoundTrip, ExtractGivesThePayloadBackByteForByte) {
    const std::size_t size = GetParam();
    // An empty or 1-byte payload is no executable: only a test package may carry it.
    const bool executable = size >= 1024;
    Bytes payload = Pattern(size);
    if (executable) {
        const Bytes headers = tooltest::MinimalExecutable(1024);
        std::copy(headers.begin(), headers.end(), payload.begin());
    }
    tooltest::WriteFile(dir / "payload.bin", payload);
    const auto pack =
        Pack(dir / "payload.bin", dir / "setup.exe",
             executable ? std::vector<std::string>{} : std::vector<std::string>{"--unchecked"});
    ASSERT_EQ(pack.exitCode, 0) << pack.err;

    const json report =
        InspectJson(dir / "setup.exe", {"--extract-payload", (dir / "out.bin").string()});
    const std::uint64_t end = 3072 + size + 1080;
    EXPECT_EQ(report["fileSize"], end);
    EXPECT_EQ(report["launcherResult"]["code"], 0);
    EXPECT_EQ(report["layout"]["launcherImage"], json({{"offset", 0}, {"size", 3072}}));
    EXPECT_EQ(report["layout"]["payload"], json({{"offset", 3072}, {"size", size}}));
    EXPECT_EQ(report["layout"]["trailer"], json({{"offset", 3072 + size}, {"size", 1080}}));
    EXPECT_EQ(report["layout"]["markerEnd"], end);
    EXPECT_EQ(report["layout"]["afterMarker"]["kind"], "nothing");
    EXPECT_EQ(report["payload"]["verdict"], executable  ? "executable"
                                            : size == 0 ? "empty"
                                                        : "no-mz-header");
    EXPECT_EQ(report["fields"]["CampaignQuery"], json({{"text", kCampaign}, {"terminated", true}}));
    EXPECT_EQ(report["fields"]["LandingTemplate"]["text"], kLanding);
    EXPECT_EQ(tooltest::ReadFile(dir / "out.bin"), payload);
}

INSTANTIATE_TEST_SUITE_P(PayloadSizes, RoundTrip, ::testing::Values(0, 1, 16384, 5000000),
                         [](const auto& row) { return "Bytes" + std::to_string(row.param); });

TEST_F(InspectTool, TextReportShowsLayoutFieldsAndWhatTheLauncherWillDo) {
    tooltest::WriteFile(dir / "installer.exe", tooltest::MinimalExecutable(5000));
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "setup.exe").exitCode, 0);
    const auto run = tooltest::Run(WRAPPER_INSPECT, {dir / "setup.exe"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string name = (dir / "setup.exe").string();
    EXPECT_EQ(run.out,
              "package                 " + name +
                  ", 9152 bytes\n"
                  "launcher result         0: the launcher reads this package\n"
                  "\n"
                  "  region                     offset        bytes\n"
                  "  launcher image                  0         3072  a Windows executable\n"
                  "  payload                      3072         5000  a Windows executable\n"
                  "  trailer                      8072         1080\n"
                  "  marker end                   9152\n"
                  "  after the marker             9152            0  nothing\n"
                  "\n"
                  "PayloadSize             5000\n"
                  "LinkTemplate            \"https://example.com%1/start?\"\n"
                  "CampaignQuery           \"utm_source=spring\"\n"
                  "LandingTemplate         \"https://example.com%1/welcome?\"\n"
                  "UninstallTemplate       \"https://example.com%1/goodbye?\"\n"
                  "markers in file         1\n"
                  "\n"
                  "after a successful install the launcher opens\n"
                  "  landing, no language  https://example.com/welcome?utm_source=spring\n"
                  "  landing, fr           https://example.com\\fr/welcome?utm_source=spring\n"
                  "  landing, de           https://example.com\\de/welcome?utm_source=spring\n"
                  "  landing, jp           https://example.com\\jp/welcome?utm_source=spring\n"
                  "and writes into Version.ini\n"
                  "  [QD] url              https://example.com%1/start?\n"
                  "  [QD] paramcount       1\n"
                  "  [QD] 1                utm_source=spring\n"
                  "  [UNINSTALL] url       https://example.com\n"
                  "  [UNINSTALL] param     /goodbye?utm_source=spring\n");
}

TEST_F(InspectTool, JsonCarriesAnyFieldBytesAndTheHandOff) {
    tooltest::WriteFile(dir / "installer.exe", tooltest::MinimalExecutable(5000));
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "setup.exe",
                   {"--allow-ansi", "--landing", "https://caf\xE9.example%1/w?"})
                  .exitCode,
              0);
    const json report = InspectJson(dir / "setup.exe");
    EXPECT_EQ(report["fields"]["LandingTemplate"]["text"], "https://caf\u00e9.example%1/w?");
    EXPECT_EQ(report["handOff"]["landingUrl"]["jp"],
              "https://caf\u00e9.example\\jp/w?utm_source=spring");
    EXPECT_EQ(report["handOff"]["uninstall"],
              json({{"url", "https://example.com"}, {"param", "/goodbye?utm_source=spring"}}));
    EXPECT_EQ(report["handOff"]["versionIni"].size(), 5u);
}

// Files the launcher would refuse: exit status 2, the result code named, nothing extracted.
TEST_F(InspectTool, NamesTheLauncherResultCodeOfARefusedPackage) {
    tooltest::PackageParts tooBig;
    tooBig.payloadSize = 1u << 24;
    Bytes markerNearStart(100, 0);
    const Bytes marker = tooltest::Marker();
    markerNearStart.insert(markerNearStart.end(), marker.begin(), marker.end());
    Bytes noRoomForSize(1075 - 32, 0);
    noRoomForSize.insert(noRoomForSize.end(), marker.begin(), marker.end());
    const struct {
        const char* name;
        Bytes bytes;
        std::string code;
    } rows[] = {
        {"shorter than the marker", Bytes(20, 0),
         "result code 2 (kSeekNearEndFailed): the file is shorter than the 32-byte marker"},
        {"no marker", tooltest::MinimalExecutable(5000),
         "result code 15 (kScanSeekOrCreateFailed): no trailer marker in the file"},
        {"marker too near the start", markerNearStart,
         "result code 4 (kSeekFieldsFailed): the marker ends fewer than 1072 bytes into the file"},
        {"no room for PayloadSize", noRoomForSize,
         "result code 10 (kSeekPayloadSizeFailed): the marker ends fewer than 1080 bytes"},
        {"PayloadSize beyond the start", tooltest::BuildPackage(tooBig),
         "result code 13 (kSeekPayloadFailed): PayloadSize is larger than the trailer's offset"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        tooltest::WriteFile(dir / "bad.exe", row.bytes);
        for (const bool asJson : {false, true}) {
            std::vector<std::string> arguments = {dir / "bad.exe", "--extract-payload",
                                                  dir / "out.bin"};
            if (asJson) arguments.push_back("--json");
            const auto run = tooltest::Run(WRAPPER_INSPECT, arguments);
            EXPECT_EQ(run.exitCode, 2);
            EXPECT_TRUE(run.err.starts_with("wrapper-inspect: the launcher would refuse " +
                                            (dir / "bad.exe").string() + ": " + row.code))
                << run.err;
            EXPECT_FALSE(fs::exists(dir / "out.bin"));
            if (asJson) {
                EXPECT_EQ(json::parse(run.out)["launcherResult"]["code"],
                          std::stoi(row.code.substr(12)));
            }
        }
    }
}

TEST_F(InspectTool, MissingPackageIsAToolError) {
    const auto run = tooltest::Run(WRAPPER_INSPECT, {dir / "none.exe"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.err, "wrapper-inspect: cannot read " + (dir / "none.exe").string() + "\n");
    const auto folder = tooltest::Run(WRAPPER_INSPECT, {dir.path()});
    EXPECT_EQ(folder.exitCode, 3);
    EXPECT_EQ(folder.err, "wrapper-inspect: cannot read " + dir.path().string() + ": not a file\n");
}

TEST_F(InspectTool, VerifyExitsZeroOnlyWhenEveryCheckPasses) {
    tooltest::WriteFile(dir / "installer.exe", tooltest::MinimalExecutable(5000));
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "good.exe").exitCode, 0);
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "junk.exe", {"--trailing-bytes", "9"}).exitCode, 0);
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "bad.exe", {"--payload-size", "99999"}).exitCode,
              0);

    const auto good = tooltest::Run(WRAPPER_INSPECT, {"--verify", dir / "good.exe"});
    EXPECT_EQ(good.exitCode, 0);
    EXPECT_TRUE(good.out.ends_with("\nall 10 checks passed\n")) << good.out;
    EXPECT_EQ(good.out.find("FAIL"), std::string::npos);

    const auto junk = tooltest::Run(WRAPPER_INSPECT, {"--verify", dir / "junk.exe"});
    EXPECT_EQ(junk.exitCode, 1);
    EXPECT_NE(junk.out.find("FAIL  nothing but a certificate table follows the marker: 9 bytes"),
              std::string::npos)
        << junk.out;
    EXPECT_TRUE(junk.out.ends_with("\n1 of 10 checks failed\n")) << junk.out;

    const json junkJson = InspectJson(dir / "junk.exe");  // plain inspection still succeeds
    EXPECT_EQ(junkJson["layout"]["afterMarker"]["kind"], "other");

    const auto bad = tooltest::Run(WRAPPER_INSPECT, {"--verify", dir / "bad.exe"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(bad.out.starts_with("FAIL  the launcher reads the trailer: result 13")) << bad.out;
}

// A package packed around another package: the launcher reads the trailer nearest the end,
// so the inner one is dead weight that verify reports.
TEST_F(InspectTool, PackageWithTwoTrailersIsReadFromTheLastAndFailsVerify) {
    tooltest::WriteFile(dir / "first.bin", tooltest::MinimalExecutable(2000));
    const Bytes second = Pattern(7000, 1024);
    Bytes secondPayload = second;
    const Bytes headers = tooltest::MinimalExecutable(1024);
    std::copy(headers.begin(), headers.end(), secondPayload.begin());
    tooltest::WriteFile(dir / "second.bin", secondPayload);
    ASSERT_EQ(Pack(dir / "first.bin", dir / "inner.exe").exitCode, 0);
    const auto refused =
        tooltest::Run(WRAPPER_PACK, {"--launcher", dir / "inner.exe", "--payload",
                                     dir / "second.bin", "-o", dir / "outer.exe", "--landing",
                                     "https://second%1/w?", "--uninstall", kUninstall});
    ASSERT_EQ(refused.exitCode, 1);
    ASSERT_EQ(tooltest::Run(WRAPPER_PACK,
                            {"--launcher", dir / "inner.exe", "--payload", dir / "second.bin", "-o",
                             dir / "outer.exe", "--landing", "https://second%1/w?", "--uninstall",
                             kUninstall, "--unchecked"})
                  .exitCode,
              0);

    const json report =
        InspectJson(dir / "outer.exe", {"--extract-payload", (dir / "out.bin").string()});
    const std::uint64_t innerSize = 3072 + 2000 + 1080;
    EXPECT_EQ(report["markerCount"], 2);
    EXPECT_EQ(report["layout"]["payload"], json({{"offset", innerSize}, {"size", 7000}}));
    EXPECT_EQ(report["fields"]["LandingTemplate"]["text"], "https://second%1/w?");
    EXPECT_EQ(tooltest::ReadFile(dir / "out.bin"), secondPayload);

    const auto verify = tooltest::Run(WRAPPER_INSPECT, {"--verify", dir / "outer.exe"});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_NE(verify.out.find("FAIL  the marker occurs once in the file: found 2 times"),
              std::string::npos)
        << verify.out;
}

TEST_F(InspectTool, ExtractReplacesTheTargetOnlyWhenTheCopyIsComplete) {
    tooltest::WriteFile(dir / "installer.exe", tooltest::MinimalExecutable(5000));
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "setup.exe").exitCode, 0);
    tooltest::WriteFile(dir / "out.bin", Bytes(10, 1));
    EXPECT_EQ(
        tooltest::Run(WRAPPER_INSPECT, {dir / "setup.exe", "--extract-payload", dir / "out.bin"})
            .exitCode,
        0);
    EXPECT_EQ(tooltest::ReadFile(dir / "out.bin"), tooltest::MinimalExecutable(5000));

    const auto run = tooltest::Run(
        WRAPPER_INSPECT, {dir / "setup.exe", "--extract-payload", dir / "no" / "out.bin"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_TRUE(run.err.starts_with("wrapper-inspect: cannot extract the payload to " +
                                    (dir / "no" / "out.bin").string() + ": cannot create "))
        << run.err;
    EXPECT_EQ(dir.Files(),
              (std::vector<std::string>{"installer.exe", "out.bin", "setup.exe", "wrapper.exe"}));
}

}  // namespace
