#include "handoff/HandOffRecord.h"

#include "WideText.h"
#include "handoff/TextHelpers.h"

#include <utility>

namespace wrapper::handoff {

namespace {

// The longest text written as one value: UninstallTemplate and CampaignQuery joined.
constexpr std::uint32_t kJoinedCapacity = 2 * package::kFieldSize + 1;

// Version.ini's path: InstallDir and the file name, ANSI, terminator included.
constexpr std::uint32_t kVersionIniCapacity = kInstallDirCapacity + sizeof kVersionIniName - 1;

// The writer takes terminated text; fields and pieces are views, so each is copied first.
void WriteRow(platform::ProfileFiles& profiles, const char* section, const char* key,
              TextView value, const char* path) {
    char text[kJoinedCapacity] = {};
    std::uint32_t length = 0;
    AppendText(text, kJoinedCapacity, length, value);
    profiles.WriteString(section, key, text, path);
}

// Reads the installation directory into `installDir`. `key` is the open uninstall key.
bool ReadInstallDir(platform::Registry& registry, platform::CodePages& codePages,
                    platform::KeyHandle key, char (&installDir)[kInstallDirCapacity]) {
    // Not cleared first: only the bytes the query returns are used.
    char16_t value[kValueUnits];
    std::uint32_t size = kDeclaredValueBytes;
    if (!registry.QueryValue(key, kAppPathValue, value, &size)) return false;
    // Stored without a terminator, or with several: either way it ends where the value
    // ends or at its first zero.
    std::uint32_t units = size / sizeof(char16_t);
    if (units > kValueUnits - 1) units = kValueUnits - 1;
    value[units] = u'\0';
    // An empty directory would put Version.ini at the root of the current drive.
    const std::uint32_t length = WideLength(value);
    return length != 0 && WideToAnsi(codePages, value, length, installDir, kInstallDirCapacity) &&
           installDir[0] != '\0';
}

}  // namespace

bool WriteHandOffRecord(platform::Registry& registry, platform::ProfileFiles& profiles,
                        platform::CodePages& codePages, const package::TrailerFields& fields,
                        platform::UniqueKey& uninstallKey,
                        char (&installDir)[kInstallDirCapacity]) {
    platform::KeyHandle handle{};
    if (!registry.OpenLocalMachineKey(kUninstallKey, &handle)) return false;
    platform::UniqueKey key(registry, handle);
    if (!ReadInstallDir(registry, codePages, key.Get(), installDir)) return false;

    // Always fits: the buffer holds the longest InstallDir and the name.
    char versionIni[kVersionIniCapacity] = {};
    std::uint32_t pathLength = 0;
    AppendText(versionIni, kVersionIniCapacity, pathLength, ViewOf(installDir));
    AppendText(versionIni, kVersionIniCapacity, pathLength, ViewOf(kVersionIniName));

    const TextView campaign = FieldView(fields, package::Field::CampaignQuery);
    WriteRow(profiles, "QD", "url", FieldView(fields, package::Field::LinkTemplate), versionIni);
    WriteRow(profiles, "QD", "paramcount", ViewOf("1"), versionIni);
    WriteRow(profiles, "QD", "1", campaign, versionIni);

    // Joined before the split: the placeholder may straddle the two fields.
    char joined[kJoinedCapacity] = {};
    std::uint32_t joinedLength = 0;
    AppendText(joined, kJoinedCapacity, joinedLength,
               FieldView(fields, package::Field::UninstallTemplate));
    AppendText(joined, kJoinedCapacity, joinedLength, campaign);
    const SplitPieces uninstall = SplitByDelimiter({joined, joinedLength}, "%1");
    WriteRow(profiles, "UNINSTALL", "url", uninstall.Piece(0), versionIni);
    WriteRow(profiles, "UNINSTALL", "param", uninstall.Piece(1), versionIni);

    uninstallKey = std::move(key);
    return true;
}

}  // namespace wrapper::handoff
