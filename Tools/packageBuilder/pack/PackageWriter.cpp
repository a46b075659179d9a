#include "PackageWriter.h"

#include "HostFiles.h"
#include "PeImage.h"
#include "ToolText.h"
#include "package/PackageTrailer.h"
#include "package/TrailerLocator.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

namespace packagebuilder {

namespace fs = std::filesystem;
using wrapper::package::Field;
using wrapper::package::kFieldSize;

namespace {

constexpr std::size_t kCopyChunk = 1 << 20;
constexpr std::string_view kPlaceholder = "%1";

struct NamedSetting {
    const char* name;
    const std::string* text;
};

std::string Hex(unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

std::string CheckSetting(const NamedSetting& setting, bool allowAnsi, bool unchecked) {
    const std::string& text = *setting.text;
    const std::string name = setting.name;
    if (text.size() >= kFieldSize) {
        return name + " is " + std::to_string(text.size()) + " bytes long; a field holds at most " +
               std::to_string(kFieldSize - 1);
    }
    if (unchecked) return {};
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::string where = " at position " + std::to_string(i);
        if (byte == 0) return name + " holds a zero byte" + where;
        if (byte < 0x20 || byte == 0x7F) return name + " holds control byte " + Hex(byte) + where;
        if (byte >= 0x80 && !allowAnsi) {
            return name + " holds byte " + Hex(byte) + where +
                   ", outside printable ASCII; pass --allow-ansi if it is meant for the "
                   "target's ANSI code page";
        }
    }
    return {};
}

// Appends the whole of `source` to `out`; returns the bytes copied or nullopt on failure.
std::optional<std::uint64_t> AppendFile(std::ofstream& out, const fs::path& source) {
    std::ifstream in(source, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<char> chunk(kCopyChunk);
    std::uint64_t total = 0;
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = in.gcount();
        if (got > 0) {
            out.write(chunk.data(), got);
            total += static_cast<std::uint64_t>(got);
        }
    }
    if (!in.eof() || !out) return std::nullopt;
    return total;
}

std::string CheckLauncher(const fs::path& launcher, std::vector<std::string>& warnings) {
    auto& files = HostFiles();
    const std::u16string path = FilesPath(launcher);
    wrapper::platform::UniqueFile file(files, files.OpenForReading(path.c_str()));
    if (!file) return "cannot read launcher " + PathToUtf8(launcher);
    // The launcher's own search: if it finds a marker here, every package made from this
    // image would be read from that marker, not from the trailer written below.
    if (wrapper::package::LocateTrailer(files, file.Get()) == wrapper::kSuccess) {
        std::int64_t markerEnd = 0;
        files.Seek(file.Get(), 0, wrapper::platform::SeekOrigin::Current, &markerEnd);
        return "launcher " + PathToUtf8(launcher) + " holds the trailer marker at offset " +
               std::to_string(markerEnd - wrapper::package::kMarkerSize) +
               "; it is a package, not a bare launcher";
    }
    // A signature covers the file it was made for; inside a package it is dead weight that
    // signing tools trip over.
    std::ifstream in(launcher, std::ios::binary);
    std::error_code error;
    const auto size = fs::file_size(launcher, error);
    if (in && !error && ReadPeInfo(in, 0, size).certificateTable) {
        warnings.push_back("launcher " + PathToUtf8(launcher) +
                           " is signed; sign the package instead of the launcher");
    }
    return {};
}

std::string CheckPayload(const fs::path& payload) {
    std::ifstream in(payload, std::ios::binary);
    std::error_code error;
    const auto size = fs::file_size(payload, error);
    if (!in || error) return "cannot read payload " + PathToUtf8(payload);
    const PeInfo info = ReadPeInfo(in, 0, size);
    if (info.verdict == PeVerdict::Executable) return {};
    std::string problem = "payload " + PathToUtf8(payload) + " is " + DescribeVerdict(info.verdict);
    if (info.verdict == PeVerdict::NoPeSignature) {
        problem += " (e_lfanew " + std::to_string(info.peOffset) + ")";
    }
    return problem;
}

std::string WriteInto(const PackageRequest& request, const fs::path& target, PackResult& result) {
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out) return "cannot create " + PathToUtf8(target) + " beside the package";

    const auto launcherBytes = AppendFile(out, request.launcher);
    if (!launcherBytes) return "cannot read launcher " + PathToUtf8(request.launcher);
    const auto payloadBytes = AppendFile(out, request.payload);
    if (!payloadBytes) return "cannot read payload " + PathToUtf8(request.payload);

    wrapper::package::TrailerFields fields = {};
    const std::string* texts[] = {&request.settings.linkTemplate, &request.settings.campaignQuery,
                                  &request.settings.landingTemplate,
                                  &request.settings.uninstallTemplate};
    for (std::uint32_t i = 0; i < wrapper::package::kFieldCount; ++i) {
        std::memcpy(fields.bytes[i], texts[i]->data(), texts[i]->size());
    }
    unsigned char trailer[wrapper::package::kTrailerSize];
    wrapper::package::EncodeTrailer(request.payloadSizeOverride.value_or(*payloadBytes), fields,
                                    trailer);
    out.write(reinterpret_cast<const char*>(trailer), sizeof trailer);

    std::uint64_t trailing = request.trailingFillerBytes;
    const std::vector<char> filler(kCopyChunk, 0);
    for (std::uint64_t left = request.trailingFillerBytes; left > 0;) {
        const auto n = static_cast<std::streamsize>(std::min<std::uint64_t>(left, filler.size()));
        out.write(filler.data(), n);
        left -= static_cast<std::uint64_t>(n);
    }
    if (request.trailingFile) {
        const auto fileBytes = AppendFile(out, *request.trailingFile);
        if (!fileBytes) return "cannot read trailing file " + PathToUtf8(*request.trailingFile);
        trailing += *fileBytes;
    }
    out.close();
    if (!out) return "cannot write " + PathToUtf8(target);

    result.launcherBytes = *launcherBytes;
    result.payloadBytes = *payloadBytes;
    result.trailingBytes = trailing;
    result.packageBytes =
        *launcherBytes + *payloadBytes + wrapper::package::kTrailerSize + trailing;
    return {};
}

}  // namespace

SettingsReview ReviewSettings(const PackageSettings& settings, bool allowAnsi, bool unchecked) {
    SettingsReview review;
    const NamedSetting named[] = {
        {"link template", &settings.linkTemplate},
        {"campaign query", &settings.campaignQuery},
        {"landing template", &settings.landingTemplate},
        {"uninstall template", &settings.uninstallTemplate},
    };
    for (const NamedSetting& setting : named) {
        review.refusal = CheckSetting(setting, allowAnsi, unchecked);
        if (!review.refusal.empty()) return review;
    }
    if (!unchecked && settings.campaignQuery.starts_with('?')) {
        review.refusal =
            "campaign query starts with \"?\"; the template ends with it, write the query without";
        return review;
    }
    if (settings.landingTemplate.find(kPlaceholder) == std::string::npos) {
        review.warnings.push_back(
            "landing template has no \"%1\": the language segment will follow the whole template");
    }
    if (settings.uninstallTemplate.find(kPlaceholder) == std::string::npos) {
        review.warnings.push_back(
            "uninstall template has no \"%1\": UNINSTALL url will be the whole template and the "
            "campaign query, param will be empty");
    }
    return review;
}

PackResult WritePackage(const PackageRequest& request) {
    PackResult result;
    SettingsReview review = ReviewSettings(request.settings, request.allowAnsi, request.unchecked);
    result.warnings = std::move(review.warnings);
    result.refusal = std::move(review.refusal);
    if (!result.refusal.empty()) return result;

    if (!request.unchecked) {
        result.refusal = CheckLauncher(request.launcher, result.warnings);
        if (result.refusal.empty()) result.refusal = CheckPayload(request.payload);
        if (!result.refusal.empty()) return result;
    }

    const fs::path partial = PartialPathFor(request.output);
    result.refusal = WriteInto(request, partial, result);
    std::error_code error;
    if (result.refusal.empty()) {
        fs::rename(partial, request.output, error);
        if (error) {
            result.refusal =
                "cannot rename into " + PathToUtf8(request.output) + ": " + error.message();
        }
    }
    if (!result.refusal.empty()) fs::remove(partial, error);
    return result;
}

}  // namespace packagebuilder
