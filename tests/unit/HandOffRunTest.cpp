#include "FakePlatform.h"
#include "FakeFacts.h"
#include "HandOffTesting.h"
#include "PackageModel.h"
#include "SignatureBuilder.h"
#include "RunSequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace wrapper {
namespace {

using fake::Call;
using testing::FileText;

using fake::kOwnPath;

// A package whose installer, when it exits with 0, registers the product in `installDir`
// and leaves cfg.ini there, as a real one does.
struct HandOffRunTest : ::testing::Test {
    fake::FakePlatform machine;
    std::u16string installDir = u"C:\\Program Files (x86)\\Demo";
    std::uint32_t installerExit = 0;
    bool registers = true;
    std::string campaign = "k=v";
    std::vector<std::uint8_t> certificateTable;  // signs the package when not empty

    ResultCode Run() {
        testing::PackageParts parts;
        parts.fields[0] = "https://link/%1/x?";
        parts.fields[1] = campaign;
        parts.fields[2] = "https://land%1/p?";
        parts.fields[3] = "https://un%1/u?";
        std::vector<std::uint8_t> package = testing::BuildPackage(parts);
        if (!certificateTable.empty()) {
            testing::SignWithTable(package, (8 - package.size() % 8) % 8, certificateTable);
        }
        machine.files.SetOwnPath(kOwnPath);
        machine.files.AddFile(kOwnPath, package);
        machine.files.SetStartedImage(kOwnPath);  // a new file on every run of a table
        machine.processes.onStart = [this](const fake::StartedProcess&) {
            if (installerExit == 0 && registers) {
                testing::RegisterProduct(machine, installDir);
                testing::WriteFileText(machine, installDir + u"\\cfg.ini",
                                       "[Language]\r\nLANGUAGE=lang\\de.ini\r\n");
            }
            return installerExit;
        };
        return RunPackage(machine.Services());
    }
    std::string VersionIni() { return FileText(machine, installDir + u"\\Version.ini"); }
    bool InstallerLeftBehind() {
        const auto paths = machine.files.Paths();
        return std::any_of(paths.begin(), paths.end(), [](const std::u16string& path) {
            return path.find(u"Zorvik") != std::u16string::npos;
        });
    }
    // The hand-off's calls and the deletion, in the order they happened.
    std::vector<Call> HandOffSequence() {
        const Call watched[] = {Call::OpenKey,           Call::QueryValue,
                                Call::CloseKey,          Call::WriteProfileString,
                                Call::ReadProfileString, Call::OpenUrlAsDesktopUser,
                                Call::OpenUrl,           Call::DeleteOpened};
        std::vector<Call> calls;
        for (Call call : machine.log.Sequence()) {
            if (std::find(std::begin(watched), std::end(watched), call) != std::end(watched)) {
                calls.push_back(call);
            }
        }
        return calls;
    }
    void ExpectNothingHandedOff() {
        EXPECT_EQ(machine.log.Count(Call::WriteProfileString), 0u);
        EXPECT_EQ(VersionIni(), "");
        EXPECT_TRUE(machine.shell.opened.empty());
        EXPECT_EQ(machine.registry.OpenKeys(), 0u);
        EXPECT_FALSE(InstallerLeftBehind());
    }
};

TEST_F(HandOffRunTest, SuccessfulInstallWritesTheRecordOpensThePageThenDeletesTheInstaller) {
    EXPECT_EQ(Run(), kSuccess);
    EXPECT_EQ(VersionIni(),
              "[QD]\r\nurl=https://link/%1/x?\r\nparamcount=1\r\n1=k=v\r\n"
              "[UNINSTALL]\r\nurl=https://un\r\nparam=/u?k=v\r\n");
    EXPECT_EQ(machine.shell.opened, std::vector<std::u16string>{u"https://land\\de/p?k=v"});
    // The key stays open until the page is open and is closed before the deletion.
    const std::vector<Call> expected = {
        Call::OpenKey,           Call::QueryValue,        Call::WriteProfileString,
        Call::WriteProfileString, Call::WriteProfileString, Call::WriteProfileString,
        Call::WriteProfileString, Call::ReadProfileString, Call::OpenUrlAsDesktopUser,
        Call::CloseKey,          Call::DeleteOpened};
    EXPECT_EQ(HandOffSequence(), expected);
    EXPECT_FALSE(InstallerLeftBehind());
    EXPECT_EQ(machine.registry.OpenKeys(), 0u);
}

// The slot is read for a package signed with no campaign only, and only a valid stamp in
// a signature Windows accepts counts. It never changes the result.
TEST_F(HandOffRunTest, AValidStampIsTheCampaignOfAPackageSignedWithoutOne) {
    const auto stamped = [](const std::string& area, std::size_t padding = 0, char pad = 0) {
        testing::SignatureParts parts;
        parts.signer.back() =
            testing::Der(0xA1, testing::SlotAttribute(testing::StampedContent(area)));
        std::vector<std::uint8_t> der = testing::Signature(parts);
        der.insert(der.end(), padding, static_cast<std::uint8_t>(pad));
        return testing::CertificateTable(der);
    };
    struct Row {
        const char* signedCampaign;
        std::vector<std::uint8_t> table;
        const char* expected;
    };
    const Row rows[] = {
        {"", stamped("wrapper-campaign:utm=a%20b&x=1"), "utm=a%20b&x=1"},
        {"k=v", stamped("wrapper-campaign:utm=mail"), "k=v"},
        {"", stamped(""), ""},
        {"", stamped("wrapper-campaign:utm=a b"), ""},
        {"", stamped("wrapper-campaign:utm=mail", 2, 0), "utm=mail"},
        {"", stamped("wrapper-campaign:utm=mail", 2, 'x'), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        machine.shell.opened.clear();  // Version.ini's rows are all written again
        campaign = row.signedCampaign;
        certificateTable = row.table;
        EXPECT_EQ(Run(), kSuccess);
        const std::string expected = row.expected;
        EXPECT_EQ(VersionIni(), "[QD]\r\nurl=https://link/%1/x?\r\nparamcount=1\r\n1=" + expected +
                                    "\r\n[UNINSTALL]\r\nurl=https://un\r\nparam=/u?" + expected +
                                    "\r\n");
        const std::string url = "https://land\\de/p?" + expected;
        EXPECT_EQ(machine.shell.opened,
                  std::vector<std::u16string>{std::u16string(url.begin(), url.end())});
    }
}

TEST_F(HandOffRunTest, FailedInstallHandsNothingOff) {
    installerExit = 1;
    EXPECT_EQ(Run(), kSuccess);
    EXPECT_EQ(machine.log.Count(Call::OpenKey), 0u);
    ExpectNothingHandedOff();
}

TEST_F(HandOffRunTest, MissingUninstallKeyEndsTheHandOffSilently) {
    registers = false;
    EXPECT_EQ(Run(), kSuccess);
    EXPECT_EQ(machine.log.Count(Call::OpenKey), 1u);
    ExpectNothingHandedOff();
}

TEST_F(HandOffRunTest, ValueLongerThanTheQueryAllowsEndsTheHandOffAndClosesTheKey) {
    installDir = u"C:\\" + std::u16string(257, u'a');
    EXPECT_EQ(Run(), kSuccess);
    EXPECT_EQ(machine.log.Count(Call::QueryValue), 1u);
    ExpectNothingHandedOff();
}

TEST_F(HandOffRunTest, FailedValueQueryEndsTheHandOffAndClosesTheKey) {
    machine.log.Fail(Call::QueryValue);
    EXPECT_EQ(Run(), kSuccess);
    EXPECT_EQ(machine.log.Count(Call::CloseKey), 1u);
    ExpectNothingHandedOff();
}

TEST_F(HandOffRunTest, ExistingVersionIniKeepsItsOtherSectionsAndKeys) {
    testing::WriteFileText(machine, installDir + u"\\Version.ini",
                           "[App]\r\nversion=3.1\r\n[QD]\r\nurl=old\r\nextra=keep\r\n");
    EXPECT_EQ(Run(), kSuccess);
    EXPECT_EQ(VersionIni(),
              "[App]\r\nversion=3.1\r\n[QD]\r\nurl=https://link/%1/x?\r\nextra=keep\r\n"
              "paramcount=1\r\n1=k=v\r\n[UNINSTALL]\r\nurl=https://un\r\nparam=/u?k=v\r\n");
}

TEST_F(HandOffRunTest, FailedVersionIniWriteIsIgnoredAndThePageStillOpens) {
    machine.log.Fail(Call::WriteProfileString, 2);
    EXPECT_EQ(Run(), kSuccess);
    EXPECT_EQ(machine.log.Count(Call::WriteProfileString), 5u);
    EXPECT_EQ(VersionIni().find("paramcount"), std::string::npos);
    EXPECT_EQ(machine.shell.opened.size(), 1u);
    EXPECT_EQ(machine.registry.OpenKeys(), 0u);
}

TEST_F(HandOffRunTest, LongInstallFolderWorks) {
    installDir = u"C:\\" + std::u16string(197, u'd');
    EXPECT_EQ(Run(), kSuccess);
    EXPECT_NE(VersionIni().find("param=/u?k=v"), std::string::npos);
    EXPECT_EQ(machine.shell.opened, std::vector<std::u16string>{u"https://land\\de/p?k=v"});
}

}  // namespace
}  // namespace wrapper
