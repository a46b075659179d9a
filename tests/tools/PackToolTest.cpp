// wrapper-pack run as a producer runs it: what it writes, what it refuses and how it says so.

#include "ToolTestSupport.h"
#include "package/PackageTrailer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

namespace fs = std::filesystem;
using tooltest::Bytes;

void WriteText(const fs::path& path, const std::string& text) {
    tooltest::WriteFile(path, Bytes(text.begin(), text.end()));
}

constexpr char kLanding[] = "https://example.com%1/welcome?";
constexpr char kUninstall[] = "https://example.com%1/goodbye?";

struct PackTool : ::testing::Test {
    tooltest::ScratchDir dir;
    fs::path launcher = dir / "wrapper.exe";
    fs::path payload = dir / "installer.exe";
    fs::path output = dir / "setup.exe";
    Bytes launcherBytes = tooltest::MinimalExecutable(3000);
    Bytes payloadBytes = tooltest::MinimalExecutable(5000);

    void SetUp() override {
        tooltest::WriteFile(launcher, launcherBytes);
        tooltest::WriteFile(payload, payloadBytes);
    }

    // The options every run here starts from; `extra` follows, so it can override them.
    tooltest::RunResult Pack(const std::vector<std::string>& extra) {
        std::vector<std::string> arguments = {"--launcher",  launcher,  "--payload", payload,
                                              "-o",          output,    "--landing", kLanding,
                                              "--uninstall", kUninstall};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return tooltest::Run(WRAPPER_PACK, arguments);
    }

    Bytes ExpectedPackage(const Bytes& payloadIn, const std::string (&fields)[4]) {
        wrapper::package::TrailerFields trailerFields = {};
        for (int i = 0; i < 4; ++i)
            std::memcpy(trailerFields.bytes[i], fields[i].data(), fields[i].size());
        unsigned char encoded[wrapper::package::kTrailerSize];
        wrapper::package::EncodeTrailer(payloadIn.size(), trailerFields, encoded);
        const Bytes trailer(std::begin(encoded), std::end(encoded));
        return tooltest::Concat({&launcherBytes, &payloadIn, &trailer});
    }
};

TEST_F(PackTool, WritesLauncherPayloadAndTrailerAndNothingElse) {
    const auto run = Pack({"--link", "https://example.com%1/start?", "--campaign", "utm_source=t"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "wrapper-pack: wrote " + output.string() +
                           ": launcher 3000 + payload 5000 + trailer 1080 = 9080 bytes\n");
    const std::string fields[4] = {"https://example.com%1/start?", "utm_source=t", kLanding,
                                   kUninstall};
    EXPECT_EQ(tooltest::ReadFile(output), ExpectedPackage(payloadBytes, fields));
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"installer.exe", "setup.exe", "wrapper.exe"}));
}

TEST_F(PackTool, OptionsOverrideTheSettingsFile) {
    WriteText(dir / "release.ini",
              "# release\nlink = L\ncampaign = from-file\nlanding = https://x%1/f?\n");
    const auto run =
        tooltest::Run(WRAPPER_PACK, {"--launcher", launcher, "--payload", payload, "-o", output,
                                     "-s", dir / "release.ini", "--campaign", "from-option",
                                     "--uninstall", kUninstall});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string fields[4] = {"L", "from-option", "https://x%1/f?", kUninstall};
    EXPECT_EQ(tooltest::ReadFile(output), ExpectedPackage(payloadBytes, fields));
}

TEST_F(PackTool, ReplacesAnEarlierPackage) {
    tooltest::WriteFile(output, Bytes(100000, 0x77));
    ASSERT_EQ(Pack({}).exitCode, 0);
    EXPECT_EQ(fs::file_size(output), 9080u);
}

TEST_F(PackTool, WarnsButWritesWhenATemplateHasNoPlaceholder) {
    const auto run = Pack({"--landing", "https://example.com/welcome?", "--uninstall", ""});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err,
              "wrapper-pack: warning: landing template has no \"%1\": the language segment will "
              "follow the whole template\n"
              "wrapper-pack: warning: uninstall template has no \"%1\": UNINSTALL url will be the "
              "whole template and the campaign query, param will be empty\n");
    EXPECT_TRUE(fs::exists(output));
}

TEST_F(PackTool, RefusalComesAloneWithoutWarnings) {
    tooltest::WriteFile(payload, {});
    const auto run = Pack({"--landing", "", "--uninstall", ""});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "wrapper-pack: payload " + payload.string() + " is empty\n");
}

TEST_F(PackTool, WarnsAboutASignedLauncher) {
    tooltest::WriteFile(launcher,
                        tooltest::MinimalExecutable(3000, tooltest::CertificateEntry{2048, 952}));
    const auto run = Pack({});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "wrapper-pack: warning: launcher " + launcher.string() +
                           " is signed; sign the package instead of the launcher\n");
}

TEST_F(PackTool, AllowAnsiAdmitsHighBytesOnly) {
    ASSERT_EQ(Pack({"--link", "https://caf\xE9.example/%1", "--allow-ansi"}).exitCode, 0);
    EXPECT_EQ(Pack({"--link", "a\x7F", "--allow-ansi"}).exitCode, 1);
}

TEST_F(PackTool, TestPackageOptionsAreFlaggedAsNeverToShip) {
    const auto run = Pack({"--payload-size", "7", "--trailing-bytes", "16"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(
        run.err,
        "wrapper-pack: warning: test package (--payload-size, --trailing-bytes): never ship it\n");
    const Bytes package = tooltest::ReadFile(output);
    ASSERT_EQ(package.size(), 9080u + 16u);
    EXPECT_EQ(package[9080 - 1080], 7);  // PayloadSize, low byte
}

TEST_F(PackTool, UncheckedStillKeepsEverySettingWithinItsField) {
    tooltest::WriteFile(payload, {});
    EXPECT_EQ(Pack({"--unchecked", "--campaign", "?x"}).exitCode, 0);
    const auto run = Pack({"--unchecked", "--link", std::string(260, 'a')});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err,
              "wrapper-pack: link template is 260 bytes long; a field holds at most 259\n");
}

// Each rule a producer can break: the one-line message, exit status 1, and no file written,
// not even a partial one, while an earlier package at the target stays as it was. "@name"
// in options and messages stands for the file of that name in the test's folder.
struct Refusal {
    const char* name;
    std::function<void(PackTool&)> prepare;
    std::vector<std::string> options;
    std::string message;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    *out << refusal.name;
}

struct PackRefusal : PackTool, ::testing::WithParamInterface<Refusal> {
    std::string Resolve(const std::string& text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '@') {
                out += text[i];
                continue;
            }
            const std::size_t end = text.find_first_of(" ,:", i);
            out += (dir / text.substr(i + 1, end - i - 1)).string();
            i = (end == std::string::npos ? text.size() : end) - 1;
        }
        return out;
    }
};

TEST_P(PackRefusal, SaysWhyInOneLineAndWritesNothing) {
    const Refusal& refusal = GetParam();
    if (refusal.prepare) refusal.prepare(*this);
    const Bytes earlier(1234, 0x55);
    tooltest::WriteFile(output, earlier);
    const auto before = dir.Files();

    std::vector<std::string> options;
    for (const std::string& option : refusal.options) options.push_back(Resolve(option));
    const auto run = Pack(options);

    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "wrapper-pack: " + Resolve(refusal.message) + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(dir.Files(), before);
    EXPECT_EQ(tooltest::ReadFile(output), earlier);
}

const Refusal kRefusals[] = {
    {"LinkTooLong",
     {},
     {"--link", std::string(260, 'x')},
     "link template is 260 bytes long; a field holds at most 259"},
    {"CampaignFarTooLong",
     {},
     {"--campaign", std::string(1000, 'x')},
     "campaign query is 1000 bytes long; a field holds at most 259"},
    {"LandingTooLong",
     {},
     {"--landing", "https://x%1/" + std::string(250, 'p')},
     "landing template is 262 bytes long; a field holds at most 259"},
    {"LinkTooLongInTheSettingsFile",
     [](PackTool& t) { WriteText(t.dir / "long.ini", "link = " + std::string(300, 'u')); },
     {"-s", "@long.ini"},
     "link template is 300 bytes long; a field holds at most 259"},
    {"ZeroByte",
     [](PackTool& t) { WriteText(t.dir / "z.ini", std::string("link=a\0b", 8)); },
     {"-s", "@z.ini"},
     "link template holds a zero byte at position 1"},
    {"ByteOutsidePrintableAscii",
     {},
     {"--landing", "https://caf\xC3\xA9%1/w?"},
     "landing template holds byte 0xC3 at position 11, outside printable ASCII; pass "
     "--allow-ansi if it is meant for the target's ANSI code page"},
    {"ControlByteEvenWithAllowAnsi",
     {},
     {"--uninstall", "https://x%1/\tu?", "--allow-ansi"},
     "uninstall template holds control byte 0x09 at position 12"},
    {"CampaignQueryWithQuestionMark",
     {},
     {"--campaign", "?utm_source=x"},
     "campaign query starts with \"?\"; the template ends with it, write the query without"},
    {"LauncherIsAPackage",
     [](PackTool& t) {
         ASSERT_EQ(tooltest::Run(WRAPPER_PACK, {"--launcher", t.launcher, "--payload", t.payload,
                                                "-o", t.dir / "first.exe", "--landing", kLanding,
                                                "--uninstall", kUninstall})
                       .exitCode,
                   0);
     },
     {"--launcher", "@first.exe"},
     "launcher @first.exe holds the trailer marker at offset 9048; it is a package, not a bare "
     "launcher"},
    {"EmptyPayload",
     [](PackTool& t) { tooltest::WriteFile(t.payload, {}); },
     {},
     "payload @installer.exe is empty"},
    {"PayloadIsText",
     [](PackTool& t) { tooltest::WriteFile(t.payload, Bytes(5000, 'a')); },
     {},
     "payload @installer.exe is not a Windows executable: no MZ header at its start"},
    {"PayloadWithoutPeSignature",
     [](PackTool& t) {
         t.payloadBytes[0x40] = 'N';
         tooltest::WriteFile(t.payload, t.payloadBytes);
     },
     {},
     "payload @installer.exe is not a Windows executable: its MZ header does not point at a PE "
     "signature (e_lfanew 64)"},
    {"MissingLauncher", {}, {"--launcher", "@none.exe"}, "cannot read launcher @none.exe"},
    {"MissingPayload", {}, {"--payload", "@none.exe"}, "cannot read payload @none.exe"},
    {"BadSettingsFile",
     [](PackTool& t) { WriteText(t.dir / "bad.ini", "url = x"); },
     {"-s", "@bad.ini"},
     "settings file @bad.ini, line 1: unknown key \"url\" (known: link, campaign, landing, "
     "uninstall)"},
};

INSTANTIATE_TEST_SUITE_P(EachRule, PackRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(PackTool, MissingOutputFolderLeavesNothing) {
    output = dir / "missing" / "setup.exe";
    const auto run = Pack({});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.starts_with("wrapper-pack: cannot create " + (dir / "missing").string()))
        << run.err;
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"installer.exe", "wrapper.exe"}));
}

}  // namespace
