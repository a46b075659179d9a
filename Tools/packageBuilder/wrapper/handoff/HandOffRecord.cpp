#include "handoff/HandOffRecord.h"

#include "WideText.h"
#include "handoff/TextHelpers.h"

namespace wrapper::handoff {

namespace {

// The longest text written as one value: UninstallTemplate and CampaignQuery joined.
constexpr std::uint32_t kJoinedCapacity = 2 * package::kFieldSize + 1;
static_assert(kJoinedCapacity <= platform::kProfileWriteSize);

// The longest path the profile calls take without the long form, in units.
constexpr std::uint32_t kMaxPlainPathLength = 259;

// The writer takes terminated text; fields and pieces are views, so each is copied first.
void WriteRow(platform::ProfileFiles& profiles, const char16_t* section, const char16_t* key,
              TextView value, const char16_t* path) {
    char text[kJoinedCapacity] = {};
    std::uint32_t length = 0;
    AppendText(text, kJoinedCapacity, length, value);
    profiles.WriteString(section, key, text, path);
}

}  // namespace

bool InstallDirFile(const char16_t* installDir, const char16_t* name,
                    char16_t (&path)[kInstallDirFileCapacity]) {
    std::uint32_t length = 0;
    if (installDir[0] == u'\0' || !AppendWide(path, kInstallDirCapacity, length, installDir) ||
        !AppendWide(path, kInstallDirFileCapacity, length, name)) {
        path[0] = u'\0';
        return false;
    }
    if (length <= kMaxPlainPathLength) return true;
    // Again, in the long form. Installers write the folder with backslashes only.
    const bool network = installDir[0] == u'\\' && installDir[1] == u'\\';
    length = 0;
    AppendWide(path, kInstallDirFileCapacity, length, network ? u"\\\\?\\UNC" : u"\\\\?\\");
    AppendWide(path, kInstallDirFileCapacity, length, network ? installDir + 1 : installDir);
    AppendWide(path, kInstallDirFileCapacity, length, name);
    return true;
}

platform::UniqueKey OpenUninstallKey(platform::Registry& registry) {
    platform::KeyHandle handle{};
    if (!registry.OpenLocalMachineKey(kUninstallKey, &handle)) return {};
    return {registry, handle};
}

bool ReadInstallDir(platform::Registry& registry, platform::KeyHandle key,
                    char16_t (&installDir)[kInstallDirCapacity]) {
    // Not cleared first: only the bytes the query returns are used.
    std::uint32_t size = kDeclaredValueBytes;
    if (!registry.QueryValue(key, kAppPathValue, installDir, &size)) return false;
    // Stored without a terminator, or with several: either way it ends where the value
    // ends or at its first zero.
    std::uint32_t units = size / std::uint32_t{sizeof(char16_t)};
    if (units > kValueUnits - 1) units = kValueUnits - 1;
    installDir[units] = u'\0';
    // An empty directory would put Version.ini at the root of the current drive.
    return installDir[0] != u'\0';
}

void WriteHandOffRecord(platform::ProfileFiles& profiles, const package::TrailerFields& fields,
                        const char16_t* installDir) {
    // The buffer holds the longest folder ReadInstallDir gives and the name; a longer one
    // (or none) names no installation, and nothing is written.
    char16_t versionIni[kInstallDirFileCapacity];
    if (!InstallDirFile(installDir, kVersionIniName, versionIni)) return;

    const TextView campaign = package::FieldText(fields, package::Field::CampaignQuery);
    WriteRow(profiles, u"QD", u"url", package::FieldText(fields, package::Field::LinkTemplate),
             versionIni);
    WriteRow(profiles, u"QD", u"paramcount", ViewOf("1"), versionIni);
    WriteRow(profiles, u"QD", u"1", campaign, versionIni);

    // Joined before the split: the placeholder may straddle the two fields.
    char joined[kJoinedCapacity] = {};
    std::uint32_t joinedLength = 0;
    AppendText(joined, kJoinedCapacity, joinedLength,
               package::FieldText(fields, package::Field::UninstallTemplate));
    AppendText(joined, kJoinedCapacity, joinedLength, campaign);
    const SplitPieces uninstall = SplitByDelimiter({joined, joinedLength}, "%1");
    WriteRow(profiles, u"UNINSTALL", u"url", uninstall.Piece(0), versionIni);
    WriteRow(profiles, u"UNINSTALL", u"param", uninstall.Piece(1), versionIni);
}

}  // namespace wrapper::handoff
