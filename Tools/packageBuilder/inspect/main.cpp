// wrapper-inspect: shows a package as the launcher reads it, verifies it, extracts its payload.
//
// Exit status: 0 all went well (and with --verify every check passed); 1 a --verify check
// failed; 2 the launcher would refuse the package; 3 the tool could not read the package or
// write the extracted payload; other non-zero values are command-line errors.

#include "PackageInspector.h"
#include "Report.h"
#include "ResultCodeText.h"
#include "ToolText.h"
#include "Verification.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kChecksFailed = 1;
constexpr int kLauncherRefuses = 2;
constexpr int kCannotDoIt = 3;

int RunInspect(const std::vector<std::string>& arguments) {
    std::string package;
    std::string extractTo;
    bool json = false;
    bool verify = false;
    bool allowAnsi = false;

    CLI::App app{"Shows a package as the launcher reads it: layout, fields, hand-off values."};
    app.add_option("package", package, "the package to inspect")->required()->type_name("PACKAGE");
    app.add_flag("--json", json, "print one JSON document instead of text");
    app.add_flag("--verify", verify,
                 "check what a producer can get wrong; exit 0 only when every check passes");
    app.add_flag("--allow-ansi", allowAnsi,
                 "with --verify: accept bytes 0x80-0xFF in the fields (text for the target's "
                 "ANSI code page)");
    app.add_option("--extract-payload", extractTo,
                   "write the payload to this file, exactly as the launcher extracts it")
        ->type_name("FILE");

    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }

    std::string error;
    const auto inspection =
        packageinspector::InspectPackage(packagebuilder::PathFromUtf8(package), error);
    if (!inspection) {
        std::fprintf(stderr, "wrapper-inspect: %s\n", error.c_str());
        return kCannotDoIt;
    }

    std::vector<packageinspector::Check> checks;
    if (verify) checks = packageinspector::VerifyPackage(*inspection, allowAnsi);
    const std::string report =
        json     ? packageinspector::JsonReport(*inspection, package, verify ? &checks : nullptr)
        : verify ? packageinspector::TextChecks(checks)
                 : packageinspector::TextReport(*inspection, package);
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);

    if (inspection->code != wrapper::kSuccess) {
        std::fprintf(stderr,
                     "wrapper-inspect: the launcher would refuse %s: result code %u (%s): %s\n",
                     package.c_str(), static_cast<unsigned>(inspection->code),
                     packageinspector::ResultCodeName(inspection->code),
                     packageinspector::ResultCodeMeaning(inspection->code));
        return kLauncherRefuses;
    }

    if (!extractTo.empty()) {
        wrapper::ResultCode code = wrapper::kSuccess;
        const std::string problem = packageinspector::ExtractPayloadTo(
            packagebuilder::PathFromUtf8(package), packagebuilder::PathFromUtf8(extractTo), code);
        if (!problem.empty()) {
            std::fprintf(stderr, "wrapper-inspect: cannot extract the payload to %s: %s",
                         extractTo.c_str(), problem.c_str());
            if (code != wrapper::kSuccess) {
                std::fprintf(stderr, " (result code %u, %s)", static_cast<unsigned>(code),
                             packageinspector::ResultCodeName(code));
            }
            std::fputs("\n", stderr);
            return kCannotDoIt;
        }
        std::fprintf(stderr, "wrapper-inspect: wrote the payload (%llu bytes) to %s\n",
                     static_cast<unsigned long long>(inspection->layout.payloadSize),
                     extractTo.c_str());
    }
    return verify && !packageinspector::AllPassed(checks) ? kChecksFailed : 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    return RunInspect(packagebuilder::Utf8Arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
    return RunInspect({argv, argv + argc});
}
#endif
