#pragma once

#include "handoff/HandOffRecord.h"
#include "package/PackageTrailer.h"
#include "platform/CodePages.h"
#include "platform/ProfileFiles.h"
#include "platform/Shell.h"

#include <cstdint>

namespace wrapper::handoff {

// The installed application keeps its user-interface language in this file in its
// installation directory, as [Language] LANGUAGE = <folder>\<code>.<extension>, for
// example lang\de.ini.
inline constexpr char16_t kCfgIniName[] = u"\\cfg.ini";

// The language value buffer in bytes, terminator included: a longer value is cut to 259.
inline constexpr std::uint32_t kLanguageValueSize = platform::kProfileValueSize;

// The longest segment ReadLanguageSegment gives, in bytes, without the terminator.
inline constexpr std::uint32_t kMaxSegmentLength = 3;

// The landing URL in bytes (ANSI) or UTF-16 units, terminator included: at most piece 0
// and piece 1 of LandingTemplate (together no longer than the field), the segment and
// CampaignQuery. Converting ANSI text never gives more UTF-16 units than it had bytes.
inline constexpr std::uint32_t kLandingUrlCapacity =
    2 * package::kFieldSize + kMaxSegmentLength + 1;

// The URL path segment for the installed application's language, read from cfg.ini in
// `installDir` (zero-terminated UTF-16). The code is the first dot-separated piece of the
// second backslash-separated piece of the value; the segment is "\fr", "\de" or "\jp"
// when the code is exactly fr, de or jp (case-sensitive), and empty text for any other
// code, a missing piece, or a missing file, section or key. Returns zero-terminated
// static text, never null.
const char* ReadLanguageSegment(platform::ProfileFiles& profiles, const char16_t* installDir);

// Opens the landing page with the signed-in user's normal rights. When the launcher runs
// `elevated`, COM is initialised around the shell calls and the desktop shell is asked to
// open the URL; when that fails (no COM, no desktop shell, a shell that was ended) the page
// is not opened at all: from the launcher it would open with administrator rights. Without
// elevation the launcher opens it itself. The URL is the same either way: piece 0 of
// LandingTemplate split at "%1", then `segment`, then piece 1, then CampaignQuery, with
// nothing between them; a missing piece is empty text, and a template without "%1" is
// piece 0 whole. `segment` is zero-terminated ANSI text of at most kMaxSegmentLength
// bytes. Nothing is opened when the URL is empty or does not fit its buffers; whether the
// handler could be started is not reported.
void OpenLandingPage(platform::Shell& shell, platform::CodePages& codePages,
                     const package::TrailerFields& fields, const char* segment,
                     bool elevated = true);

}  // namespace wrapper::handoff
