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
using testing::WriteRecordOfInstalledProduct;

struct HandOffRecordTest : ::testing::Test {
    fake::FakePlatform machine;
    char16_t installDir[kInstallDirCapacity] = {};

    bool Write(const package::TrailerFields& fields) {
        return WriteRecordOfInstalledProduct(machine, fields, installDir);
    }
    bool WriteDefault() { return Write(MakeFields("https://l/%1?", "k=v", "x%1/p?", "x%1/p?")); }
};

TEST_F(HandOffRecordTest, WritesTheFiveRowsInOrderIntoTheFolderTheKeyNames) {
    RegisterProduct(machine, u"C:\\Apps\\Demo");
    ASSERT_TRUE(WriteDefault());
    EXPECT_EQ(std::u16string(installDir), u"C:\\Apps\\Demo");
    EXPECT_EQ(FileText(machine, u"C:\\Apps\\Demo\\Version.ini"),
              "[QD]\r\nurl=https://l/%1?\r\nparamcount=1\r\n1=k=v\r\n"
              "[UNINSTALL]\r\nurl=x\r\nparam=/p?k=v\r\n");
    EXPECT_EQ(machine.registry.OpenKeys(), 0u);
}

struct UninstallRow {
    const char* uninstallTemplate;
    const char* campaign;
    const char* url;
    const char* param;
};

TEST_F(HandOffRecordTest, UninstallRowsSplitTemplateAndCampaignAtTheWholePlaceholder) {
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
        char url[platform::kProfileValueSize] = {};
        char param[platform::kProfileValueSize] = {};
        machine.profiles.ReadString(u"UNINSTALL", u"url", url, sizeof url, u"C:\\App\\Version.ini");
        machine.profiles.ReadString(u"UNINSTALL", u"param", param, sizeof param,
                                    u"C:\\App\\Version.ini");
        EXPECT_STREQ(url, row.url);
        EXPECT_STREQ(param, row.param);
    }
}

TEST_F(HandOffRecordTest, FullFieldsAreWrittenWholeAndNeverReachIntoTheNextField) {
    RegisterProduct(machine, u"C:\\App");
    const std::string link(260, 'L');
    const std::string campaign(260, 'c');
    const std::string uninstall = "u%1" + std::string(257, 'p');
    ASSERT_TRUE(Write(MakeFields(link, campaign, std::string(260, 'X'), uninstall)));
    EXPECT_EQ(FileText(machine, u"C:\\App\\Version.ini"),
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
TEST_F(HandOffRecordTest, FoldersUpToWhatTheDeclaredSizeHoldsAreFound) {
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
        char16_t dir[kInstallDirCapacity] = {};
        const bool found =
            WriteRecordOfInstalledProduct(fresh, MakeFields("l", "k=v", "", "x%1y"), dir);
        EXPECT_EQ(found, row.found);
        if (!row.found) {
            EXPECT_EQ(fresh.log.Count(fake::Call::WriteProfileString), 0u);
            continue;
        }
        EXPECT_EQ(std::u16string(dir), row.folder);
        EXPECT_EQ(fresh.log.Count(fake::Call::WriteProfileString), 5u);
        EXPECT_NE(FileText(fresh, row.folder + u"\\Version.ini"), "");
    }
}

// The folder is used as the registry holds it: converted to the ANSI code page (1252 here)
// it would be "?" in every place of a name it cannot spell, and only approximately the
// right one where it has a best fit, which can be another folder that exists.
TEST(HandOffRecordFolder, FolderTheCodePageCannotSpellIsStillTheOneWritten) {
    struct Row {
        const char* name;
        std::u16string folder;
        std::u16string lookAlike;  // a folder the best fit of `folder` would name
    };
    const Row rows[] = {
        {"Cyrillic", u"C:\\\u041f\u0440\u043e\u0433\u0440\u0430\u043c\u043c\u0430", u""},
        {"CJK", u"C:\\Program Files\\\u7a0b\u5e8f", u""},
        {"Latin letter with macron", u"C:\\\u0100pp", u"C:\\App"},
        {"full-width backslash", u"C:\\A\uff3cB", u"C:\\A\\B"},
        {"longest folder", u"C:\\" + std::u16string(256, u'\u4e2d'), u""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake::FakePlatform machine;
        RegisterProduct(machine, row.folder);
        const std::string theirs = "[QD]\r\nurl=theirs\r\n";
        if (!row.lookAlike.empty()) {
            testing::WriteFileText(machine, row.lookAlike + u"\\Version.ini", theirs);
        }
        char16_t dir[kInstallDirCapacity] = {};
        ASSERT_TRUE(
            WriteRecordOfInstalledProduct(machine, MakeFields("l", "k=v", "", "x%1y"), dir));
        EXPECT_EQ(std::u16string(dir), row.folder);
        EXPECT_EQ(FileText(machine, row.folder + u"\\Version.ini"),
                  "[QD]\r\nurl=l\r\nparamcount=1\r\n1=k=v\r\n"
                  "[UNINSTALL]\r\nurl=x\r\nparam=yk=v\r\n");
        if (!row.lookAlike.empty()) {
            EXPECT_EQ(FileText(machine, row.lookAlike + u"\\Version.ini"), theirs);
        }
    }
}

// Values go through the code page into UTF-16 and back, as the wide functions take them:
// every byte a trailer field can hold comes out as it went in, also the five bytes 1252
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D).
TEST_F(HandOffRecordTest, EveryByteOfAFieldReachesVersionIniUnchanged) {
    std::string everyByte;
    for (int byte = 1; byte <= 0xFF; ++byte) {
        if (byte != '\n' && byte != '\r') everyByte.push_back(static_cast<char>(byte));
    }
    RegisterProduct(machine, u"C:\\App");
    ASSERT_TRUE(Write(MakeFields(everyByte, "k=\x80\x81\x9d\xff", "", "x%1y")));
    EXPECT_EQ(FileText(machine, u"C:\\App\\Version.ini"),
              "[QD]\r\nurl=" + everyByte + "\r\nparamcount=1\r\n1=k=\x80\x81\x9d\xff\r\n"
              "[UNINSTALL]\r\nurl=x\r\nparam=yk=\x80\x81\x9d\xff\r\n");
}

TEST_F(HandOffRecordTest, ValueIsCutAtItsFirstZero) {
    RegisterProduct(machine, std::u16string(u"C:\\App\0C:\\Old", 13));
    ASSERT_TRUE(WriteDefault());
    EXPECT_EQ(std::u16string(installDir), u"C:\\App");
}

TEST_F(HandOffRecordTest, MissingKeyOrUnreadableValueWritesNothing) {
    EXPECT_FALSE(OpenUninstallKey(machine.registry));
    EXPECT_FALSE(WriteDefault());
    machine.registry.SetString(kUninstallKey, u"Other", u"C:\\App");
    EXPECT_FALSE(WriteDefault());
    RegisterProduct(machine, u"C:\\App");
    machine.log.Fail(fake::Call::QueryValue, 2);
    EXPECT_FALSE(WriteDefault());
    EXPECT_EQ(machine.registry.OpenKeys(), 0u);
    EXPECT_EQ(machine.log.Count(fake::Call::WriteProfileString), 0u);
}

// A folder ReadInstallDir never gives (empty, or with no room for the file name after it)
// names no installation: no Version.ini at the drive root, none under a cut-off name.
TEST_F(HandOffRecordTest, FolderWithNoRoomForTheFileNameGetsNoRecord) {
    const auto fields = MakeFields("l", "k=v", "", "x%1y");
    WriteHandOffRecord(machine.profiles, fields, u"");
    const std::u16string tooLong = u"C:\\" + std::u16string(kInstallDirCapacity, u'a');
    WriteHandOffRecord(machine.profiles, fields, tooLong.c_str());
    EXPECT_EQ(machine.log.Count(fake::Call::WriteProfileString), 0u);
    EXPECT_TRUE(machine.files.Paths().empty());
}

// The profile calls take a path of 260 units or more only in its long form.
TEST(InstallDirFile, LongFormFromTwoHundredSixtyUnitsOn) {
    const std::u16string d247 = u"C:\\" + std::u16string(244, u'a');
    const std::u16string d248 = u"C:\\" + std::u16string(245, u'a');
    const std::u16string d259 = u"C:\\" + std::u16string(256, u'a');
    const std::u16string n255 = u"\\\\srv\\" + std::u16string(249, u'a');
    struct Row {
        std::u16string folder;
        std::u16string expected;
    };
    const Row rows[] = {
        {d247, d247 + u"\\Version.ini"},  // 259 units
        {d248, u"\\\\?\\" + d248 + u"\\Version.ini"},
        {d259, u"\\\\?\\" + d259 + u"\\Version.ini"},
        {n255, u"\\\\?\\UNC" + n255.substr(1) + u"\\Version.ini"},
        {u"C:\\" + std::u16string(kInstallDirCapacity - 3, u'a'), u""},
        {u"", u""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.folder.size());
        char16_t path[kInstallDirFileCapacity];
        EXPECT_EQ(InstallDirFile(row.folder.c_str(), kVersionIniName, path), !row.expected.empty());
        EXPECT_EQ(std::u16string(path), row.expected);
    }
}

TEST_F(HandOffRecordTest, FolderOfTheLongestLengthGetsItsRecord) {
    for (const std::size_t length : {248u, 259u}) {
        const std::u16string folder = u"C:\\" + std::u16string(length - 3, u'a');
        RegisterProduct(machine, folder);
        ASSERT_TRUE(WriteDefault());
        EXPECT_EQ(FileText(machine, folder + u"\\Version.ini"),
                  "[QD]\r\nurl=https://l/%1?\r\nparamcount=1\r\n1=k=v\r\n"
                  "[UNINSTALL]\r\nurl=x\r\nparam=/p?k=v\r\n");
    }
}

TEST_F(HandOffRecordTest, FailedWriteIsIgnoredAndTheOtherRowsStillGetWritten) {
    RegisterProduct(machine, u"C:\\App");
    machine.log.Fail(fake::Call::WriteProfileString, 1);
    ASSERT_TRUE(WriteDefault());
    EXPECT_EQ(machine.log.Count(fake::Call::WriteProfileString), 5u);
    EXPECT_EQ(FileText(machine, u"C:\\App\\Version.ini"),
              "[QD]\r\nparamcount=1\r\n1=k=v\r\n[UNINSTALL]\r\nurl=x\r\nparam=/p?k=v\r\n");
}

}  // namespace
}  // namespace wrapper::handoff
