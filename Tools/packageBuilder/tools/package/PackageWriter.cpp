#include "tools/package/PackageWriter.h"

#include "tools/package/PackageInspector.h"
#include "tools/cli/ToolText.h"
#include "tools/package/Verification.h"
#include "package/PackageTrailer.h"
#include "tools/host/ToolFiles.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace wrapper::tools::package {

namespace fs = std::filesystem;
namespace host = wrapper::tools::host;
using wrapper::package::kFieldSize;

namespace {

constexpr std::size_t kCopyChunk = 1 << 20;

struct Input {
    const char* role;  // "launcher", "payload", ...
    fs::path path;
    std::unique_ptr<host::InputFile> file;
};

std::string FieldLengths(const PackageSettings& settings) {
    for (const Setting& setting : kSettings) {
        const std::string& text = settings.*setting.member;
        if (text.size() >= kFieldSize) {
            return std::string(setting.words) + " is " + std::to_string(text.size()) +
                   " bytes long; a field holds at most " + std::to_string(kFieldSize - 1);
        }
    }
    return {};
}

std::string OpenInput(Input& input) {
    std::string error;
    input.file = host::InputFile::Open(input.path, error);
    if (input.file == nullptr) {
        return "cannot read " + std::string(input.role) + " " + cli::PathToUtf8(input.path) + ": " +
               error;
    }
    return {};
}

// Only a regular file that is none of the inputs may be replaced.
std::string CheckOutput(const fs::path& output, const std::vector<Input>& inputs) {
    std::vector<host::OpenInput> open;
    for (const Input& input : inputs) {
        if (input.file != nullptr) open.push_back({input.role, &input.path, input.file.get()});
    }
    return host::CheckOutputPath(output, open);
}

void EncodeTrailerFor(const PackageSettings& settings, std::uint64_t payloadSize,
                      unsigned char (&trailer)[wrapper::package::kTrailerSize]) {
    wrapper::package::TrailerFields fields = {};
    for (const Setting& setting : kSettings) {
        const std::string& text = settings.*setting.member;
        std::memcpy(fields.bytes[static_cast<std::uint32_t>(setting.field)], text.data(),
                    text.size());
    }
    wrapper::package::EncodeTrailer(payloadSize, fields, trailer);
}

// The rules on the package as it would be without the test-package additions: the first
// that fails refuses, the others that did not pass are warnings.
std::string ApplyRules(const PackageRequest& request, Input& launcher, Input& payload,
                       std::vector<PackWarning>& warnings) {
    unsigned char trailer[wrapper::package::kTrailerSize];
    EncodeTrailerFor(request.settings, payload.file->Size(), trailer);
    host::MemorySource trailerBytes({std::begin(trailer), std::end(trailer)});
    host::ConcatSource package;
    package.Append(*launcher.file);
    package.Append(*payload.file);
    package.Append(trailerBytes);

    Inspection inspection;
    std::string error;
    if (!InspectSource(package, inspection, error)) {
        return "cannot read the launcher or the payload: " + error;
    }
    for (const Check& check :
         VerifyPackage(inspection, request.allowAnsi)) {
        if (check.passed) continue;
        std::string finding = check.detail;
        if (check.rule->subject == Subject::Launcher) {
            finding = "launcher " + cli::PathToUtf8(launcher.path) + ": " + finding;
        } else if (check.rule->subject == Subject::Payload) {
            finding = "payload " + cli::PathToUtf8(payload.path) + ": " + finding;
        }
        if (Fails(check, request.strict)) {
            return request.strict && check.rule->severity == Severity::Warning
                       ? finding + " (a warning; --strict refuses it)"
                       : finding;
        }
        warnings.push_back({check.rule->id, finding});
    }
    return {};
}

// The package file being written, and the digests of PackResult::sha256 taken from the
// bytes as they go out (the parts' digests over their spans of the package).
class PackageOutput {
public:
    PackageOutput(host::OutputFile& file, bool digests, Input& launcher, Input& payload)
        : file_(file) {
        if (!digests) return;
        const std::uint64_t launcherEnd = launcher.file->Size();
        const std::uint64_t payloadEnd = launcherEnd + payload.file->Size();
        package_ = std::make_unique<RangeDigest>(host::DigestAlgorithm::Sha256, 0, UINT64_MAX);
        launcher_ = std::make_unique<RangeDigest>(host::DigestAlgorithm::Sha256, 0, launcherEnd);
        neutral_ = ImageDigest(ReadPeInfo(*launcher.file, 0, launcherEnd), launcherEnd,
                               host::DigestAlgorithm::Sha256);
        payload_ =
            std::make_unique<RangeDigest>(host::DigestAlgorithm::Sha256, launcherEnd, payloadEnd);
    }

    bool Write(const void* data, std::size_t size, std::string& error) {
        for (const auto* digest : {&package_, &launcher_, &neutral_, &payload_}) {
            if (*digest) (*digest)->Feed(written_, static_cast<const std::uint8_t*>(data), size);
        }
        written_ += size;
        return file_.Write(data, size, error);
    }

    PackDigests Finish() {
        PackDigests digests;
        if (package_) digests.package = package_->Finish();
        if (launcher_) digests.launcherImage = launcher_->Finish();
        if (neutral_) digests.launcherImageNeutral = neutral_->Finish();
        if (payload_) digests.payload = payload_->Finish();
        return digests;
    }

private:
    host::OutputFile& file_;
    std::uint64_t written_ = 0;
    std::unique_ptr<RangeDigest> package_, launcher_, neutral_, payload_;
};

// Copies all of `input` into `out`; returns the bytes copied.
std::string CopyInto(PackageOutput& out, Input& input, const fs::path& target,
                     std::uint64_t& copied) {
    std::vector<char> chunk(kCopyChunk);
    copied = 0;
    while (copied < input.file->Size()) {
        std::size_t got = 0;
        std::string error;
        if (!input.file->ReadAt(copied, chunk.data(), chunk.size(), got, error)) {
            return "cannot read " + std::string(input.role) + " " + cli::PathToUtf8(input.path) + ": " +
                   error;
        }
        if (!out.Write(chunk.data(), got, error)) {
            return "cannot write " + cli::PathToUtf8(target) + ": " + error;
        }
        copied += got;
    }
    return {};
}

std::string WriteAll(const PackageRequest& request, Input& launcher, Input& payload,
                     Input* trailingFile, PackResult& result) {
    std::string error;
    const auto file = host::OutputFile::CreateFor(request.output, error);
    if (file == nullptr) return "cannot write " + cli::PathToUtf8(request.output) + ": " + error;
    PackageOutput out(*file, request.digests, launcher, payload);
    const std::string cannotWrite = "cannot write " + cli::PathToUtf8(request.output) + ": ";

    std::uint64_t launcherBytes = 0;
    std::uint64_t payloadBytes = 0;
    std::string problem = CopyInto(out, launcher, request.output, launcherBytes);
    if (problem.empty()) problem = CopyInto(out, payload, request.output, payloadBytes);
    if (!problem.empty()) return problem;

    unsigned char trailer[wrapper::package::kTrailerSize];
    EncodeTrailerFor(request.settings, request.payloadSizeOverride.value_or(payloadBytes), trailer);
    if (!out.Write(trailer, sizeof trailer, error)) return cannotWrite + error;

    const std::vector<char> filler(kCopyChunk, 0);
    for (std::uint64_t left = request.trailingFillerBytes; left > 0;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, filler.size()));
        // The first failed write ends it: a full disk is not filled any further.
        if (!out.Write(filler.data(), n, error)) return cannotWrite + error;
        left -= n;
    }
    std::uint64_t trailingFileBytes = 0;
    if (trailingFile != nullptr) {
        problem = CopyInto(out, *trailingFile, request.output, trailingFileBytes);
        if (!problem.empty()) return problem;
    }
    if (!file->Commit(error)) return cannotWrite + error;
    result.sha256 = out.Finish();

    result.launcherBytes = launcherBytes;
    result.payloadBytes = payloadBytes;
    result.trailingBytes = request.trailingFillerBytes + trailingFileBytes;
    result.packageBytes =
        launcherBytes + payloadBytes + wrapper::package::kTrailerSize + result.trailingBytes;
    return {};
}

}  // namespace

PackResult WritePackage(const PackageRequest& request) {
    PackResult result;
    result.refusal = FieldLengths(request.settings);
    if (!result.refusal.empty()) return result;

    std::vector<Input> inputs;
    inputs.push_back({"launcher", request.launcher, nullptr});
    inputs.push_back({"payload", request.payload, nullptr});
    if (request.trailingFile) inputs.push_back({"trailing file", *request.trailingFile, nullptr});
    for (const fs::path& settings : request.settingsFiles) {
        inputs.push_back({"settings file", settings, nullptr});
    }
    for (Input& input : inputs) {
        result.refusal = OpenInput(input);
        if (!result.refusal.empty()) return result;
    }
    result.refusal = CheckOutput(request.output, inputs);
    if (!result.refusal.empty()) return result;
    // Settings files are only compared with the output; their text is already in `request`.
    inputs.resize(request.trailingFile ? 3 : 2);

    std::vector<PackWarning> warnings;
    if (!request.unchecked) {
        result.refusal = ApplyRules(request, inputs[0], inputs[1], warnings);
        if (!result.refusal.empty()) return result;
    }
    result.refusal = WriteAll(request, inputs[0], inputs[1],
                              request.trailingFile ? &inputs[2] : nullptr, result);
    if (result.refusal.empty()) result.warnings = std::move(warnings);
    return result;
}

}  // namespace wrapper::tools::package
