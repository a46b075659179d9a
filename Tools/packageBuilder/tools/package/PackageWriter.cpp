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

host::Status FieldLengths(const PackageSettings& settings) {
    for (const Setting& setting : kSettings) {
        const std::string& text = settings.*setting.member;
        if (text.size() >= kFieldSize) {
            return host::Unexpected{
                std::string(setting.words) + " is " + std::to_string(text.size()) +
                " bytes long; a field holds at most " + std::to_string(kFieldSize - 1)};
        }
    }
    return {};
}

host::Status OpenInput(Input& input) {
    auto file = host::InputFile::Open(input.path);
    if (!file) {
        return host::Unexpected{"cannot read " + std::string(input.role) + " " +
                                cli::PathToUtf8(input.path) + ": " + file.error()};
    }
    input.file = std::move(*file);
    return {};
}

// Only a regular file that is none of the inputs may be replaced.
host::Status CheckOutput(const fs::path& output, const std::vector<Input>& inputs) {
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
host::Status ApplyRules(const PackageRequest& request, Input& launcher, Input& payload,
                        std::vector<PackWarning>& warnings) {
    unsigned char trailer[wrapper::package::kTrailerSize];
    EncodeTrailerFor(request.settings, payload.file->Size(), trailer);
    host::MemorySource trailerBytes({std::begin(trailer), std::end(trailer)});
    host::ConcatSource package;
    package.Append(*launcher.file);
    package.Append(*payload.file);
    package.Append(trailerBytes);

    Inspection inspection;
    if (const host::Status read = InspectSource(package, inspection); !read) {
        return host::Unexpected{"cannot read the launcher or the payload: " + read.error()};
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
            return host::Unexpected{request.strict && check.rule->severity == Severity::Warning
                                        ? finding + " (a warning; --strict refuses it)"
                                        : finding};
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

    host::Status Write(const void* data, std::size_t size) {
        for (const auto* digest : {&package_, &launcher_, &neutral_, &payload_}) {
            if (*digest) (*digest)->Feed(written_, static_cast<const std::uint8_t*>(data), size);
        }
        written_ += size;
        return file_.Write(data, size);
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
host::Status CopyInto(PackageOutput& out, Input& input, const fs::path& target,
                      std::uint64_t& copied) {
    std::vector<char> chunk(kCopyChunk);
    copied = 0;
    while (copied < input.file->Size()) {
        const host::Expected<std::size_t> read =
            input.file->ReadAt(copied, chunk.data(), chunk.size());
        if (!read) {
            return host::Unexpected{"cannot read " + std::string(input.role) + " " +
                                    cli::PathToUtf8(input.path) + ": " + read.error()};
        }
        const std::size_t got = *read;
        if (const host::Status written = out.Write(chunk.data(), got); !written) {
            return host::Unexpected{"cannot write " + cli::PathToUtf8(target) + ": " +
                                    written.error()};
        }
        copied += got;
    }
    return {};
}

host::Status WriteAll(const PackageRequest& request, Input& launcher, Input& payload,
                      Input* trailingFile, PackResult& result) {
    const auto created = host::OutputFile::CreateFor(request.output);
    if (!created) {
        return host::Unexpected{"cannot write " + cli::PathToUtf8(request.output) + ": " +
                                created.error()};
    }
    const auto& file = *created;
    PackageOutput out(*file, request.digests, launcher, payload);
    const std::string cannotWrite = "cannot write " + cli::PathToUtf8(request.output) + ": ";

    std::uint64_t launcherBytes = 0;
    std::uint64_t payloadBytes = 0;
    host::Status copied = CopyInto(out, launcher, request.output, launcherBytes);
    if (copied) copied = CopyInto(out, payload, request.output, payloadBytes);
    if (!copied) return copied;

    unsigned char trailer[wrapper::package::kTrailerSize];
    EncodeTrailerFor(request.settings, request.payloadSizeOverride.value_or(payloadBytes), trailer);
    if (const host::Status written = out.Write(trailer, sizeof trailer); !written) {
        return host::Unexpected{cannotWrite + written.error()};
    }

    const std::vector<char> filler(kCopyChunk, 0);
    for (std::uint64_t left = request.trailingFillerBytes; left > 0;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, filler.size()));
        // The first failed write ends it: a full disk is not filled any further.
        if (const host::Status written = out.Write(filler.data(), n); !written) {
            return host::Unexpected{cannotWrite + written.error()};
        }
        left -= n;
    }
    std::uint64_t trailingFileBytes = 0;
    if (trailingFile != nullptr) {
        copied = CopyInto(out, *trailingFile, request.output, trailingFileBytes);
        if (!copied) return copied;
    }
    if (const host::Status committed = file->Commit(); !committed) {
        return host::Unexpected{cannotWrite + committed.error()};
    }
    result.sha256 = out.Finish();

    result.launcherBytes = launcherBytes;
    result.payloadBytes = payloadBytes;
    result.trailingBytes = request.trailingFillerBytes + trailingFileBytes;
    result.packageBytes =
        launcherBytes + payloadBytes + wrapper::package::kTrailerSize + result.trailingBytes;
    return {};
}

}  // namespace

host::Expected<PackResult> WritePackage(const PackageRequest& request) {
    PackResult result;
    if (host::Status fit = FieldLengths(request.settings); !fit) {
        return host::Unexpected{fit.error()};
    }

    std::vector<Input> inputs;
    inputs.push_back({"launcher", request.launcher, nullptr});
    inputs.push_back({"payload", request.payload, nullptr});
    if (request.trailingFile) inputs.push_back({"trailing file", *request.trailingFile, nullptr});
    for (const fs::path& settings : request.settingsFiles) {
        inputs.push_back({"settings file", settings, nullptr});
    }
    for (Input& input : inputs) {
        if (host::Status opened = OpenInput(input); !opened) {
            return host::Unexpected{opened.error()};
        }
    }
    if (host::Status checked = CheckOutput(request.output, inputs); !checked) {
        return host::Unexpected{checked.error()};
    }
    // Settings files are only compared with the output; their text is already in `request`.
    inputs.resize(request.trailingFile ? 3 : 2);

    std::vector<PackWarning> warnings;
    if (!request.unchecked) {
        if (host::Status passed = ApplyRules(request, inputs[0], inputs[1], warnings); !passed) {
            return host::Unexpected{passed.error()};
        }
    }
    if (host::Status written = WriteAll(request, inputs[0], inputs[1],
                                        request.trailingFile ? &inputs[2] : nullptr, result);
        !written) {
        return host::Unexpected{written.error()};
    }
    result.warnings = std::move(warnings);
    return result;
}

}  // namespace wrapper::tools::package
