#include "tools/package/SettingsFile.h"

#include "tools/cli/ToolText.h"
#include "tools/host/ToolFiles.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>

namespace wrapper::tools::package {

namespace {

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

}  // namespace

host::Status ParseSettings(std::string_view text, PackageSettings& settings, SettingsGiven* given) {
    // Notepad's "Unicode" is UTF-16: every other byte of ASCII text is zero, and no key
    // would ever match.
    if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
        return host::Unexpected{
            "UTF-16 text (it starts with a UTF-16 byte order mark); save it as UTF-8 or ASCII"};
    }
    if (text.size() >= 2 && (text[0] == '\0' || text[1] == '\0')) {
        return host::Unexpected{
            "UTF-16 text (zero bytes between the characters); save it as UTF-8 or ASCII"};
    }
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
    // Text holds no control bytes but the tab and the line ends; bytes 0x80-0xFF are text
    // (UTF-8, or the ANSI code page the file is written for). Anything else is some other
    // kind of file, named as such rather than dumped line by line.
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", byte);
            const auto line =
                std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(i), '\n') + 1;
            return host::Unexpected{"not a text file (control byte " + std::string(hex) +
                                    " on line " + std::to_string(line) + ")"};
        }
    }

    std::set<std::string, std::less<>> seen;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);

        const std::string_view content = Trim(line);
        if (content.empty() || content.front() == '#' || content.front() == ';') continue;

        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        const auto equals = content.find('=');
        if (equals == std::string_view::npos) {
            return host::Unexpected{where + "expected key = value, found \"" +
                                    cli::Printable(content) + "\""};
        }
        const std::string_view key = Trim(content.substr(0, equals));
        const auto known = std::find_if(std::begin(kSettings), std::end(kSettings),
                                         [&](const Setting& setting) { return setting.key == key; });
        if (known == std::end(kSettings)) {
            return host::Unexpected{where + "unknown key \"" + cli::Printable(key) +
                                    "\" (known: link, campaign, landing, uninstall)"};
        }
        if (!seen.emplace(key).second) {
            return host::Unexpected{where + "\"" + std::string(key) + "\" is set twice"};
        }
        const auto index = static_cast<std::size_t>(known - std::begin(kSettings));
        settings.*known->member = std::string(Trim(content.substr(equals + 1)));
        if (given != nullptr) (*given)[index] = true;
    }
    return {};
}

host::Status ReadSettingsFile(const std::filesystem::path& file, PackageSettings& settings,
                              SettingsGiven* given) {
    const std::string name = "settings file " + cli::PathToUtf8(file);
    const auto input = host::InputFile::Open(file);
    if (!input) return host::Unexpected{"cannot read " + name + ": " + input.error()};
    if ((*input)->Size() > kMaxSettingsFileSize) {
        return host::Unexpected{name + " is " + std::to_string((*input)->Size()) +
                                " bytes long; a settings file holds at most " +
                                std::to_string(kMaxSettingsFileSize)};
    }
    std::string text(static_cast<std::size_t>((*input)->Size()), '\0');
    const host::Expected<bool> all = host::ReadExactly(**input, 0, text.data(), text.size());
    if (!all || !*all) {
        return host::Unexpected{"cannot read " + name + ": " + (all ? std::string() : all.error())};
    }
    const host::Status parsed = ParseSettings(text, settings, given);
    if (parsed) return parsed;
    const std::string& problem = parsed.error();
    return host::Unexpected{name + (problem.starts_with("line ") ? ", " : ": ") + problem};
}

}  // namespace wrapper::tools::package
