// The stamping flow: pack a base package with an empty campaign, sign it once with a slot
// (osslsigncode -addUnauthenticatedBlob), stamp copies, and check with osslsigncode that
// every copy keeps the digest and with wrapper-inspect what the launcher will use.

#include "ToolTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class StampToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tooltest::OnPath("osslsigncode") || !tooltest::OnPath("openssl")) {
            GTEST_SKIP() << "osslsigncode or openssl not installed (scripts/install-deps)";
        }
        tooltest::WriteFile(dir / "wrapper.exe", tooltest::MinimalLauncher(4096));
        tooltest::WriteFile(dir / "installer.exe", tooltest::MinimalExecutable(3000));
        ASSERT_EQ(tooltest::Run("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                            "-subj", "/CN=test", "-days", "2", "-keyout",
                                            dir / "key.pem", "-out", dir / "cert.pem"})
                      .exitCode,
                  0);
    }

    // Packs with `campaign` and signs, with a slot when `slot`; returns the signed file.
    fs::path Signed(const std::string& name, const std::string& campaign, bool slot = true) {
        const fs::path packed = dir / (name + ".unsigned");
        const auto pack =
            tooltest::Run(WRAPPER_PACK, {"--launcher", dir / "wrapper.exe", "--payload",
                                         dir / "installer.exe", "-o", packed, "--campaign",
                                         campaign, "--landing", "https://example.com%1/welcome?",
                                         "--uninstall", "https://example.com%1/bye?"});
        EXPECT_EQ(pack.exitCode, 0) << pack.err;
        std::vector<std::string> sign = {"sign", "-certs",        dir / "cert.pem",
                                         "-key", dir / "key.pem", "-in",
                                         packed, "-out",          dir / name};
        if (slot) sign.insert(sign.begin() + 1, "-addUnauthenticatedBlob");
        const auto signing = tooltest::Run("osslsigncode", sign);
        EXPECT_EQ(signing.exitCode, 0) << signing.out << signing.err;
        return dir / name;
    }

    // The "Current" (signed) and "Calculated" message digests of osslsigncode verify; the
    // self-signed certificate fails its chain check, which is not what is tested here.
    std::string Digests(const fs::path& file) {
        const std::string out = tooltest::Run("osslsigncode", {"verify", "-in", file}).out;
        std::string digests;
        for (const std::string label : {"Current message digest", "Calculated message digest"}) {
            const auto at = out.find(label);
            if (at == std::string::npos) return "(no " + label + " in: " + out + ")";
            digests += out.substr(at, out.find('\n', at) - at) + "\n";
        }
        return digests;
    }

    json Inspect(const fs::path& file, bool verify = false) {
        std::vector<std::string> arguments = {"--json", file};
        if (verify) arguments.insert(arguments.begin(), "--verify");
        return json::parse(tooltest::Run(WRAPPER_INSPECT, arguments).out);
    }

    tooltest::ScratchDir dir;
};

TEST_F(StampToolTest, CopiesDifferOnlyInTheSlotKeepTheDigestAndCarryTheCampaign) {
    const fs::path base = Signed("base.exe", "");
    const auto one = tooltest::Run(
        WRAPPER_STAMP, {"--campaign", "utm_source=mail&id=%41", "-o", dir / "mail.exe", base});
    ASSERT_EQ(one.exitCode, 0) << one.err;
    tooltest::WriteFile(dir / "list.tsv", {'a', '\t', 'x', '=', '1', '\n', '\n', 'b', '.', 'e', 'x',
                                           'e', '\t', 'y', '=', '2', '\r', '\n'});
    fs::create_directory(dir / "out");
    const auto many = tooltest::Run(
        WRAPPER_STAMP, {"--campaigns", dir / "list.tsv", "--output-dir", dir / "out", base});
    ASSERT_EQ(many.exitCode, 0) << many.err;
    const auto streamed =
        tooltest::Run(WRAPPER_STAMP, {"--campaign", "utm_source=mail&id=%41", "-o", "-", base});
    ASSERT_EQ(streamed.exitCode, 0) << streamed.err;

    const tooltest::Bytes original = tooltest::ReadFile(base);
    const json before = Inspect(base);
    EXPECT_EQ(before["campaignStamp"]["stampable"], true);
    EXPECT_EQ(before["campaignStamp"]["slot"]["size"], 1024);
    EXPECT_EQ(before["campaignStamp"]["slot"]["state"], "unstamped");
    const std::pair<fs::path, std::string> copies[] = {{dir / "mail.exe", "utm_source=mail&id=%41"},
                                                       {dir / "out" / "a", "x=1"},
                                                       {dir / "out" / "b.exe", "y=2"}};
    for (const auto& [file, campaign] : copies) {
        SCOPED_TRACE(file.string());
        const tooltest::Bytes copy = tooltest::ReadFile(file);
        ASSERT_EQ(copy.size(), original.size());
        std::size_t changed = 0;
        for (std::size_t i = 0; i < copy.size(); ++i) changed += copy[i] != original[i];
        EXPECT_EQ(changed, 17 + campaign.size());
        const json after = Inspect(file, true);
        EXPECT_EQ(after["verify"]["passed"], true);
        EXPECT_EQ(after["signatures"][0]["fileDigest"], before["signatures"][0]["fileDigest"]);
        EXPECT_EQ(after["campaignStamp"]["launcherCampaign"]["text"], campaign);
        EXPECT_EQ(after["handOff"]["uninstall"]["param"], "/bye?" + campaign);
        // osslsigncode finds the digest the signature carries, the base package's, again.
        EXPECT_EQ(Digests(file), Digests(base));
    }
    const tooltest::Bytes mail = tooltest::ReadFile(dir / "mail.exe");
    EXPECT_EQ(streamed.out, std::string(mail.begin(), mail.end()));
}

// A campaigns list from a pipe (a shell's <(...)) is read as a file is, and its copies count
// as written.
TEST_F(StampToolTest, TakesTheCampaignsFromAPipe) {
    const fs::path base = Signed("base.exe", "");
    fs::create_directory(dir / "out");
    ASSERT_EQ(::mkfifo((dir / "list").c_str(), 0600), 0);
    std::thread writer([&] { std::ofstream(dir / "list") << "a\tx=1\n"; });
    const auto run = tooltest::Run(
        WRAPPER_STAMP, {"--campaigns", dir / "list", "--output-dir", dir / "out", base});
    // Whatever the tool did, the writer gets its reader and ends.
    const int reader = ::open((dir / "list").c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    ::close(reader);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fs::is_regular_file(dir / "out" / "a"));
}

TEST_F(StampToolTest, RefusesWhatTheLauncherWouldNotReadOrMustNotChange) {
    const fs::path base = Signed("base.exe", "");
    const fs::path withCampaign = Signed("campaign.exe", "k=v");
    const fs::path noSlot = Signed("noslot.exe", "", false);
    const fs::path unsignedPackage = dir / "base.exe.unsigned";
    // Bytes after the signature's structure inside its table: the table grows by 8.
    tooltest::Bytes padded = tooltest::ReadFile(base);
    const std::uint32_t entry = 0x40 + 4 + 20 + 96 + 4 * 8;
    std::uint32_t size = 0;
    std::memcpy(&size, padded.data() + entry + 4, 4);
    size += 8;
    std::memcpy(padded.data() + entry + 4, &size, 4);
    const std::uint32_t tableOffset = static_cast<std::uint32_t>(padded.size()) + 8 - size;
    std::memcpy(padded.data() + tableOffset, &size, 4);
    padded.insert(padded.end(), {'j', 'u', 'n', 'k', 0, 0, 0, 0});
    tooltest::WriteFile(dir / "padded.exe", padded);

    struct Row {
        fs::path package;
        std::string campaign;
        std::string reason;
    };
    const Row rows[] = {
        {unsignedPackage, "a=1", "the package is not signed"},
        {withCampaign, "a=1", "signed with the campaign \"k=v\""},
        {noSlot, "a=1", "no slot: the signature has no slot"},
        {dir / "padded.exe", "a=1", "bytes other than zero follow the signature's structure"},
        {base, "a=1&a=2", "is not 1 to 200 bytes of name=value pairs"},
        {base, std::string(201, 'a'), "is not 1 to 200 bytes"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        const auto stamp = tooltest::Run(
            WRAPPER_STAMP, {"--campaign", row.campaign, "-o", dir / "out.exe", row.package});
        EXPECT_EQ(stamp.exitCode, 1);
        EXPECT_NE(stamp.err.find(row.reason), std::string::npos) << stamp.err;
        EXPECT_FALSE(fs::exists(dir / "out.exe"));
    }
    const json padding = Inspect(dir / "padded.exe", true);
    EXPECT_EQ(padding["verify"]["passed"], false);

    const auto overInput = tooltest::Run(WRAPPER_STAMP, {"--campaign", "a=1", "-o", base, base});
    EXPECT_EQ(overInput.exitCode, 1);
    EXPECT_NE(overInput.err.find("an input is never written over"), std::string::npos);
    EXPECT_EQ(tooltest::Run(WRAPPER_STAMP, {"--campaign", "a=1", base}).exitCode, 2);
    EXPECT_EQ(tooltest::Run(WRAPPER_STAMP, {"--campaigns", "x", "-o", "y", base}).exitCode, 2);
}

}  // namespace
