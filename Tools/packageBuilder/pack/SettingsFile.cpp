#include "SettingsFile.h"

#include "ToolText.h"

#include <fstream>
#include <iterator>
#include <set>

namespace packagebuilder {

namespace {

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string* SettingFor(std::string_view key, PackageSettings& settings) {
    if (key == "link") return &settings.linkTemplate;
    if (key == "campaign") return &settings.campaignQuery;
    if (key == "landing") return &settings.landingTemplate;
    if (key == "uninstall") return &settings.uninstallTemplate;
    return nullptr;
}

}  // namespace

std::string ParseSettings(std::string_view text, PackageSettings& settings) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());

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
            return where + "expected key = value, found \"" + Printable(content) + "\"";
        }
        const std::string_view key = Trim(content.substr(0, equals));
        std::string* setting = SettingFor(key, settings);
        if (setting == nullptr) {
            return where + "unknown key \"" + Printable(key) +
                   "\" (known: link, campaign, landing, uninstall)";
        }
        if (!seen.emplace(key).second) return where + "\"" + std::string(key) + "\" is set twice";
        *setting = std::string(Trim(content.substr(equals + 1)));
    }
    return {};
}

std::string ReadSettingsFile(const std::filesystem::path& file, PackageSettings& settings) {
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) return "cannot read settings file " + PathToUtf8(file);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return "cannot read settings file " + PathToUtf8(file);
    std::string problem = ParseSettings(text, settings);
    if (!problem.empty()) problem = "settings file " + PathToUtf8(file) + ", " + problem;
    return problem;
}

}  // namespace packagebuilder
