#include "FakePlatform.h"
#include "HandOffTesting.h"
#include "handoff/LandingPage.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace wrapper::handoff {
namespace {

using testing::MakeFields;

struct LanguageRow {
    std::optional<std::string> value;  // no cfg.ini at all when empty
    const char* segment;
};

TEST(ReadLanguageSegment, TakesTheCodeFromTheSecondBackslashPieceAndKnowsOnlyFrDeJp) {
    const LanguageRow rows[] = {
        {"lang\\de.ini", "\\de"},
        {"x\\jp.lng", "\\jp"},
        {"x\\de", "\\de"},
        {"x\\.jp", "\\jp"},
        {"x\\fr.ini", "\\fr"},
        {"x\\en.ini", ""},
        {"x\\FR.ini", ""},
        {"de.ini", ""},
        {"", ""},
        {std::nullopt, ""},
        {"a\\b\\fr.txt", ""},
        // Too few pieces: the missing one reads as empty text.
        {"lang\\", ""},
        {"\\de.ini", ""},
        {"x\\...", ""},
        {"x\\\\de.ini", "\\de"},
        // Bytes 1252 leaves undefined go through the code page and back unchanged.
        {"\x81\x8d\x8f\x90\x9d\\fr.ini", "\\fr"},
    };
    for (const LanguageRow& row : rows) {
        SCOPED_TRACE(row.value ? "LANGUAGE=" + *row.value : std::string("no cfg.ini"));
        fake::FakePlatform machine;
        if (row.value) {
            testing::WriteFileText(machine, u"C:\\App\\cfg.ini",
                                   "[Other]\r\nLANGUAGE=x\\fr\r\n[Language]\r\nLANGUAGE=" +
                                       *row.value + "\r\n");
        }
        EXPECT_STREQ(ReadLanguageSegment(machine.profiles, u"C:\\App"), row.segment);
    }
}

TEST(ReadLanguageSegment, ReadsCfgIniInAFolderOfTheLongestLength) {
    fake::FakePlatform machine;
    const std::u16string folder = u"C:\\" + std::u16string(256, u'a');  // 259 units
    testing::WriteFileText(machine, folder + u"\\cfg.ini", "[Language]\r\nLANGUAGE=lang\\jp.ini\r\n");
    EXPECT_STREQ(ReadLanguageSegment(machine.profiles, folder.c_str()), "\\jp");
}

struct UrlRow {
    const char* landingTemplate;
    const char* segment;
    const char* campaign;
    const char16_t* url;  // nothing opened when null
};

TEST(OpenLandingPage, PutsTheSegmentWhereThePlaceholderStoodAndTheCampaignLast) {
    const UrlRow rows[] = {
        {"x%1/p?", "\\de", "k=v", u"x\\de/p?k=v"},
        {"x%1/p?", "", "k=v", u"x/p?k=v"},
        {"x/p?", "\\de", "k=v", u"x/p?\\dek=v"},
        {"https://h1.example%1/p?a=1&", "\\jp", "c=100%25", u"https://h1.example\\jp/p?a=1&c=100%25"},
        {"x%1/a%1/b?", "", "k", u"x/ak"},
        // Too few pieces: built from what there is.
        {"%1/p?", "\\de", "k=v", u"/p?\\dek=v"},
        {"x%1", "\\de", "k=v", u"x\\dek=v"},
        {"%1", "\\fr", "", u"\\fr"},
        {"", "", "", nullptr},
    };
    for (const UrlRow& row : rows) {
        SCOPED_TRACE(std::string(row.landingTemplate) + " / " + row.segment + " / " + row.campaign);
        fake::FakePlatform machine;
        OpenLandingPage(machine.shell, machine.codePages,
                        MakeFields("l", row.campaign, row.landingTemplate, "u"), row.segment);
        if (row.url == nullptr) {
            EXPECT_TRUE(machine.shell.opened.empty());
        } else {
            ASSERT_EQ(machine.shell.opened.size(), 1u);
            EXPECT_EQ(machine.shell.opened[0], row.url);
        }
    }
}

TEST(OpenLandingPage, LongestUrlFitsItsBuffers) {
    fake::FakePlatform machine;
    // Full fields, and no placeholder: the whole template is piece 0.
    OpenLandingPage(machine.shell, machine.codePages,
                    MakeFields("l", std::string(260, 'c'), std::string(260, 'a'), "u"), "\\jp");
    ASSERT_EQ(machine.shell.opened.size(), 1u);
    EXPECT_EQ(machine.shell.opened[0],
              std::u16string(260, u'a') + u"\\jp" + std::u16string(260, u'c'));
}

TEST(OpenLandingPage, ConvertsTheUrlFromTheAnsiCodePage) {
    fake::FakePlatform machine;
    machine.codePages.utf8 = true;
    OpenLandingPage(machine.shell, machine.codePages,
                    MakeFields("l", "q=caf\xc3\xa9", "https://x%1/", "u"), "\\fr");
    ASSERT_EQ(machine.shell.opened.size(), 1u);
    EXPECT_EQ(machine.shell.opened[0], u"https://x\\fr/q=café");
}

// Elevated, the page opens only as the signed-in user, through the desktop shell, with COM
// initialised around it; where that route fails there is no page, since from the launcher
// it would open with administrator rights. Without elevation the launcher opens it itself.
TEST(OpenLandingPage, ElevatedOpensOnlyThroughTheDesktopShellUnelevatedDirectly) {
    using fake::Call;
    using Route = fake::FakeShell::Route;
    struct Row {
        const char* name;
        bool elevated;
        bool desktopShell;
        bool comFails;
        std::vector<Call> calls;
        std::vector<Route> routes;
    };
    const Row rows[] = {
        {"desktop shell", true, true, false,
         {Call::BeginCom, Call::OpenUrlAsDesktopUser, Call::EndCom}, {Route::DesktopShell}},
        {"no desktop shell", true, false, false,
         {Call::BeginCom, Call::OpenUrlAsDesktopUser, Call::EndCom}, {}},
        {"COM unavailable", true, true, true, {Call::BeginCom}, {}},
        {"not elevated", false, true, false, {Call::OpenUrl}, {Route::Launcher}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake::FakePlatform machine;
        machine.shell.desktopShell = row.desktopShell;
        if (row.comFails) machine.log.Fail(Call::BeginCom);
        OpenLandingPage(machine.shell, machine.codePages,
                        MakeFields("l", "k=v&q=\xe9", "https://x.example%1/p?", "u"), "\\de",
                        row.elevated);
        EXPECT_EQ(machine.log.Sequence(), row.calls);
        EXPECT_EQ(machine.shell.opened,
                  std::vector<std::u16string>(row.routes.size(),
                                              u"https://x.example\\de/p?k=v&q=\u00e9"));
        EXPECT_EQ(machine.shell.routes, row.routes);
        EXPECT_EQ(machine.shell.comDepth, 0u);
    }
}

}  // namespace
}  // namespace wrapper::handoff
