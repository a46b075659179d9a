#pragma once

// The settings file of wrapper-pack: the four text settings of a package, one per line.
//
//   # comment (a line whose first non-blank character is # or ;)
//   link      = https://example.com%1/start?
//   campaign  = utm_source=release
//   landing   = https://example.com%1/welcome?
//   uninstall = https://example.com%1/goodbye?
//
// A line is `key = value`: the key is one of link, campaign, landing, uninstall; spaces and
// tabs around key and value are dropped; the value is everything else up to the end of the
// line, byte for byte: no quotes, no escapes, no comments after a value, so a "#" or ";"
// inside a URL stays. Lines end with LF or CR LF; a UTF-8 byte order mark at the start is
// skipped. Each key may appear once in a file; a key that is absent leaves that setting as
// it was.
// A file with a control byte other than tab, CR and LF (a zero byte, say) is not text and is
// refused whole. Bytes 0x80-0xFF are text: UTF-8, or the target's ANSI code page.
// The bytes are not converted: a file saved in the target's ANSI code page carries exactly
// those bytes into the package.

#include "tools/host/Expected.h"
#include "tools/package/PackageWriter.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>

namespace wrapper::tools::package {

// The settings a file set, in kSettings order.
using SettingsGiven = std::array<bool, std::size(kSettings)>;

// A settings file is a few lines; anything bigger is not one.
inline constexpr std::uint64_t kMaxSettingsFileSize = 64 * 1024;

// Applies the settings in `text` (the whole file's bytes) to `settings` and marks in `given`
// which it set. Fails with a one-line message: "line N: ..." naming the line (`settings` may
// then hold the values of the lines before it), "not a text file (...)", or, for a file in
// UTF-16, what it is and to save it as UTF-8 or ASCII.
host::Status ParseSettings(std::string_view text, PackageSettings& settings,
                           SettingsGiven* given = nullptr);

// Reads `file` (a regular file of at most kMaxSettingsFileSize bytes) and applies it as
// ParseSettings does; the message names the file. Several files applied in turn are layers:
// a key in a later file replaces the value of an earlier one.
host::Status ReadSettingsFile(const std::filesystem::path& file, PackageSettings& settings,
                              SettingsGiven* given = nullptr);

}  // namespace wrapper::tools::package
