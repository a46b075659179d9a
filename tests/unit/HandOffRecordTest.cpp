#include "FakePlatform.h"
#include "HandOffTesting.h"
#include "handoff/HandOffRecord.h"

#include <gtest/gtest.h>

#include <string>

namespace wrapper::handoff {
namespace {

using testing::FileText;
using testing::MakeFields;
using testing::RegisterProduct;

struct HandOffRecordFixture : ::testing::Test {
    fake::FakePlatform machine;
    platform::UniqueKey key;
    char installDir[kInstallDirCapacity] = {};

    bool Write(const package::TrailerFields& fields) {
        return WriteHandOffRecord(machine.registry, machine.profiles, machine.codePages, fields,
                                  key, installDir);
    }
    bool WriteDefault() { return Write(MakeFields("https://l/%1?", "k=v", "x%1/p?", "x%1/p?")); }
};

TEST_F(HandOffRecordFixture, WritesTheFiveRowsInOrderAndHandsOverDirectoryAndKey) {
    RegisterProduct(machine, u"C:\\Apps\\Demo");
    ASSERT_TRUE(WriteDefault());
    EXPECT_STREQ(installDir, "C:\\Apps\\Demo");
    EXPECT_EQ(FileText(machine, "C:\\Apps\\Demo\\Version.ini"),
              "[QD]\r\nurl=https://l/%1?\r\nparamcount=1\r\n1=k=v\r\n"
              "[UNINSTALL]\r\nurl=x\r\nparam=/p?k=v\r\n");
    EXPECT_EQ(machine.registry.OpenKeys(), 1u);
    key.Reset();
    EXPECT_EQ(machine.registry.OpenKeys(), 0u);
}

struct UninstallRow {
    const char* uninstallTemplate;
    const char* campaign;
    const char* url;
    const char* param;
};

TEST_F(HandOffRecordFixture, UninstallRowsSplitTemplateAndCampaignAtTheWholePlaceholder) {
    const UninstallRow rows[] = {
        {"x%1/p?", "k=v", "x", "/p?k=v"},
        {"x%1/p?", "k=21", "x", "/p?k=21"},
        {"https://h1.example%1/u?", "c=50%25", "https://h1.example", "/u?c=50%25"},
        {"x/p?", "k=v", "x/p?k=v", ""},
        // The placeholder may straddle the two fields.
        {"x/p%", "1k", "x/p", "k"},
        {"x%1/a%1/b", "q", "x", "/a"},
        // Too few pieces: what there is, then empty text.
        {"%1/p?", "k=v", "/p?k=v", ""},
        {"x%1", "", "x", ""},
        {"%1", "", "", ""},
        {"%1%1", "", "", ""},
        {"", "", "", ""},
    };
    RegisterProduct(machine, u"C:\\App");
    for (const UninstallRow& row : rows) {
        SCOPED_TRACE(std::string(row.uninstallTemplate) + " + " + row.campaign);
        ASSERT_TRUE(Write(MakeFields("l", row.campaign, "", row.uninstallTemplate)));
        key.Reset();
        char url[600] = {};
        char param[600] = {};
        machine.profiles.ReadString("UNINSTALL", "url", "?", url, sizeof url, "C:\\App\\Version.ini");
        machine.profiles.ReadString("UNINSTALL", "param", "?", param, sizeof param,
                                    "C:\\App\\Version.ini");
        EXPECT_STREQ(url, row.url);
        EXPECT_STREQ(param, row.param);
    }
}

TEST_F(HandOffRecordFixture, FullFieldsAreWrittenWholeAndNeverReachIntoTheNextField) {
    RegisterProduct(machine, u"C:\\App");
    const std::string link(260, 'L');
    const std::string campaign(260, 'c');
    const std::string uninstall = "u%1" + std::string(257, 'p');
    ASSERT_TRUE(Write(MakeFields(link, campaign, std::string(260, 'X'), uninstall)));
    EXPECT_EQ(FileText(machine, "C:\\App\\Version.ini"),
              "[QD]\r\nurl=" + link + "\r\nparamcount=1\r\n1=" + campaign + "\r\n[UNINSTALL]\r\nurl=u\r\n" +
                  "param=" + std::string(257, 'p') + campaign + "\r\n");
}

struct FolderRow {
    const char* name;
    std::u16string folder;
    bool terminated;
    bool found;
};

// The query declares 520 bytes: 260 units, the terminator included when the value has one.
TEST_F(HandOffRecordFixture, FoldersUpToWhatTheDeclaredSizeHoldsAreFound) {
    const std::u16string root = u"C:\\";
    const FolderRow rows[] = {
        {"200 units", root + std::u16string(197, u'a'), true, true},
        {"259 units and terminator", root + std::u16string(256, u'a'), true, true},
        {"260 units and terminator", root + std::u16string(257, u'a'), true, false},
        {"260 units, no terminator", root + std::u16string(257, u'a'), false, true},
        {"261 units, no terminator", root + std::u16string(258, u'a'), false, false},
        {"short, no terminator", u"C:\\App", false, true},
        {"Latin-1 letter", u"C:\\Programme\\Café", true, true},
        {"empty value: no Version.ini at the drive root", u"", true, false},
    };
    for (const FolderRow& row : rows) {
        SCOPED_TRACE(row.name);
        fake::FakePlatform fresh;
        RegisterProduct(fresh, row.folder, row.terminated);
        platform::UniqueKey rowKey;
        char dir[kInstallDirCapacity] = {};
        const bool found = WriteHandOffRecord(fresh.registry, fresh.profiles, fresh.codePages,
                                              MakeFields("l", "k=v", "", "x%1y"), rowKey, dir);
        EXPECT_EQ(found, row.found);
        EXPECT_EQ(static_cast<bool>(rowKey), row.found);
        if (!row.found) {
            EXPECT_EQ(fresh.registry.OpenKeys(), 0u);
            EXPECT_EQ(fresh.log.Count(fake::Call::WriteProfileString), 0u);
            continue;
        }
        std::string expected;
        for (char16_t unit : row.folder) expected.push_back(static_cast<char>(unit));
        EXPECT_EQ(std::string(dir), expected);
        EXPECT_EQ(fresh.log.Count(fake::Call::WriteProfileString), 5u);
        EXPECT_NE(FileText(fresh, expected + "\\Version.ini"), "");
    }
}

TEST_F(HandOffRecordFixture, AnsiInstallDirHoldsTheLongestValueInAMultiByteCodePage) {
    machine.codePages.utf8 = true;
    // 259 units of a character that takes three bytes in UTF-8.
    RegisterProduct(machine, std::u16string(259, u'\u4e2d'));
    ASSERT_TRUE(WriteDefault());
    std::string expected;
    for (int i = 0; i < 259; ++i) expected += "\xe4\xb8\xad";
    EXPECT_EQ(std::string(installDir), expected);
    EXPECT_NE(FileText(machine, expected + "\\Version.ini"), "");
}

TEST_F(HandOffRecordFixture, ValueIsCutAtItsFirstZero) {
    RegisterProduct(machine, std::u16string(u"C:\\App\0C:\\Old", 13));
    ASSERT_TRUE(WriteDefault());
    EXPECT_STREQ(installDir, "C:\\App");
}

TEST_F(HandOffRecordFixture, MissingKeyOrUnreadableValueWritesNothingAndLeavesNoKeyOpen) {
    EXPECT_FALSE(WriteDefault());
    machine.registry.SetString(kUninstallKey, u"Other", u"C:\\App");
    EXPECT_FALSE(WriteDefault());
    RegisterProduct(machine, u"C:\\App");
    machine.log.Fail(fake::Call::QueryValue, 2);
    EXPECT_FALSE(WriteDefault());
    EXPECT_FALSE(key);
    EXPECT_EQ(machine.registry.OpenKeys(), 0u);
    EXPECT_EQ(machine.log.Count(fake::Call::WriteProfileString), 0u);
}

TEST_F(HandOffRecordFixture, FailedWriteIsIgnoredAndTheOtherRowsStillGetWritten) {
    RegisterProduct(machine, u"C:\\App");
    machine.log.Fail(fake::Call::WriteProfileString, 1);
    ASSERT_TRUE(WriteDefault());
    EXPECT_EQ(machine.log.Count(fake::Call::WriteProfileString), 5u);
    EXPECT_EQ(FileText(machine, "C:\\App\\Version.ini"),
              "[QD]\r\nparamcount=1\r\n1=k=v\r\n[UNINSTALL]\r\nurl=x\r\nparam=/p?k=v\r\n");
}

}  // namespace
}  // namespace wrapper::handoff
