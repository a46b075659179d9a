#include "handoff/LandingPage.h"

#include "handoff/TextHelpers.h"

namespace wrapper::handoff {

namespace {

// The languages with a page of their own, as their segments: a backslash and the code.
constexpr const char* kLocalizedSegments[] = {"\\fr", "\\de", "\\jp"};

}  // namespace

const char* ReadLanguageSegment(platform::ProfileFiles& profiles, const char16_t* installDir) {
    char16_t cfgIni[kInstallDirFileCapacity];
    if (!InstallDirFile(installDir, kCfgIniName, cfgIni)) return "";

    char value[kLanguageValueSize] = {};
    profiles.ReadString(u"Language", u"LANGUAGE", value, kLanguageValueSize, cfgIni);

    const TextView file = SplitByDelimiter(ViewOf(value), "\\").Piece(1);
    const TextView code = SplitByDelimiter(file, ".").Piece(0);
    for (const char* segment : kLocalizedSegments) {
        if (SameText(code, segment + 1)) return segment;
    }
    return "";
}

void OpenLandingPage(platform::Shell& shell, platform::CodePages& codePages,
                     const package::TrailerFields& fields, const char* segment, bool elevated) {
    const SplitPieces landing =
        SplitByDelimiter(package::FieldText(fields, package::Field::LandingTemplate), "%1");

    char url[kLandingUrlCapacity] = {};
    std::uint32_t length = 0;
    if (!AppendText(url, kLandingUrlCapacity, length, landing.Piece(0)) ||
        !AppendText(url, kLandingUrlCapacity, length, ViewOf(segment)) ||
        !AppendText(url, kLandingUrlCapacity, length, landing.Piece(1)) ||
        !AppendText(url, kLandingUrlCapacity, length,
                    package::FieldText(fields, package::Field::CampaignQuery))) {
        return;
    }

    char16_t wideUrl[kLandingUrlCapacity] = {};
    if (!AnsiToWide(codePages, {url, length}, wideUrl, kLandingUrlCapacity)) return;
    // A package without a landing page has nothing to open.
    if (wideUrl[0] == u'\0') return;
    // Without administrator rights the launcher's own route gives the handler no more than
    // the user has.
    if (!elevated) {
        shell.OpenUrl(wideUrl);
        return;
    }
    // Elevated, a handler started from here would run with administrator rights, and which
    // program that is the user's own registry says, which any program of the user can
    // change, and then make the desktop shell's route fail. So only the desktop shell,
    // running as the signed-in user, opens the page; without COM or without it, no page.
    const platform::ComScope com(shell);
    if (com) shell.OpenUrlAsDesktopUser(wideUrl);
}

}  // namespace wrapper::handoff
