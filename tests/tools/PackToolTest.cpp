// wrapper-pack run as a producer runs it: what it writes, what it refuses and how it says so.

#include "ToolTestSupport.h"
#include "WrapperVersion.h"
#include "package/PackageTrailer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using tooltest::Bytes;

void WriteText(const fs::path& path, const std::string& text) {
    tooltest::WriteFile(path, Bytes(text.begin(), text.end()));
}

constexpr char kLanding[] = "https://example.com%1/welcome?";
constexpr char kUninstall[] = "https://example.com%1/goodbye?";

struct PackToolTest : ::testing::Test {
    tooltest::ScratchDir dir;
    fs::path launcher = dir / "wrapper.exe";
    fs::path payload = dir / "installer.exe";
    fs::path output = dir / "setup.exe";
    Bytes launcherBytes = tooltest::MinimalLauncher(3000);
    Bytes payloadBytes = tooltest::MinimalExecutable(5000);

    void SetUp() override {
        tooltest::WriteFile(launcher, launcherBytes);
        tooltest::WriteFile(payload, payloadBytes);
    }

    // The options every run here starts from, each unless `extra` gives it (an option is
    // given once); `extra` follows.
    tooltest::RunResult Pack(const std::vector<std::string>& extra) {
        const std::pair<std::string, std::string> defaults[] = {
            {"--launcher", launcher}, {"--payload", payload},       {"--output", output},
            {"--landing", kLanding},  {"--uninstall", kUninstall}};
        std::vector<std::string> arguments;
        for (const auto& [option, value] : defaults) {
            const bool given = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
                return e == option || (option == "--output" && e == "-o");
            });
            if (!given) arguments.insert(arguments.end(), {option, value});
        }
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return tooltest::Run(WRAPPER_PACK, arguments);
    }

    Bytes ExpectedPackage(const Bytes& payloadIn, const std::string (&fields)[4]) {
        wrapper::testing::PackageParts parts;
        parts.launcher = launcherBytes;
        parts.payload = payloadIn;
        std::copy(std::begin(fields), std::end(fields), std::begin(parts.fields));
        return tooltest::BuildPackage(parts);
    }
};

TEST_F(PackToolTest, WritesLauncherPayloadAndTrailerAndNothingElse) {
    const auto run = Pack({"--link", "https://example.com%1/start?", "--campaign", "utm_source=t"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "wrapper-pack: wrote " + output.string() +
                           ": launcher 3000 + payload 5000 + trailer 1080 = 9080 bytes\n"
                           "  link       \"https://example.com%1/start?\"    from --link\n"
                           "  campaign   \"utm_source=t\"                    from --campaign\n"
                           "  landing    \"https://example.com%1/welcome?\"  from --landing\n"
                           "  uninstall  \"https://example.com%1/goodbye?\"  from --uninstall\n");
    const std::string fields[4] = {"https://example.com%1/start?", "utm_source=t", kLanding,
                                   kUninstall};
    EXPECT_EQ(tooltest::ReadFile(output), ExpectedPackage(payloadBytes, fields));
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"installer.exe", "setup.exe", "wrapper.exe"}));
}

// Settings files are layers, in order; options override them all; the report names the
// file (or option) each value came from.
TEST_F(PackToolTest, LayersSettingsFilesAndOptionsAndSaysWhereEachValueCameFrom) {
    WriteText(dir / "base.ini",
              "campaign = from-base\nlanding = https://base%1/f?\n"
              "uninstall = https://base%1/u?\n");
    WriteText(dir / "release.ini", "campaign = from-release\nlanding = https://release%1/f?\n");
    const auto run =
        tooltest::Run(WRAPPER_PACK, {"--launcher", launcher, "--payload", payload, "-o", output,
                                     "-s", dir / "base.ini", "--settings", dir / "release.ini",
                                     "--landing", "https://option%1/f?"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string fields[4] = {"", "from-release", "https://option%1/f?", "https://base%1/u?"};
    EXPECT_EQ(tooltest::ReadFile(output), ExpectedPackage(payloadBytes, fields));
    EXPECT_NE(run.out.find("  link       \"\"                     not set\n"
                           "  campaign   \"from-release\"         from " +
                           (dir / "release.ini").string() +
                           "\n"
                           "  landing    \"https://option%1/f?\"  from --landing\n"
                           "  uninstall  \"https://base%1/u?\"    from " +
                           (dir / "base.ini").string() + "\n"),
              std::string::npos)
        << run.out;
}

// --json: the record of what went in, where each setting came from, and the digests, which
// are the ones wrapper-inspect finds in the package written.
TEST_F(PackToolTest, JsonRecordsTheInputsTheirDigestsAndEverySettingsSource) {
    using nlohmann::json;
    WriteText(dir / "release.ini", "campaign = utm_source=x\n");
    const auto run =
        Pack({"-s", dir / "release.ini", "--landing", "http://example.com%1/w?", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json record = json::parse(run.out);
    const json package =
        json::parse(tooltest::Run(WRAPPER_INSPECT, {"--json", output.string()}).out);
    EXPECT_EQ(record["tool"]["name"], "wrapper-pack");
    EXPECT_EQ(record["schemaVersion"], package["schemaVersion"]);
    EXPECT_EQ(record["package"], output.string());
    EXPECT_EQ(record["fileSize"], 9080);
    EXPECT_EQ(record["inputs"], json({{"launcher", launcher.string()},
                                      {"payload", payload.string()},
                                      {"settingsFiles", {(dir / "release.ini").string()}}}));
    EXPECT_EQ(record["sha256"], package["sha256"]);
    const std::string release = (dir / "release.ini").string();
    EXPECT_EQ(
        record["settings"],
        json({{"LinkTemplate", {{"text", ""}, {"source", "default"}, {"from", nullptr}}},
              {"CampaignQuery",
               {{"text", "utm_source=x"}, {"source", "settings-file"}, {"from", release}}},
              {"LandingTemplate",
               {{"text", "http://example.com%1/w?"}, {"source", "option"}, {"from", "--landing"}}},
              {"UninstallTemplate",
               {{"text", kUninstall}, {"source", "option"}, {"from", "--uninstall"}}}}));
    EXPECT_EQ(record["warnings"], json::array({{{"id", "https"},
                                                {"detail",
                                                 "landing template uses http://: the page travels "
                                                 "unencrypted"}}}));
    EXPECT_EQ(record["testPackage"], json::array());
    // --quiet still prints nothing on success.
    EXPECT_EQ(Pack({"--json", "--quiet"}).out, "");
}

TEST_F(PackToolTest, ReplacesAnEarlierPackage) {
    tooltest::WriteFile(output, Bytes(100000, 0x77));
    ASSERT_EQ(Pack({}).exitCode, 0);
    EXPECT_EQ(fs::file_size(output), 9080u);
}

// A warning is printed and the package written (--quiet keeps only the warning); --strict
// refuses it like an error.
TEST_F(PackToolTest, WarnsAboutPlainHttpAndRefusesItWhenStrict) {
    const auto run = Pack({"--landing", "http://example.com%1/welcome?", "--quiet"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "wrapper-pack: warning: landing template uses http://: the page travels "
              "unencrypted\n");
    fs::remove(output);
    const auto strict = Pack({"--landing", "http://example.com%1/welcome?", "--strict"});
    EXPECT_EQ(strict.exitCode, 1);
    EXPECT_EQ(strict.err,
              "wrapper-pack: landing template uses http://: the page travels "
              "unencrypted (a warning; --strict refuses it)\n");
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(PackToolTest, RefusalComesAloneWithoutWarnings) {
    tooltest::WriteFile(payload, {});
    const auto run = Pack({"--landing", "http://example.com%1/welcome?"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "wrapper-pack: payload " + payload.string() + ": empty\n");
}

// The settings of the end-to-end tests' packages: none at all. An empty template means "no
// page" and "no link", which the rules accept.
TEST_F(PackToolTest, EmptySettingsArePackableWithoutAWord) {
    const auto run = tooltest::Run(
        WRAPPER_PACK, {"--launcher", launcher, "--payload", payload, "-o", output, "--strict"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
}

TEST_F(PackToolTest, AllowAnsiAdmitsHighBytesOnly) {
    ASSERT_EQ(Pack({"--link", "https://caf\xE9.example/%1", "--allow-ansi"}).exitCode, 0);
    EXPECT_EQ(Pack({"--link", "a\x7F", "--allow-ansi"}).exitCode, 1);
}

TEST_F(PackToolTest, TestPackageOptionsAreFlaggedAsNeverToShip) {
    const auto run = Pack({"--payload-size", "7", "--trailing-bytes", "16"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(
        run.err,
        "wrapper-pack: warning: test package (--payload-size, --trailing-bytes): never ship it\n");
    const Bytes package = tooltest::ReadFile(output);
    ASSERT_EQ(package.size(), 9080u + 16u);
    EXPECT_EQ(package[9080 - 1080], 7);  // PayloadSize, low byte
}

TEST_F(PackToolTest, UncheckedStillKeepsEverySettingWithinItsField) {
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
    std::function<void(PackToolTest&)> prepare;
    std::vector<std::string> options;
    std::string message;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    *out << refusal.name;
}

struct PackRefusal : PackToolTest, ::testing::WithParamInterface<Refusal> {
    std::string Resolve(const std::string& text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '@') {
                out += text[i];
                continue;
            }
            const std::size_t end = text.find_first_of(" ,:;)", i);
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

// A good package, first.exe, to be given where it does not belong.
void PackFirst(PackToolTest& t) {
    ASSERT_EQ(tooltest::Run(WRAPPER_PACK,
                            {"--launcher", t.launcher, "--payload", t.payload, "-o",
                             t.dir / "first.exe", "--landing", kLanding, "--uninstall", kUninstall})
                  .exitCode,
              0);
}

void Fifo(PackToolTest& t, const char* name) { ASSERT_EQ(::mkfifo((t.dir / name).c_str(), 0644), 0); }
void Link(PackToolTest& t, const fs::path& target, const char* name) {
    fs::create_symlink(target, t.dir / name);
}

const Refusal kRefusals[] = {
    // Settings that do not fit, or are not text
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
     [](PackToolTest& t) { WriteText(t.dir / "long.ini", "link = " + std::string(300, 'u')); },
     {"-s", "@long.ini"},
     "link template is 300 bytes long; a field holds at most 259"},
    {"ZeroByteInTheSettingsFile",
     [](PackToolTest& t) { WriteText(t.dir / "z.ini", std::string("link=https://a\0b", 16)); },
     {"-s", "@z.ini"},
     "settings file @z.ini: not a text file (control byte 0x00 on line 1)"},
    {"ByteOutsidePrintableAscii",
     {},
     {"--landing", "https://caf\xC3\xA9%1/w?"},
     "landing template holds byte 0xC3 at position 11, outside printable ASCII; in the URL's "
     "host: write the host name in punycode (\"xn--...\"), or pass --allow-ansi if it is meant "
     "for the target's ANSI code page"},
    {"ControlByteEvenWithAllowAnsi",
     {},
     {"--uninstall", "https://x%1/\tu?", "--allow-ansi"},
     "uninstall template holds control byte 0x09 at position 12; percent-encode it: %09"},
    {"CampaignQueryWithQuestionMark",
     {},
     {"--campaign", "?utm_source=x"},
     "campaign query starts with \"?\"; the template ends with it, write the query without"},
    {"SettingsFileInUtf16",
     [](PackToolTest& t) { WriteText(t.dir / "u.ini", std::string("\xFF\xFEl\0i\0n\0k\0", 10)); },
     {"-s", "@u.ini"},
     "settings file @u.ini: UTF-16 text (it starts with a UTF-16 byte order mark); save it as "
     "UTF-8 or ASCII"},
    {"SettingsFileInUtf16WithoutByteOrderMark",
     [](PackToolTest& t) { WriteText(t.dir / "u.ini", std::string("l\0i\0n\0k\0", 8)); },
     {"-s", "@u.ini"},
     "settings file @u.ini: UTF-16 text (zero bytes between the characters); save it as UTF-8 "
     "or ASCII"},
    {"BadSettingsFile",
     [](PackToolTest& t) { WriteText(t.dir / "bad.ini", "url = x"); },
     {"-s", "@bad.ini"},
     "settings file @bad.ini, line 1: unknown key \"url\" (known: link, campaign, landing, "
     "uninstall)"},
    {"BadSecondSettingsFile",
     [](PackToolTest& t) {
         WriteText(t.dir / "good.ini", "link = https://a%1/\n");
         WriteText(t.dir / "bad.ini", "\nlink = y\nlink = z\n");
     },
     {"-s", "@good.ini", "-s", "@bad.ini"},
     "settings file @bad.ini, line 3: \"link\" is set twice"},
    // Templates that are not web addresses: the landing page is started by the shell
    {"LocalProgramAsLandingPage",
     {},
     {"--landing", "C:\\Users\\Public\\x%1.exe"},
     "landing template holds a backslash at position 2; no URL holds one"},
    {"FileUrlAsLandingPage",
     {},
     {"--landing", "file:///C:/Users/Public/x%1.exe"},
     "landing template \"file:///C:/Users/Public/x%1.exe\" is not an http:// or https:// URL"},
    {"QuoteInTheLink",
     {},
     {"--link", "https://example.com/\"%1"},
     "link template holds a double quote at position 20; no URL holds one"},
    {"PlaceholderTwice",
     {},
     {"--landing", "https://a%1/b%1/w?"},
     "landing template holds \"%1\" 2 times; the text after the second one is dropped"},
    {"PlaceholderAtTheStartOfTheUninstallLink",
     {},
     {"--uninstall", "https://example.com/u?%1"},
     "uninstall template with the campaign query ends with \"%1\"; nothing follows it"},
    {"LandingWithoutPlaceholder",
     {},
     {"--landing", "https://example.com/welcome?"},
     "landing template has no \"%1\": the language segment would follow the whole template"},
    {"NoLandingPageButACampaignQuery",
     {},
     {"--landing", "", "--campaign", "k=v"},
     "landing template is empty but the campaign query is not: the launcher would open \"k=v\""},
    // The launcher must be the launcher
    {"LauncherIsTheInstaller",
     [](PackToolTest& t) { tooltest::WriteFile(t.launcher, tooltest::MinimalExecutable(3000)); },
     {},
     "launcher @wrapper.exe: no version resource: not the launcher (were --launcher and "
     "--payload swapped?)"},
    {"LauncherAndPayloadSwapped",
     {},
     {"--launcher", "@installer.exe", "--payload", "@wrapper.exe"},
     "launcher @installer.exe: no version resource: not the launcher (were --launcher and "
     "--payload swapped?)"},
    {"LauncherIsAPackage",
     PackFirst,
     {"--launcher", "@first.exe"},
     "the trailer marker occurs 2 times: at 9048, in the launcher image (a package, not the bare "
     "launcher); at 15128, the trailer's own"},
    {"LauncherSignedBeforePacking",
     [](PackToolTest& t) {
         tooltest::WriteFile(
             t.launcher, tooltest::MinimalLauncher(3000, tooltest::CertificateEntry{2048, 952}));
     },
     {},
     "the launcher image's header names a certificate table at offset 2048 but none follows "
     "the marker (was the launcher signed before packing? sign the package instead)"},
    // The payload must start as the installer
    {"EmptyPayload",
     [](PackToolTest& t) { tooltest::WriteFile(t.payload, {}); },
     {},
     "payload @installer.exe: empty"},
    {"PayloadIsText",
     [](PackToolTest& t) { tooltest::WriteFile(t.payload, Bytes(5000, 'a')); },
     {},
     "payload @installer.exe: not a Windows executable: no MZ header at its start"},
    {"PayloadWithoutPeSignature",
     [](PackToolTest& t) {
         t.payloadBytes[0x40] = 'N';
         tooltest::WriteFile(t.payload, t.payloadBytes);
     },
     {},
     "payload @installer.exe: not a Windows executable: its MZ header does not point at a PE "
     "signature"},
    {"PayloadIsADll",
     [](PackToolTest& t) {
         tooltest::WriteFile(t.payload, tooltest::Executable({.size = 5000, .dll = true}));
     },
     {},
     "payload @installer.exe: a DLL (IMAGE_FILE_DLL is set), not a program"},
    {"PayloadForArm64",
     [](PackToolTest& t) {
         tooltest::WriteFile(t.payload,
                             tooltest::Executable({.size = 5000, .wide = true, .machine = 0xAA64}));
     },
     {},
     "payload @installer.exe: a program for machine ARM64 (0xAA64); the installer must be for "
     "x86 or x64"},
    {"PayloadIsAPackage",
     PackFirst,
     {"--payload", "@first.exe"},
     "payload @first.exe: its version resource names the product \"wrapper\": it is the "
     "launcher or a package (were --launcher and --payload swapped?)"},
    // Inputs that are not regular files are never read
    {"MissingLauncher",
     {},
     {"--launcher", "@none.exe"},
     "cannot read launcher @none.exe: No such file or directory"},
    {"MissingPayload",
     {},
     {"--payload", "@none.exe"},
     "cannot read payload @none.exe: No such file or directory"},
    {"LauncherIsAFifo",
     [](PackToolTest& t) { Fifo(t, "fifo"); },
     {"--launcher", "@fifo"},
     "cannot read launcher @fifo: not a regular file (a FIFO)"},
    {"PayloadIsADevice",
     {},
     {"--payload", "/dev/zero"},
     "cannot read payload /dev/zero: not a regular file (a character device)"},
    {"SettingsFileIsAFifo",
     [](PackToolTest& t) { Fifo(t, "fifo"); },
     {"-s", "@fifo"},
     "cannot read settings file @fifo: not a regular file (a FIFO)"},
    {"SettingsFileIsADirectory",
     [](PackToolTest& t) { fs::create_directory(t.dir / "folder"); },
     {"-s", "@folder"},
     "cannot read settings file @folder: not a regular file (a directory)"},
    {"SettingsFileIsADevice",
     {},
     {"-s", "/dev/zero"},
     "cannot read settings file /dev/zero: not a regular file (a character device)"},
    {"TrailingFileIsAFifo",
     [](PackToolTest& t) { Fifo(t, "fifo"); },
     {"--trailing-file", "@fifo"},
     "cannot read trailing file @fifo: not a regular file (a FIFO)"},
    // Only a regular file that is no input is ever replaced
    {"OutputIsASymbolicLink",
     [](PackToolTest& t) { Link(t, t.dir / "setup.exe", "link.exe"); },
     {"-o", "@link.exe"},
     "output @link.exe is a symbolic link, not a regular file; only a regular file is ever "
     "replaced"},
    {"OutputIsAFifo",
     [](PackToolTest& t) { Fifo(t, "fifo.exe"); },
     {"-o", "@fifo.exe"},
     "output @fifo.exe is a FIFO, not a regular file; only a regular file is ever replaced"},
    {"OutputIsADirectory",
     [](PackToolTest& t) { fs::create_directory(t.dir / "folder"); },
     {"-o", "@folder"},
     "output @folder is a directory, not a regular file; only a regular file is ever replaced"},
    {"OutputIsThePayload",
     {},
     {"-o", "@installer.exe"},
     "output @installer.exe is the same file as the payload @installer.exe; an input is never "
     "written over"},
    {"OutputIsAHardLinkToTheLauncher",
     [](PackToolTest& t) { fs::create_hard_link(t.launcher, t.dir / "hard.exe"); },
     {"-o", "@hard.exe"},
     "output @hard.exe is the same file as the launcher @wrapper.exe; an input is never written "
     "over"},
    {"OutputIsThePayloadGivenThroughALink",
     [](PackToolTest& t) { Link(t, t.payload, "link.exe"); },
     {"--payload", "@link.exe", "-o", "@installer.exe"},
     "output @installer.exe is the same file as the payload @link.exe; an input is never written "
     "over"},
    {"OutputIsTheSettingsFile",
     [](PackToolTest& t) { WriteText(t.dir / "release.ini", "campaign = k=v\n"); },
     {"-s", "@release.ini", "-o", "@release.ini"},
     "output @release.ini is the same file as the settings file @release.ini; an input is never "
     "written over"},
    {"OutputIsTheTrailingFile",
     [](PackToolTest& t) { WriteText(t.dir / "tail.bin", "x"); },
     {"--trailing-file", "@tail.bin", "-o", "@tail.bin"},
     "output @tail.bin is the same file as the trailing file @tail.bin; an input is never "
     "written over"},
};

INSTANTIATE_TEST_SUITE_P(EachRule, PackRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(PackToolTest, MissingOutputFolderLeavesNothing) {
    output = dir / "missing" / "setup.exe";
    const auto run = Pack({});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.starts_with("wrapper-pack: cannot write " + output.string() +
                                    ": creating " + (dir / "missing" / ".wrapper-").string()))
        << run.err;
    EXPECT_TRUE(run.err.ends_with(".partial failed: No such file or directory\n")) << run.err;
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"installer.exe", "wrapper.exe"}));
}

// The temporary name is short and fixed in length, so any output name that fits fits it.
TEST_F(PackToolTest, WritesAnOutputWhoseNameIsAsLongAsTheFileSystemAllows) {
    output = dir / std::string(255, 'n');
    const auto run = Pack({});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(fs::file_size(output), 9080u);
}

// Usage errors: one line naming the problem, exit status 2, nothing written.
TEST_F(PackToolTest, UsageErrorsExitWithTwo) {
    const struct {
        std::vector<std::string> options;
        std::string message;
    } rows[] = {
        {{"--lancher", "x"}, "unknown option --lancher; did you mean --launcher?"},
        {{"--payload-sise=7"}, "unknown option --payload-sise=7; did you mean --payload-size?"},
        {{"--colour"}, "unknown option --colour"},
        {{"--out", "x"}, "unknown option --out; did you mean --output?"},
        {{"--Allow_Ansi"}, "unknown option --Allow_Ansi; did you mean --allow-ansi?"},
        {{"-settings", "release.ini"}, "unknown option -settings; did you mean --settings?"},
        {{"--campaign", "a", "--campaign", "b"}, "--campaign is given 2 times; it takes one value"},
        {{"-o", "x", "--output=y"}, "--output is given 2 times; it takes one value"},
        {{"stray"}, "unexpected argument \"stray\""},
        {{"-o", ""}, "--output: an empty path names no file"},
        {{"--payload-size"}, "--payload-size: 1 required BYTES missing"},
        {{"--trailing-bytes", "-1"},
         "--trailing-bytes: \"-1\" is not a byte count from 0 to 4294967295"},
        {{"--trailing-bytes", "4294967296"},
         "--trailing-bytes: \"4294967296\" is not a byte count from 0 to 4294967295"},
        {{"--trailing-bytes", "1e3"},
         "--trailing-bytes: \"1e3\" is not a byte count from 0 to 4294967295"},
        {{"--trailing-bytes", "+5"},
         "--trailing-bytes: \"+5\" is not a byte count from 0 to 4294967295"},
        {{"--payload-size", "-1"},
         "--payload-size: \"-1\" is not a byte count from 0 to 18446744073709551615"},
        {{"--payload-size", "18446744073709551616"},
         "--payload-size: \"18446744073709551616\" is not a byte count from 0 to "
         "18446744073709551615"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        const auto run = Pack(row.options);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, "wrapper-pack: " + row.message + " (see wrapper-pack --help)\n");
        EXPECT_FALSE(fs::exists(output));
    }
    const auto missing = tooltest::Run(WRAPPER_PACK, {"--launcher", launcher, "-o", output});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(missing.err, "wrapper-pack: --payload is required (see wrapper-pack --help)\n");
    const auto bare = tooltest::Run(WRAPPER_PACK, {"--launcher", launcher, payload, "-o", output});
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_EQ(bare.err, "wrapper-pack: unexpected argument \"" + payload.string() +
                            "\"; did you mean --payload FILE? (see wrapper-pack --help)\n");
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(PackToolTest, ShortOptionWithEqualsSignTakesTheValueAfterIt) {
    const auto run = tooltest::Run(WRAPPER_PACK, {"--launcher", launcher, "--payload", payload,
                                                  "-o=" + (dir / "eq.exe").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fs::exists(dir / "eq.exe"));
}

TEST_F(PackToolTest, PrintsHelpAndVersion) {
    const auto version = tooltest::Run(WRAPPER_PACK, {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("wrapper-pack ") + WRAPPER_VERSION_TEXT + "\n");
    const auto help = tooltest::Run(WRAPPER_PACK, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--trailing-bytes BYTES"), std::string::npos) << help.out;
}

}  // namespace

namespace {

// Without --launcher, a tool installed as <prefix>/bin/wrapper-pack packs
// <prefix>/share/wrapper/wrapper.exe; with none there it refuses and says where it looked.
TEST_F(PackToolTest, PacksTheInstalledLauncherWhenNoneIsNamed) {
    const fs::path bin = dir / "prefix" / "bin";
    const fs::path share = dir / "prefix" / "share" / "wrapper";
    fs::create_directories(bin);
    fs::create_directories(share);
    fs::copy_file(WRAPPER_PACK, bin / "wrapper-pack");
    const std::vector<std::string> arguments = {"--payload", payload, "-o", output};

    const auto missing = tooltest::Run((bin / "wrapper-pack").string(), arguments);
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "wrapper-pack: no --launcher given, and no launcher installed with "
                           "the tools (no file " +
                               (share / "wrapper.exe").string() +
                               "); name the launcher with --launcher FILE\n");
    EXPECT_FALSE(fs::exists(output));

    tooltest::WriteFile(share / "wrapper.exe", launcherBytes);
    const auto installed = tooltest::Run((bin / "wrapper-pack").string(), arguments);
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    const std::string fields[4];
    EXPECT_EQ(tooltest::ReadFile(output), ExpectedPackage(payloadBytes, fields));

    // An empty --launcher is still a usage error, not a request for the default.
    EXPECT_EQ(tooltest::Run((bin / "wrapper-pack").string(),
                            {"--launcher", "", "--payload", payload, "-o", output})
                  .exitCode,
              2);
}

}  // namespace
