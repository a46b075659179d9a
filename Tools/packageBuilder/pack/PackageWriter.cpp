#include "PackageWriter.h"

#include "package/PackageTrailer.h"

#include <array>
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

std::string CheckField(const char* name, const std::string& text) {
    if (text.size() >= kFieldSize) {
        return std::string(name) + " is " + std::to_string(text.size()) +
               " bytes; a field holds at most " + std::to_string(kFieldSize - 1);
    }
    if (text.find('\0') != std::string::npos) return std::string(name) + " holds a zero byte";
    return {};
}

void PutField(wrapper::package::TrailerFields& fields, Field field, const std::string& text) {
    std::memcpy(fields.bytes[static_cast<std::uint32_t>(field)], text.data(), text.size());
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

std::string WriteInto(const PackageRequest& request, const fs::path& target) {
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out) return "cannot write " + target.string();

    if (!AppendFile(out, request.launcher)) return "cannot read launcher " + request.launcher.string();
    const auto payloadBytes = AppendFile(out, request.payload);
    if (!payloadBytes) return "cannot read payload " + request.payload.string();

    wrapper::package::TrailerFields fields = {};
    PutField(fields, Field::LinkTemplate, request.settings.linkTemplate);
    PutField(fields, Field::CampaignQuery, request.settings.campaignQuery);
    PutField(fields, Field::LandingTemplate, request.settings.landingTemplate);
    PutField(fields, Field::UninstallTemplate, request.settings.uninstallTemplate);
    unsigned char trailer[wrapper::package::kTrailerSize];
    wrapper::package::EncodeTrailer(request.payloadSizeOverride.value_or(*payloadBytes), fields,
                                    trailer);
    out.write(reinterpret_cast<const char*>(trailer), sizeof trailer);

    const std::vector<char> filler(kCopyChunk, 0);
    for (std::uint64_t left = request.trailingFillerBytes; left > 0;) {
        const auto n = static_cast<std::streamsize>(std::min<std::uint64_t>(left, filler.size()));
        out.write(filler.data(), n);
        left -= static_cast<std::uint64_t>(n);
    }
    if (request.trailingFile && !AppendFile(out, *request.trailingFile)) {
        return "cannot read trailing file " + request.trailingFile->string();
    }
    out.close();
    if (!out) return "cannot write " + target.string();
    return {};
}

}  // namespace

std::string WritePackage(const PackageRequest& request) {
    const std::pair<const char*, const std::string*> named[] = {
        {"link template", &request.settings.linkTemplate},
        {"campaign query", &request.settings.campaignQuery},
        {"landing template", &request.settings.landingTemplate},
        {"uninstall template", &request.settings.uninstallTemplate},
    };
    for (const auto& [name, text] : named) {
        if (auto problem = CheckField(name, *text); !problem.empty()) return problem;
    }

    // Written beside the target and renamed into place, so a failed run never leaves a
    // half-written package under the target's name.
    fs::path partial = request.output;
    partial += ".partial";
    std::string problem = WriteInto(request, partial);
    std::error_code error;
    if (problem.empty()) {
        fs::rename(partial, request.output, error);
        if (error) problem = "cannot rename into " + request.output.string() + ": " + error.message();
    }
    if (!problem.empty()) fs::remove(partial, error);
    return problem;
}

}  // namespace packagebuilder
