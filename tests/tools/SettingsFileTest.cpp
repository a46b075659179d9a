#include "tools/package/SettingsFile.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

namespace tools = wrapper::tools;

namespace {

using tools::package::PackageSettings;
using tools::package::ParseSettings;

struct ParseRow {
    const char* name;
    std::string text;
    PackageSettings expected;
};

PackageSettings Preset() {
    return {"link-before", "campaign-before", "landing-before", "uninstall-before"};
}

TEST(SettingsFile, ReadsValuesByteForByte) {
    const ParseRow rows[] = {
        {"all four keys",
         "link = https://a%1/l?\ncampaign = k=v\nlanding = https://a%1/w?\nuninstall = "
         "https://a%1/u?\n",
         {"https://a%1/l?", "k=v", "https://a%1/w?", "https://a%1/u?"}},
        {"blanks around key and value dropped, inside kept",
         "  link\t=\t a b \t\n",
         {"a b", "campaign-before", "landing-before", "uninstall-before"}},
        {"comments and blank lines skipped",
         "# one\n; two\n\n   # three\nlink=x\n",
         {"x", "campaign-before", "landing-before", "uninstall-before"}},
        {"# and ; inside a value are kept",
         "landing = https://a%1/w?x=1#top;y\n",
         {"link-before", "campaign-before", "https://a%1/w?x=1#top;y", "uninstall-before"}},
        {"only the first = separates",
         "campaign = utm_source=a&utm_medium=b\n",
         {"link-before", "utm_source=a&utm_medium=b", "landing-before", "uninstall-before"}},
        {"quotes are not special",
         "link = \"x\"\n",
         {"\"x\"", "campaign-before", "landing-before", "uninstall-before"}},
        {"CR LF line ends and no final newline",
         "link = x\r\ncampaign = y",
         {"x", "y", "landing-before", "uninstall-before"}},
        {"UTF-8 byte order mark skipped",
         "\xEF\xBB\xBFlink = x\n",
         {"x", "campaign-before", "landing-before", "uninstall-before"}},
        {"empty value clears the setting",
         "campaign =\n",
         {"link-before", "", "landing-before", "uninstall-before"}},
        {"bytes outside ASCII pass through unconverted",
         "link = caf\xE9\n",
         {"caf\xE9", "campaign-before", "landing-before", "uninstall-before"}},
        {"empty file changes nothing", "", Preset()},
    };
    for (const ParseRow& row : rows) {
        SCOPED_TRACE(row.name);
        PackageSettings settings = Preset();
        tools::package::SettingsGiven given{};
        EXPECT_EQ(ParseSettings(row.text, settings, &given).error(), "");
        for (std::size_t i = 0; i < std::size(tools::package::kSettings); ++i) {
            const auto member = tools::package::kSettings[i].member;
            SCOPED_TRACE(tools::package::kSettings[i].key);
            EXPECT_EQ(settings.*member, row.expected.*member);
            // Marked given exactly when a line set it (to its old value or not).
            EXPECT_EQ(given[i], settings.*member != Preset().*member);
        }
    }
}

TEST(SettingsFile, RefusesMalformedLinesNamingTheLine) {
    const struct {
        std::string_view text;
        const char* message;
    } rows[] = {
        {"link = x\nlinks = y\n",
         "line 2: unknown key \"links\" (known: link, campaign, landing, uninstall)"},
        {"# c\n\nlink = x\nlink = y\n", "line 4: \"link\" is set twice"},
        {"link x\n", "line 1: expected key = value, found \"link x\""},
        {"[package]\nlink = x\n", "line 1: expected key = value, found \"[package]\""},
        {"= x\n", "line 1: unknown key \"\" (known: link, campaign, landing, uninstall)"},
        {"LINK = x\n", "line 1: unknown key \"LINK\" (known: link, campaign, landing, uninstall)"},
        {std::string_view("\xFF\xFEl\0", 4),
         "UTF-16 text (it starts with a UTF-16 byte order mark); save it as UTF-8 or ASCII"},
        {std::string_view("\xFE\xFF\0l", 4),
         "UTF-16 text (it starts with a UTF-16 byte order mark); save it as UTF-8 or ASCII"},
        {std::string_view("l\0i\0", 4),
         "UTF-16 text (zero bytes between the characters); save it as UTF-8 or ASCII"},
        {std::string_view("link = a\n\x89PNG\r\n\x1A\n\0\0", 18),
         "not a text file (control byte 0x1A on line 3)"},
        {std::string_view("link = https://a\0b", 18), "not a text file (control byte 0x00 on line 1)"},
        {"campaign = k=v\x7F\n", "not a text file (control byte 0x7F on line 1)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        PackageSettings settings;
        EXPECT_EQ(ParseSettings(row.text, settings).error(), row.message);
    }
}

TEST(SettingsFile, MissingFileIsNamed) {
    PackageSettings settings;
    EXPECT_EQ(tools::package::ReadSettingsFile("/nonexistent/release.ini", settings).error(),
              "cannot read settings file /nonexistent/release.ini: No such file or directory");
}

TEST(SettingsFile, AFileLargerThanSettingsEverNeedIsNotRead) {
    tooltest::ScratchDir dir;
    const std::string big(tools::package::kMaxSettingsFileSize + 1, '#');
    tooltest::WriteFile(dir / "big.ini", tooltest::Bytes(big.begin(), big.end()));
    PackageSettings settings;
    EXPECT_EQ(tools::package::ReadSettingsFile(dir / "big.ini", settings).error(),
              "settings file " + (dir / "big.ini").string() +
                  " is 65537 bytes long; a settings file holds at most 65536");
}

}  // namespace
