// wrapper-inspect: shows a package as the launcher reads it, verifies it, extracts its payload.
//
// Exit status: 0 all went well (and with --verify no check failed); 1 the package cannot be
// read, the launcher would refuse it, a --verify check failed, or the extracted payload could
// not be written; 2 a usage error.

#include "tools/package/PackageInspector.h"
#include "tools/package/Report.h"
#include "tools/package/ResultCodeText.h"
#include "tools/cli/ToolCommandLine.h"
#include "tools/cli/ToolText.h"
#include "tools/package/Verification.h"
#include "WrapperVersion.h"
#include "tools/host/ToolFiles.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tools = wrapper::tools;

namespace {

namespace host = wrapper::tools::host;
using tools::cli::kExitRefused;

constexpr const char* kTool = "wrapper-inspect";

int RunInspect(const std::vector<std::string>& arguments) {
    std::string package;
    std::optional<std::string> extractOption;
    bool json = false;
    bool verify = false;
    bool allowAnsi = false;
    bool strict = false;

    CLI::App app{
        "Shows a package as the launcher reads it: layout, fields, hand-off values, SHA-256 of\n"
        "its parts (the launcher image's also signing-neutral, as for the bare wrapper.exe),\n"
        "and whether each signature, nested ones too, still matches the file (the certificate\n"
        "chain is not judged: run osslsigncode verify for that).\n"
        "Exit status: 0 all well, 1 unreadable, refused by the launcher or a check failed,\n"
        "2 usage error.",
        kTool};
    app.set_version_flag("--version", std::string(kTool) + " " + WRAPPER_VERSION_TEXT,
                         "print the version and exit");
    app.add_option("package", package, "the package to inspect")->required()->type_name("PACKAGE");
    app.add_flag("--json", json, "print one JSON document instead of text");
    auto* verifyFlag = app.add_flag("--verify", verify,
                                    "check the package rules; exit 0 only when no check fails");
    app.add_flag("--allow-ansi", allowAnsi,
                 "with --verify: accept bytes 0x80-0xFF in the fields (text for the target's "
                 "ANSI code page; warns when they are UTF-8 text)")
        ->needs(verifyFlag);
    app.add_flag("--strict", strict, "with --verify: a warning fails as an error does")
        ->needs(verifyFlag);
    tools::package::SignatureRequirements required;
    app.add_flag("--require-signature", required.signature,
                 "with --verify: an unsigned package fails (a release must be signed)")
        ->needs(verifyFlag);
    app.add_flag("--require-timestamp", required.timestamp,
                 "with --verify: a signature (nested ones too) without a timestamp fails, as "
                 "does no signature")
        ->needs(verifyFlag);
    std::optional<std::string> expectedProductId;
    app.add_option("--expect-product-id", expectedProductId,
                   "with --verify: the launcher must read this product's uninstall key (the "
                   "installer's application id, e.g. {XXXXXXXX-...})")
        ->type_name("ID")
        ->needs(verifyFlag);
    app.add_option("--extract-payload", extractOption,
                   "write the payload to this file, exactly as the launcher extracts it")
        ->type_name("FILE");

    if (const auto done = tools::cli::ParseCommandLine(app, arguments, kTool)) return *done;
    if (package.empty() || (extractOption && extractOption->empty())) {
        return tools::cli::UsageError(
            kTool, std::string(package.empty() ? "PACKAGE" : "--extract-payload") +
                       ": an empty path names no file");
    }
    const std::string extractTo = extractOption.value_or("");

    auto cannot = [&](const std::string& message) {
        if (json) {
            std::fputs(tools::package::JsonError(package, message, kExitRefused).c_str(), stdout);
        }
        return tools::cli::Refuse(kTool, message);
    };

    const std::filesystem::path packagePath = tools::cli::PathFromUtf8(package);
    const auto opened = host::InputFile::Open(packagePath);
    if (!opened) return cannot("cannot read " + package + ": " + opened.error());
    const auto& file = *opened;

    // The extracted payload replaces only a regular file, and never the package itself.
    const std::filesystem::path target = tools::cli::PathFromUtf8(extractTo);
    if (!extractTo.empty()) {
        const host::OpenInput input{"package", &packagePath, file.get()};
        if (const host::Status checked = host::CheckOutputPath(target, {&input, 1}); !checked) {
            return cannot(checked.error());
        }
    }

    tools::package::Inspection inspection;
    if (const host::Status read = tools::package::InspectSource(*file, inspection); !read) {
        return cannot("cannot read " + package + ": " + read.error());
    }

    std::vector<tools::package::Check> checks;
    if (verify) checks = tools::package::VerifyPackage(inspection, allowAnsi, expectedProductId,
                                                               required);
    const std::string report =
        json ? tools::package::JsonReport(inspection, package, verify ? &checks : nullptr, strict)
        : verify ? tools::package::TextChecks(checks, package, inspection.fileSize, strict)
                 : tools::package::TextReport(inspection, package);
    std::fputs(report.c_str(), stdout);

    if (inspection.code != wrapper::kSuccess) {
        std::fprintf(stderr, "%s: the launcher would refuse %s: result code %u (%s): %s\n", kTool,
                     package.c_str(), static_cast<unsigned>(inspection.code),
                     tools::package::ResultCodeName(inspection.code),
                     tools::package::ResultCodeMeaning(inspection.code));
        return kExitRefused;
    }

    if (!extractTo.empty()) {
        wrapper::ResultCode code = wrapper::kSuccess;
        const host::Status extracted = tools::package::ExtractPayloadTo(*file, target, code);
        if (!extracted) {
            return tools::cli::Refuse(kTool, "cannot extract the payload to " + extractTo + ": " +
                                                 extracted.error());
        }
        std::fprintf(stderr, "%s: wrote the payload (%llu bytes) to %s\n", kTool,
                     static_cast<unsigned long long>(inspection.layout.payloadSize),
                     extractTo.c_str());
    }
    return verify && !tools::package::AllPassed(checks, strict) ? kExitRefused : 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return tools::cli::ToolMain(kTool, argc, argv, RunInspect); }
#else
int main(int argc, char** argv) { return tools::cli::ToolMain(kTool, argc, argv, RunInspect); }
#endif
