// wrapper-inspect run as a producer runs it, on packages made by wrapper-pack.

#include "ToolTestSupport.h"
#include "WrapperVersion.h"
#include "handoff/HandOffRecord.h"
#include "tools/host/ToolCrypto.h"
#include "tools/package/Settings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <functional>
#include <sys/stat.h>

namespace tools = wrapper::tools;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using tooltest::Bytes;

constexpr char kLink[] = "https://example.com%1/start?";
constexpr char kCampaign[] = "utm_source=spring";
constexpr char kLanding[] = "https://example.com%1/welcome?";
constexpr char kUninstall[] = "https://example.com%1/goodbye?";

std::string Sha256(const Bytes& bytes, std::size_t from = 0, std::size_t length = SIZE_MAX) {
    tools::host::Digest digest(tools::host::DigestAlgorithm::Sha256);
    digest.Update(bytes.data() + from, std::min(length, bytes.size() - from));
    std::string hex;
    for (const std::uint8_t byte : digest.Finish()) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    return hex;
}

// Bytes that differ from offset to offset, so that a shifted or truncated copy shows.
Bytes Pattern(std::size_t size, std::size_t from = 0) {
    Bytes bytes(size);
    for (std::size_t i = from; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 131 + i / 251) & 0xFF);
    return bytes;
}

struct InspectToolTest : ::testing::Test {
    tooltest::ScratchDir dir;
    Bytes launcherBytes = tooltest::MinimalLauncher(3072);

    void SetUp() override { tooltest::WriteFile(dir / "wrapper.exe", launcherBytes); }

    tooltest::RunResult Pack(const fs::path& payload, const fs::path& output,
                             std::vector<std::string> extra = {}) {
        // Each setting unless `extra` gives it: an option is given once.
        std::vector<std::string> arguments = {"--launcher", dir / "wrapper.exe", "--payload",
                                              payload, "-o", output};
        const tools::package::PackageSettings settings = {kLink, kCampaign, kLanding, kUninstall};
        for (const tools::package::Setting& setting : tools::package::kSettings) {
            if (std::find(extra.begin(), extra.end(), setting.option) == extra.end()) {
                arguments.insert(arguments.end(), {setting.option, settings.*setting.member});
            }
        }
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
struct RoundTrip : InspectToolTest, ::testing::WithParamInterface<std::size_t> {};

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

TEST_F(InspectToolTest, TextReportShowsLayoutFieldsAndWhatTheLauncherWillDo) {
    tooltest::WriteFile(dir / "installer.exe", tooltest::MinimalExecutable(5000));
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "setup.exe").exitCode, 0);
    const auto run = tooltest::Run(WRAPPER_INSPECT, {dir / "setup.exe"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string name = (dir / "setup.exe").string();
    const Bytes package = tooltest::ReadFile(dir / "setup.exe");
    // Its value is VerificationTest's; here only where it is shown.
    const std::string neutral = json::parse(tooltest::Run(WRAPPER_INSPECT, {"--json", name}).out)
                                    ["sha256"]["launcherImageNeutral"];
    EXPECT_EQ(run.out,
              "package                 " + name +
                  ", 9152 bytes\n"
                  "launcher result         0: the launcher reads this package\n"
                  "launcher version        wrapper " WRAPPER_VERSION_TEXT " (" WRAPPER_DESCRIPTION
                  ")\n"
                  "uninstall key           HKLM\\" WRAPPER_UNINSTALL_KEY " (32-bit view)\n"
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
                  "SHA-256\n"
                  "  package               " +
                  Sha256(package) +
                  "\n"
                  "  launcher image        " +
                  Sha256(package, 0, 3072) +
                  "\n"
                  "  launcher, neutral     " +
                  neutral +
                  "\n"
                  "  payload               " +
                  Sha256(package, 3072, 5000) +
                  "\n"
                  "signature               none\n"
                  "campaign slot           none: no certificate table ends the file\n"
                  "stampable               no: the package is not signed: a stamp goes into its "
                  "signature's slot (sign the base package with osslsigncode sign "
                  "-addUnauthenticatedBlob)\n"
                  "campaign used           \"utm_source=spring\": the signed campaign query; a "
                  "stamp never replaces it\n"
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

TEST_F(InspectToolTest, JsonCarriesAnyFieldBytesAndTheHandOff) {
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
    // The end-to-end tests take the key from here: it must be the one the launcher reads.
    const std::u16string key = wrapper::handoff::kUninstallKey;
    const std::u16string value = wrapper::handoff::kAppPathValue;
    EXPECT_EQ(report["handOff"]["uninstallKey"],
              json({{"path", "HKLM\\" + std::string(key.begin(), key.end())},
                    {"view", 32},
                    {"installDirValue", std::string(value.begin(), value.end())}}));
    // The keys found are written as that one is, with the hive.
    EXPECT_EQ(report["launcherImage"]["uninstallKeys"],
              json::array({report["handOff"]["uninstallKey"]["path"]}));
}

// Files the launcher would refuse: exit status 1, the result code named, nothing extracted.
TEST_F(InspectToolTest, NamesTheLauncherResultCodeOfARefusedPackage) {
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
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_TRUE(run.err.starts_with("wrapper-inspect: the launcher would refuse " +
                                            (dir / "bad.exe").string() + ": " + row.code))
                << run.err;
            EXPECT_FALSE(fs::exists(dir / "out.bin"));
            if (asJson) {
                const json report = json::parse(run.out);
                EXPECT_EQ(report["launcherResult"]["code"], std::stoi(row.code.substr(12)));
                EXPECT_EQ(report["sha256"]["package"], Sha256(row.bytes));
            }
        }
    }
}

// A package that cannot be read: one line with the system's reason, exit status 1, and with
// --json a document that says so.
TEST_F(InspectToolTest, UnreadablePackageIsReportedWithTheReason) {
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    const struct {
        fs::path package;
        std::string reason;
    } rows[] = {
        {dir / "none.exe", "No such file or directory"},
        {dir.path(), "not a regular file (a directory)"},
        {dir / "fifo", "not a regular file (a FIFO)"},
        {"/dev/zero", "not a regular file (a character device)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.package);
        const std::string message = "cannot read " + row.package.string() + ": " + row.reason;
        const auto run = tooltest::Run(WRAPPER_INSPECT, {row.package, "--verify"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, "wrapper-inspect: " + message + "\n");
        const auto asJson = tooltest::Run(WRAPPER_INSPECT, {"--json", row.package});
        EXPECT_EQ(asJson.exitCode, 1);
        const json report = json::parse(asJson.out);
        EXPECT_EQ(report["schemaVersion"], 3);
        EXPECT_EQ(report["error"], json({{"message", message}, {"exitStatus", 1}}));
    }
}

// The extracted payload never replaces anything but a regular file, nor the package.
TEST_F(InspectToolTest, ExtractRefusesAnOutputThatIsNotARegularFileOrIsThePackage) {
    tooltest::WriteFile(dir / "installer.exe", tooltest::MinimalExecutable(5000));
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "setup.exe").exitCode, 0);
    ASSERT_EQ(::mkfifo((dir / "fifo.exe").c_str(), 0644), 0);
    fs::create_symlink(dir / "setup.exe", dir / "link.exe");
    fs::create_hard_link(dir / "setup.exe", dir / "hard.exe");
    const Bytes package = tooltest::ReadFile(dir / "setup.exe");
    const struct {
        const char* output;
        std::string problem;
    } rows[] = {
        {"setup.exe", "is the same file as the package " + (dir / "setup.exe").string() +
                          "; an input is never written over"},
        {"hard.exe", "is the same file as the package " + (dir / "setup.exe").string() +
                         "; an input is never written over"},
        {"link.exe",
         "is a symbolic link, not a regular file; only a regular file is ever replaced"},
        {"fifo.exe", "is a FIFO, not a regular file; only a regular file is ever replaced"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.output);
        const auto run = tooltest::Run(WRAPPER_INSPECT,
                                       {dir / "setup.exe", "--extract-payload", dir / row.output});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, "wrapper-inspect: output " + (dir / row.output).string() + " " +
                               row.problem + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(tooltest::ReadFile(dir / "setup.exe"), package);
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link.exe"));
    EXPECT_TRUE(fs::is_fifo(dir / "fifo.exe"));
}

TEST_F(InspectToolTest, UsageErrorsExitWithTwo) {
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } rows[] = {
        {{}, "package is required"},
        {{"a.exe", "--verfy"}, "unknown option --verfy; did you mean --verify?"},
        {{"a.exe", "b.exe"}, "unexpected argument \"b.exe\""},
        {{"a.exe", "--strict"}, "--strict requires --verify"},
        {{"a.exe", "--allow-ansi"}, "--allow-ansi requires --verify"},
        {{"a.exe", "--extract-payload", "x", "--extract-payload=y"},
         "--extract-payload is given 2 times; it takes one value"},
        {{"a.exe", "--extract-payload"}, "--extract-payload: 1 required FILE missing"},
        {{"a.exe", "--extract-payload", ""}, "--extract-payload: an empty path names no file"},
        {{""}, "PACKAGE: an empty path names no file"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        const auto run = tooltest::Run(WRAPPER_INSPECT, row.arguments);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, "wrapper-inspect: " + row.message + " (see wrapper-inspect --help)\n");
    }
    const auto version = tooltest::Run(WRAPPER_INSPECT, {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("wrapper-inspect ") + WRAPPER_VERSION_TEXT + "\n");
}

// The key the launcher's hand-off opens is read from the launcher image itself, and
// --expect-product-id holds it against the product the producer ships.
TEST_F(InspectToolTest, ReportsTheLauncherUninstallKeyAndChecksTheExpectedProduct) {
    const std::string other = "{00000000-1111-2222-3333-444444444444}";
    std::string lowerCase = WRAPPER_PRODUCT_ID;
    std::transform(lowerCase.begin(), lowerCase.end(), lowerCase.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    Bytes otherProduct = tooltest::MinimalLauncher(3072);
    tooltest::PutUninstallKey(otherProduct, tooltest::kLauncherKeyOffset, other);
    Bytes twoKeys = tooltest::MinimalLauncher(3072);
    tooltest::PutUninstallKey(twoKeys, tooltest::kLauncherKeyOffset + 256, other);
    Bytes noKey = tooltest::MinimalLauncher(3072);
    std::fill(noKey.begin() + tooltest::kLauncherKeyOffset, noKey.begin() + 0x400, 0);
    const std::string expected = "the launcher reads the uninstall key of the expected product: ";
    struct Row {
        const char* name;
        const Bytes* launcher;
        std::optional<std::string> expect;
        json productId;
        std::size_t keys;
        bool passes;
        std::string line;
    };
    const Row rows[] = {
        {"configured", &launcherBytes, std::nullopt, WRAPPER_PRODUCT_ID, 1, true,
         "pass  the uninstall key the launcher reads: product id " WRAPPER_PRODUCT_ID
         " (--expect-product-id checks it)"},
        {"expected", &launcherBytes, WRAPPER_PRODUCT_ID, WRAPPER_PRODUCT_ID, 1, true,
         "pass  " + expected + "product id " WRAPPER_PRODUCT_ID},
        {"any case", &launcherBytes, lowerCase, WRAPPER_PRODUCT_ID, 1, true,
         "pass  " + expected + "product id " WRAPPER_PRODUCT_ID},
        {"other", &otherProduct, WRAPPER_PRODUCT_ID, other, 1, false,
         "FAIL  " + expected + "product id " + other +
             ", not " WRAPPER_PRODUCT_ID
             ": the hand-off would look for another product's installation"},
        {"without braces", &otherProduct, other.substr(1, 36), other, 1, false,
         "FAIL  " + expected + "product id " + other + ", not " + other.substr(1, 36) +
             ": a product id is written with its braces, " + other},
        {"two", &twoKeys, other, json(), 2, false,
         "FAIL  " + expected + "2 uninstall keys in the launcher image, not " + other},
        {"none", &noKey, other, json(), 0, false,
         "FAIL  " + expected + "no uninstall key in the launcher image, not " + other},
    };
    tooltest::WriteFile(dir / "installer.exe", tooltest::MinimalExecutable(5000));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        tooltest::WriteFile(dir / "wrapper.exe", *row.launcher);
        ASSERT_EQ(Pack(dir / "installer.exe", dir / "setup.exe").exitCode, 0);
        const json report = InspectJson(dir / "setup.exe");
        EXPECT_EQ(report["launcherImage"]["productId"], row.productId);
        EXPECT_EQ(report["launcherImage"]["uninstallKeys"].size(), row.keys);
        std::vector<std::string> arguments = {"--verify", dir / "setup.exe"};
        if (row.expect) arguments.insert(arguments.end(), {"--expect-product-id", *row.expect});
        const auto verify = tooltest::Run(WRAPPER_INSPECT, arguments);
        EXPECT_EQ(verify.exitCode, row.passes ? 0 : 1);
        EXPECT_NE(verify.out.find("\n" + row.line + "\n"), std::string::npos) << verify.out;
    }
    // The last package's launcher holds no key; then one with two.
    EXPECT_NE(tooltest::Run(WRAPPER_INSPECT, {dir / "setup.exe"})
                  .out.find("\nuninstall key           none found in the launcher image\n"),
              std::string::npos);
    tooltest::WriteFile(dir / "wrapper.exe", twoKeys);
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "setup.exe").exitCode, 0);
    const auto two = tooltest::Run(WRAPPER_INSPECT, {dir / "setup.exe"});
    EXPECT_NE(two.out.find("\nuninstall key           2 keys: HKLM\\" WRAPPER_UNINSTALL_KEY
                           "; HKLM\\" WRAPPER_UNINSTALL_KEY_PREFIX +
                           other + "_is1\n"),
              std::string::npos)
        << two.out;
    // Only with --verify.
    EXPECT_EQ(
        tooltest::Run(WRAPPER_INSPECT, {"--expect-product-id", other, dir / "setup.exe"}).exitCode,
        2);
}

TEST_F(InspectToolTest, VerifyExitsZeroOnlyWhenEveryCheckPasses) {
    tooltest::WriteFile(dir / "installer.exe", tooltest::MinimalExecutable(5000));
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "good.exe").exitCode, 0);
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "junk.exe", {"--trailing-bytes", "9"}).exitCode, 0);
    ASSERT_EQ(Pack(dir / "installer.exe", dir / "bad.exe", {"--payload-size", "99999"}).exitCode,
              0);

    ASSERT_EQ(Pack(dir / "installer.exe", dir / "http.exe", {"--landing", "http://a.example%1/w?"})
                  .exitCode,
              0);

    const auto good = tooltest::Run(WRAPPER_INSPECT, {"--verify", dir / "good.exe"});
    EXPECT_EQ(good.exitCode, 0);
    EXPECT_TRUE(good.out.starts_with("package                 " + (dir / "good.exe").string() +
                                     ", 9152 bytes\npass  the launcher reads the trailer"))
        << good.out;
    EXPECT_TRUE(good.out.ends_with("\nall 20 checks passed\n")) << good.out;
    EXPECT_EQ(good.out.find("FAIL"), std::string::npos);

    // A warning passes, unless --strict.
    const auto http = tooltest::Run(WRAPPER_INSPECT, {"--verify", dir / "http.exe"});
    EXPECT_EQ(http.exitCode, 0);
    EXPECT_NE(http.out.find("\nwarn  the templates use https://: landing template uses http://"),
              std::string::npos)
        << http.out;
    EXPECT_TRUE(http.out.ends_with("\nall 20 checks passed, 1 with a warning\n")) << http.out;
    const auto strict = tooltest::Run(WRAPPER_INSPECT, {"--verify", "--strict", dir / "http.exe"});
    EXPECT_EQ(strict.exitCode, 1);
    EXPECT_NE(strict.out.find("\nFAIL  the templates use https://"), std::string::npos);
    EXPECT_TRUE(strict.out.ends_with("\n1 of 20 checks failed\n")) << strict.out;

    const auto junk = tooltest::Run(WRAPPER_INSPECT, {"--verify", dir / "junk.exe"});
    EXPECT_EQ(junk.exitCode, 1);
    EXPECT_NE(junk.out.find("FAIL  nothing but a certificate table follows the marker: 9 bytes"),
              std::string::npos)
        << junk.out;
    EXPECT_TRUE(junk.out.ends_with("\n1 of 20 checks failed\n")) << junk.out;

    const json junkJson = InspectJson(dir / "junk.exe");  // plain inspection still succeeds
    EXPECT_EQ(junkJson["layout"]["afterMarker"]["kind"], "other");

    // Each check carries its rule's id and severity for scripts.
    const auto junkVerify =
        tooltest::Run(WRAPPER_INSPECT, {"--verify", "--json", dir / "junk.exe"});
    EXPECT_EQ(junkVerify.exitCode, 1);
    const json verify = json::parse(junkVerify.out)["verify"];
    EXPECT_EQ(verify["passed"], false);
    ASSERT_EQ(verify["checks"].size(), 20u);
    EXPECT_EQ(verify["checks"][0]["id"], "launcher-reads-trailer");
    EXPECT_EQ(verify["checks"][12]["id"], "after-marker");
    EXPECT_EQ(verify["checks"][12]["severity"], "error");
    EXPECT_EQ(verify["checks"][12]["fails"], true);
    EXPECT_EQ(verify["checks"][9]["id"], "https");
    EXPECT_EQ(verify["checks"][9]["severity"], "warning");

    const auto bad = tooltest::Run(WRAPPER_INSPECT, {"--verify", dir / "bad.exe"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.out.find("\nFAIL  the launcher reads the trailer: result 13"), std::string::npos)
        << bad.out;
}

// A package packed around another package: the launcher reads the trailer nearest the end,
// so the inner one is dead weight that verify reports.
TEST_F(InspectToolTest, PackageWithTwoTrailersIsReadFromTheLastAndFailsVerify) {
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
    EXPECT_NE(verify.out.find("FAIL  the marker occurs once in the file: the trailer marker occurs "
                              "2 times: at 6120, in the launcher image (a package, not the bare "
                              "launcher); at " +
                              std::to_string(innerSize + 7000 + 1048) + ", the trailer's own\n"),
              std::string::npos)
        << verify.out;
}

// The file is read in 1 MiB blocks: a marker is counted once wherever it lies against a
// block edge, also inside the longer run of bytes a block carries for the uninstall key.
TEST_F(InspectToolTest, CountsEveryMarkerOnceAcrossTheReadBlocks) {
    constexpr std::uint64_t kEdge = 1 << 20;
    const Bytes marker = tooltest::Marker();
    const std::uint64_t launcherSize = launcherBytes.size();
    Bytes payload = tooltest::MinimalExecutable(static_cast<std::size_t>(5 * kEdge + 4096));
    // File offsets, one edge for each but the first: inside the bytes a block carries and
    // ending at the edge, across an edge by one byte, by half, by all but one, and
    // starting at one.
    const std::vector<std::uint64_t> at = {kEdge - 100,     kEdge - 32,     2 * kEdge - 31,
                                           3 * kEdge - 16,  4 * kEdge - 1,  5 * kEdge};
    for (const std::uint64_t offset : at) {
        std::copy(marker.begin(), marker.end(), payload.begin() + (offset - launcherSize));
    }
    tooltest::WriteFile(dir / "payload.bin", payload);
    ASSERT_EQ(Pack(dir / "payload.bin", dir / "setup.exe", {"--unchecked"}).exitCode, 0);
    const std::uint64_t trailerMarker = launcherSize + payload.size() + 1048;

    const json report = InspectJson(dir / "setup.exe");
    EXPECT_EQ(report["markerCount"], at.size() + 1);
    std::vector<std::uint64_t> expected = at;
    expected.push_back(trailerMarker);
    expected.resize(std::min<std::size_t>(expected.size(), 8));
    EXPECT_EQ(report["markerOffsets"], json(expected));
    EXPECT_EQ(report["launcherImage"]["uninstallKeys"].size(), 1u);
}

TEST_F(InspectToolTest, ExtractReplacesTheTargetOnlyWhenTheCopyIsComplete) {
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
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.starts_with("wrapper-inspect: cannot extract the payload to " +
                                    (dir / "no" / "out.bin").string() + ": creating " +
                                    (dir / "no" / ".wrapper-").string()))
        << run.err;
    EXPECT_TRUE(run.err.ends_with(".partial failed: No such file or directory\n")) << run.err;
    EXPECT_EQ(dir.Files(),
              (std::vector<std::string>{"installer.exe", "out.bin", "setup.exe", "wrapper.exe"}));
}

}  // namespace
