// The rehearsal of the launcher's hand-off that wrapper-inspect shows: the stand-in machine
// must steer the launcher's own code to each language's segment, carry every byte to the
// URL unchanged and report an unopened page as such. (The split itself is the launcher's,
// tested with it.)

#include "tools/package/HandOffPreview.h"
#include "PackageModel.h"

#include <gtest/gtest.h>

namespace tools = wrapper::tools;

namespace {

using tools::package::PreviewHandOff;
using tools::package::VersionIniRow;
using wrapper::testing::MakeFields;

TEST(HandOffPreview, LandingUrlPerLanguageAndUninstallHalves) {
    const struct {
        const char* name;
        std::string campaign, landing, uninstall;
        std::optional<std::string> none, fr, de, jp;
        std::string url, param;
    } rows[] = {
        {"segment where the placeholder stands, query last", "k=v", "x%1/p?", "u%1/q?", "x/p?k=v",
         "x\\fr/p?k=v", "x\\de/p?k=v", "x\\jp/p?k=v", "u", "/q?k=v"},
        {"empty landing and query: nothing opened without a language", "", "", "", std::nullopt,
         "\\fr", "\\de", "\\jp", "", ""},
        {"bytes outside ASCII reach the URL unchanged", "q=\xE9", "caf\xE9%1/", "u%1\xFF",
         "caf\xE9/q=\xE9", "caf\xE9\\fr/q=\xE9", "caf\xE9\\de/q=\xE9", "caf\xE9\\jp/q=\xE9", "u",
         "\xFFq=\xE9"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto values =
            PreviewHandOff(MakeFields("link", row.campaign, row.landing, row.uninstall));
        EXPECT_EQ(values.landingUrl[0], row.none);
        EXPECT_EQ(values.landingUrl[1], row.fr);
        EXPECT_EQ(values.landingUrl[2], row.de);
        EXPECT_EQ(values.landingUrl[3], row.jp);
        EXPECT_EQ(values.uninstallUrl, row.url);
        EXPECT_EQ(values.uninstallParam, row.param);
    }
}

TEST(HandOffPreview, VersionIniRowsInTheOrderWritten) {
    const auto values = PreviewHandOff(MakeFields("https://l%1/x?", "k=v", "", "https://u%1/y?"));
    const std::vector<std::tuple<std::string, std::string, std::string>> expected = {
        {"QD", "url", "https://l%1/x?"},
        {"QD", "paramcount", "1"},
        {"QD", "1", "k=v"},
        {"UNINSTALL", "url", "https://u"},
        {"UNINSTALL", "param", "/y?k=v"}};
    ASSERT_EQ(values.versionIni.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const VersionIniRow& row = values.versionIni[i];
        EXPECT_EQ(std::tie(row.section, row.key, row.value), expected[i]);
    }
}

}  // namespace
