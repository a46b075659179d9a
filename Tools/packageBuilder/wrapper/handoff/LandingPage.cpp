#include "handoff/LandingPage.h"

#include "WideText.h"
#include "handoff/TextHelpers.h"

namespace wrapper::handoff {

namespace {

// cfg.ini's path: InstallDir and the file name, UTF-16, terminator included.
constexpr std::uint32_t kCfgIniCapacity =
    kInstallDirCapacity + sizeof kCfgIniName / sizeof(char16_t) - 1;

// The languages with a page of their own, as their segments: a backslash and the code.
constexpr const char* kLocalizedSegments[] = {"\\fr", "\\de", "\\jp"};

}  // namespace

const char* ReadLanguageSegment(platform::ProfileFiles& profiles, const char16_t* installDir) {
    char16_t cfgIni[kCfgIniCapacity] = {};
    std::uint32_t pathLength = 0;
    if (!AppendWide(cfgIni, kCfgIniCapacity, pathLength, installDir) ||
        !AppendWide(cfgIni, kCfgIniCapacity, pathLength, kCfgIniName)) {
        return "";
    }

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
                     const package::TrailerFields& fields, const char* segment) {
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
    // The launcher runs elevated, and so would a browser it started: the desktop shell
    // opens the page as the signed-in user instead. Without COM that cannot work, and
    // without a desktop shell there is nobody to ask; then the page opens as it always has.
    const platform::ComScope com(shell);
    if (!com || !shell.OpenUrlAsDesktopUser(wideUrl)) shell.OpenUrl(wideUrl);
}

}  // namespace wrapper::handoff
