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

// After a successful install: reads the installation directory from the product's
// uninstall key and writes the hand-off record into its Version.ini, rows in the order
// above. The value is cut at the size the query returned (and at an embedded zero) and
// always terminated; its registry type is not examined.
//
// Returns true when the directory was found: `installDir` (kInstallDirCapacity units)
// then holds it as zero-terminated UTF-16 and `uninstallKey` owns the open key, which
// the caller keeps open until the landing page is open. Returns false, having written
// nothing and with the key closed again, when the key or the value is missing or
// unreadable, the value is longer than the query allows, or the directory is empty; the
// hand-off then ends silently. A missing split piece is written as
// empty text. Failed writes are not noticed (the writer creates the file and sections
// and leaves other content in place); the remaining writes still run.
bool WriteHandOffRecord(platform::Registry& registry, platform::ProfileFiles& profiles,
                        const package::TrailerFields& fields, platform::UniqueKey& uninstallKey,
                        char16_t (&installDir)[kInstallDirCapacity]);

}  // namespace wrapper::handoff
