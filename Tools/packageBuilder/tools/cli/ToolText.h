#pragma once

// Text and path helpers shared by the producer tools. The tools take their command line as
// UTF-8 on every system (on Windows it arrives as UTF-16 and is converted), so the same
// command gives the same package bytes on Linux and on Windows.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace wrapper::tools::cli {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// The command line of a wide entry point (wmain) as UTF-8 strings, program name first.
std::vector<std::string> Utf8Arguments(int argc, const wchar_t* const* argv);

// Paths travel through the tools as UTF-8 text and become paths only here.
std::filesystem::path PathFromUtf8(const std::string& text);
std::string PathToUtf8(const std::filesystem::path& path);

// Text for a one-line message: printable ASCII as is, every other byte as \xHH.
std::string Printable(std::string_view bytes);
// Printable(bytes) in double quotes, as messages and reports show a setting.
std::string Quoted(std::string_view bytes);

}  // namespace wrapper::tools::cli
