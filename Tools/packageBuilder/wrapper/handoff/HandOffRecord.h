#pragma once

#include "package/PackageTrailer.h"
#include "platform/ProfileFiles.h"
#include "platform/Registry.h"

#include "WrapperVersion.h"

#include <cstdint>

namespace wrapper::handoff {

// Where the installer registers the product: under HKEY_LOCAL_MACHINE, in the 32-bit view
// (which a 32-bit launcher reads), the installed product's application id followed by
// "_is1". The id is compiled in, set when the launcher is configured (WRAPPER_PRODUCT_ID);
// a launcher for another product carries that product's id.
inline constexpr char16_t kUninstallKey[] = u"" WRAPPER_UNINSTALL_KEY;
// The value that holds the installation directory.
inline constexpr char16_t kAppPathValue[] = u"Inno Setup: App Path";

// The registry value buffer, in UTF-16 units. The query declares one unit less than the
// buffer (520 bytes) so that a terminator always fits after what it returns: a folder of
// up to 259 units with its terminator (the longest path the system allows) is read; a
// longer value ends the hand-off.
inline constexpr std::uint32_t kValueUnits = 261;
inline constexpr std::uint32_t kDeclaredValueBytes = (kValueUnits - 1) * 2;

// InstallDir as the registry holds it, UTF-16, in units, terminator included. It is used
// as it is: a folder the ANSI code page cannot spell, or spells only approximately, is still
// the folder meant.
inline constexpr std::uint32_t kInstallDirCapacity = kValueUnits;

// The hand-off record's file in the installation directory, and its sections and keys:
//   [QD]         url = LinkTemplate, paramcount = 1, 1 = CampaignQuery (both unchanged)
//   [UNINSTALL]  url = piece 0, param = piece 1 of UninstallTemplate followed directly by
//                CampaignQuery, split at "%1"
inline constexpr char16_t kVersionIniName[] = u"\\Version.ini";

// A file's path in the installation directory, UTF-16, in units, terminator included: the
// longest folder ReadInstallDir gives, the longest name and the long form's prefix.
inline constexpr std::uint32_t kInstallDirFileCapacity = kInstallDirCapacity + 24;

// Writes `installDir` followed by `name` (which starts with its separator) into `path`. The
// profile calls take a path of up to 259 units as it is; a longer one only in its long
// form, which they then take at any length: \\?\ before it, or \\?\UNC in place of the
// first backslash of a network path. Nothing in such a path is read as a separator but a
// backslash, and the folder must be absolute, as installers write it. False, with `path`
// empty, when `installDir` is empty or longer than ReadInstallDir ever gives.
bool InstallDirFile(const char16_t* installDir, const char16_t* name,
                    char16_t (&path)[kInstallDirFileCapacity]);

// The product's uninstall key, opened for querying; an empty owner when it is missing or
// cannot be opened.
platform::UniqueKey OpenUninstallKey(platform::Registry& registry);

// Reads the installation directory from the open uninstall `key` into `installDir` as
// zero-terminated UTF-16. The value is cut at the size the query returned (and at an
// embedded zero) and always terminated; its registry type is not examined. Returns false
// when the value is missing or unreadable, longer than the query allows, or empty (a
// Version.ini at the root of the current drive is no installation's).
bool ReadInstallDir(platform::Registry& registry, platform::KeyHandle key,
                    char16_t (&installDir)[kInstallDirCapacity]);

// Writes the hand-off record into Version.ini in `installDir` (as ReadInstallDir gives it),
// rows in the order above; nothing for an empty folder or one longer than ReadInstallDir
// ever gives. A missing split piece is written as empty text. Failed writes
// are not noticed (the writer creates the file and sections and leaves other content in
// place); the remaining writes still run.
void WriteHandOffRecord(platform::ProfileFiles& profiles, const package::TrailerFields& fields,
                        const char16_t* installDir);

}  // namespace wrapper::handoff
