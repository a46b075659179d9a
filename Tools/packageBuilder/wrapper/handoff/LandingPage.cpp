#include "handoff/LandingPage.h"

#include "handoff/TextHelpers.h"

namespace wrapper::handoff {

namespace {

// cfg.ini's path: InstallDir and the file name, ANSI, terminator included.
constexpr std::uint32_t kCfgIniCapacity = kInstallDirCapacity + sizeof kCfgIniName - 1;

// The languages with a page of their own, as their segments: a backslash and the code.
constexpr const char* kLocalizedSegments[] = {"\\fr", "\\de", "\\jp"};

}  // namespace

const char* ReadLanguageSegment(platform::ProfileFiles& profiles, const char* installDir) {
    char cfgIni[kCfgIniCapacity] = {};
    std::uint32_t pathLength = 0;
    if (!AppendText(cfgIni, kCfgIniCapacity, pathLength, ViewOf(installDir)) ||
        !AppendText(cfgIni, kCfgIniCapacity, pathLength, ViewOf(kCfgIniName))) {
        return "";
    }

    char value[kLanguageValueSize] = {};
    profiles.ReadString("Language", "LANGUAGE", "", value, kLanguageValueSize, cfgIni);

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
        SplitByDelimiter(FieldView(fields, package::Field::LandingTemplate), "%1");

    char url[kLandingUrlCapacity] = {};
    std::uint32_t length = 0;
    if (!AppendText(url, kLandingUrlCapacity, length, landing.Piece(0)) ||
        !AppendText(url, kLandingUrlCapacity, length, ViewOf(segment)) ||
        !AppendText(url, kLandingUrlCapacity, length, landing.Piece(1)) ||
        !AppendText(url, kLandingUrlCapacity, length,
                    FieldView(fields, package::Field::CampaignQuery))) {
        return;
    }

    char16_t wideUrl[kLandingUrlCapacity] = {};
    if (!AnsiToWide(codePages, {url, length}, wideUrl, kLandingUrlCapacity)) return;
    // A package without a landing page has nothing to open.
    if (wideUrl[0] == u'\0') return;
    shell.OpenUrl(wideUrl);
}

}  // namespace wrapper::handoff
