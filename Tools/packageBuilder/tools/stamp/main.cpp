// wrapper-stamp: writes copies of a signed base package, each with a campaign stamped into
// its signature's slot. Only the slot's bytes change: the signature stays valid.
//
// Exit status: 0 every copy was written; 1 refused or failed (no partial file left; with
// --campaigns, nothing is written when a line is refused); 2 a usage error.

#include "WrapperVersion.h"
#include "tools/cli/ToolCommandLine.h"
#include "tools/cli/ToolText.h"
#include "tools/host/ToolFiles.h"
#include "tools/package/PackageInspector.h"
#include "tools/package/PackageWriter.h"
#include "tools/package/StampSlot.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

namespace cli = wrapper::tools::cli;
namespace host = wrapper::tools::host;
namespace package = wrapper::tools::package;
using cli::kExitRefused;

constexpr const char* kTool = "wrapper-stamp";

int Fail(const std::string& message) { return cli::Refuse(kTool, message); }

struct Copy {
    std::string name;  // the output as given, or the line's NAME
    std::filesystem::path output;
    std::string campaign;
};

// The lines of a campaigns file: NAME, a tab, TEXT; empty lines are skipped. A NAME is a
// file name in the output folder, nothing that leads out of it.
host::Status ReadCampaigns(const std::string& file, const std::filesystem::path& folder,
                           std::vector<Copy>& copies) {
    std::ifstream in(cli::PathFromUtf8(file), std::ios::binary);
    if (!in) return host::Unexpected{"cannot read campaigns file " + file};
    std::set<std::string> names;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const std::string where = file + " line " + std::to_string(number) + ": ";
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos || line.find('\t', tab + 1) != std::string::npos) {
            return host::Unexpected{where + "not NAME<TAB>TEXT"};
        }
        const std::string name = line.substr(0, tab);
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string("/\\:\0", 4)) != std::string::npos) {
            return host::Unexpected{where + "name " + cli::Quoted(name) + " is not a file name"};
        }
        if (!names.insert(name).second) {
            return host::Unexpected{where + "name " + cli::Quoted(name) + " twice"};
        }
        copies.push_back({name, folder / cli::PathFromUtf8(name), line.substr(tab + 1)});
    }
    if (in.bad()) return host::Unexpected{"cannot read campaigns file " + file};
    if (copies.empty()) return host::Unexpected{"campaigns file " + file + " names no campaign"};
    return {};
}

int RunStamp(const std::vector<std::string>& arguments) {
    std::string packagePath;
    std::optional<std::string> campaign;
    std::optional<std::string> output;
    std::optional<std::string> campaignsFile;
    std::optional<std::string> outputDir;

    CLI::App app{
        "Writes a copy of a signed base package (packed with an empty campaign, signed with a\n"
        "slot: osslsigncode sign -addUnauthenticatedBlob) with a campaign stamped into the\n"
        "signature's slot. Only the slot changes: the signature stays valid, which is checked\n"
        "on every copy (same length, same Authenticode digest).\n"
        "Exit status: 0 written, 1 refused (nothing written), 2 usage error.",
        kTool};
    app.set_version_flag("--version", std::string(kTool) + " " + WRAPPER_VERSION_TEXT,
                         "print the version and exit");
    app.add_option("package", packagePath, "the signed base package")
        ->required()
        ->type_name("PACKAGE");
    auto* one = app.add_option("--campaign", campaign, "the campaign: name=value pairs joined by &")
                    ->type_name("TEXT");
    auto* out = app.add_option("-o,--output", output,
                               "the copy to write (replaces a regular file there, never the "
                               "package); - writes it to standard output")
                    ->type_name("FILE");
    auto* many = app.add_option("--campaigns", campaignsFile,
                                "one copy per line NAME<TAB>TEXT, written as DIR/NAME")
                     ->type_name("FILE");
    auto* dir = app.add_option("--output-dir", outputDir, "the folder for --campaigns' copies")
                    ->type_name("DIR");
    one->excludes(many);
    out->excludes(many);
    dir->excludes(one);
    one->needs(out);
    out->needs(one);
    many->needs(dir);
    dir->needs(many);

    if (const auto done = cli::ParseCommandLine(app, arguments, kTool)) return *done;
    if (!campaign && !campaignsFile) {
        return cli::UsageError(kTool,
                               "give --campaign TEXT -o OUT or --campaigns FILE --output-dir DIR");
    }
    if (packagePath.empty() || (output && output->empty()) || (outputDir && outputDir->empty()) ||
        (campaignsFile && campaignsFile->empty())) {
        return cli::UsageError(kTool, "an empty path names no file");
    }

    const auto opened = host::InputFile::Open(cli::PathFromUtf8(packagePath));
    if (!opened) return Fail("cannot read " + packagePath + ": " + opened.error());
    const auto& file = *opened;

    std::vector<Copy> copies;
    const bool toStdout = output && *output == "-";
    if (campaign) {
        copies.push_back(
            {*output, toStdout ? std::filesystem::path() : cli::PathFromUtf8(*output), *campaign});
    } else {
        const std::filesystem::path folder = cli::PathFromUtf8(*outputDir);
        const host::Expected<host::OutputLook> look = host::LookAtOutput(folder);
        if (!look) return Fail("cannot look at " + *outputDir + ": " + look.error());
        if (look->kind != host::PathKind::Directory) {
            return Fail("output folder " + *outputDir + " is " + host::DescribeKind(look->kind) +
                        ", not a directory");
        }
        const host::Status read = ReadCampaigns(*campaignsFile, folder, copies);
        if (!read) return Fail(read.error());
    }

    package::Inspection inspection;
    if (const host::Status read = package::InspectSource(*file, inspection); !read) {
        return Fail("cannot read " + packagePath + ": " + read.error());
    }
    // Every copy is checked before any is written: a bad line refuses the whole run.
    std::unique_ptr<host::InputFile> campaignsInput;
    if (campaignsFile) {
        if (auto list = host::InputFile::Open(cli::PathFromUtf8(*campaignsFile))) {
            campaignsInput = std::move(*list);
        }
    }
    const std::filesystem::path packageFsPath = cli::PathFromUtf8(packagePath);
    const std::filesystem::path campaignsFsPath =
        campaignsFile ? cli::PathFromUtf8(*campaignsFile) : std::filesystem::path();
    for (const Copy& copy : copies) {
        const host::Status stampable = package::CheckStamp(inspection, copy.campaign);
        const std::string prefix = campaignsFile ? copy.name + ": " : "";
        if (!stampable) return Fail(prefix + packagePath + ": " + stampable.error());
        if (copy.campaign.empty()) return Fail(prefix + "the campaign is empty");
        if (toStdout) continue;
        const host::OpenInput open[] = {{"package", &packageFsPath, file.get()},
                                        {"campaigns file", &campaignsFsPath, campaignsInput.get()}};
        const host::Status outputChecked =
            host::CheckOutputPath(copy.output, {open, campaignsInput ? 2u : 1u});
        if (!outputChecked) return Fail(outputChecked.error());
    }

#ifdef _WIN32
    // The package goes out byte for byte: no newline translation.
    if (toStdout && _setmode(_fileno(stdout), _O_BINARY) == -1) {
        return Fail("cannot write to standard output in binary mode");
    }
#endif
    for (const Copy& copy : copies) {
        if (toStdout) {
            const host::Status sent = package::WriteStamped(
                *file, inspection, copy.campaign, [](const void* data, std::size_t size) {
                    if (std::fwrite(data, 1, size, stdout) == size) return host::Status();
                    return host::Status(host::Unexpected{"cannot write to standard output"});
                });
            if (!sent) return Fail(sent.error());
            if (std::fflush(stdout) != 0) return Fail("cannot write to standard output");
            continue;
        }
        const auto created = host::OutputFile::CreateFor(copy.output);
        if (!created) return Fail("cannot write " + copy.name + ": " + created.error());
        const auto& target = *created;
        const host::Status stamped = package::WriteStamped(
            *file, inspection, copy.campaign,
            [&target](const void* data, std::size_t size) { return target->Write(data, size); });
        if (!stamped) return Fail(copy.name + ": " + stamped.error());
        if (const host::Status committed = target->Commit(); !committed) {
            return Fail(committed.error());
        }
        std::printf("%s: wrote %s: %llu bytes, stamped %s, Authenticode digest unchanged\n", kTool,
                    copy.name.c_str(), static_cast<unsigned long long>(inspection.fileSize),
                    cli::Quoted(copy.campaign).c_str());
    }
    return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return cli::ToolMain(kTool, argc, argv, RunStamp); }
#else
int main(int argc, char** argv) { return cli::ToolMain(kTool, argc, argv, RunStamp); }
#endif
