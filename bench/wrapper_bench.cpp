// Locator and extraction timings on real files in the page cache, each beside its
// yardstick: the tests' window-by-window reference search for the locator (a window at
// every byte, "per_byte"), cp and copy_file_range for the extraction. scripts/bench makes
// the files and reads the medians from the JSON output.
//
//   wrapper-bench [Google Benchmark flags] --work-dir=DIR
//       --end=PKG --behind-21032=PKG --behind-1mib=PKG --absent=FILE --absent-prefix=FILE
//       --payload=FILE --payload-offset=BYTES --payload-size=BYTES
//
// The packages hold the same launcher and payload; they differ only in what follows the
// trailer (nothing, 21,032 bytes, 1 MiB) or in having no trailer at all. The absent-prefix
// file is the first bytes of the no-trailer file: the per-byte scan needs minutes for all
// 110 MB, so it is timed on the prefix and scaled by the script.

#include "BenchText.h"
#include "package/PayloadExtractor.h"
#include "package/TrailerLocator.h"
#include "posix/PosixFiles.h"
#include "WindowByWindowLocator.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using wrapper::ResultCode;
using wrapper::bench::posix::PosixFiles;
using wrapper::platform::FileHandle;
using wrapper::platform::SeekOrigin;

using Locate = ResultCode (*)(wrapper::platform::Files&, FileHandle);

struct Options {
    std::map<std::string, std::string> values;

    const std::string& Get(const std::string& name) const {
        const auto found = values.find(name);
        if (found == values.end()) {
            std::fprintf(stderr, "wrapper-bench: --%s is required\n", name.c_str());
            std::exit(2);
        }
        return found->second;
    }
    std::uint64_t Number(const std::string& name) const {
        return std::strtoull(Get(name).c_str(), nullptr, 10);
    }
};

// What a locator left behind: its code and, on success, the position.
struct Outcome {
    ResultCode code;
    std::int64_t position;
    bool operator==(const Outcome&) const = default;
};

Outcome RunLocator(PosixFiles& files, FileHandle file, Locate locate) {
    Outcome outcome{locate(files, file), -1};
    if (outcome.code == wrapper::kSuccess) files.Seek(file, 0, SeekOrigin::Current, &outcome.position);
    return outcome;
}

// Both locators must agree on every file before any time means anything.
bool SameOutcome(PosixFiles& files, const std::string& path, const char* label) {
    wrapper::platform::UniqueFile file(files, files.OpenForReading(wrapper::bench::ToUtf16(path).c_str()));
    if (!file) {
        std::fprintf(stderr, "wrapper-bench: cannot open %s\n", path.c_str());
        return false;
    }
    const Outcome block = RunLocator(files, file.Get(), wrapper::package::LocateTrailer);
    const Outcome perByte = RunLocator(files, file.Get(), wrapper::testing::LocateWindowByWindow);
    if (!(block == perByte)) {
        std::fprintf(stderr,
                     "wrapper-bench: %s: block locator gave code %u at %lld, per-byte scan code %u at %lld\n",
                     label, block.code, static_cast<long long>(block.position), perByte.code,
                     static_cast<long long>(perByte.position));
        return false;
    }
    return true;
}

void RegisterLocator(PosixFiles& files, const std::string& name, const std::string& path,
                     Locate locate, bool slow) {
    auto* registered = benchmark::RegisterBenchmark(
        name.c_str(), [&files, path, locate](benchmark::State& state) {
            wrapper::platform::UniqueFile file(
                files, files.OpenForReading(wrapper::bench::ToUtf16(path).c_str()));
            // The expected outcome is taken outside the timed loop; every timed call must
            // reproduce it.
            const Outcome expected = RunLocator(files, file.Get(), locate);
            for (auto _ : state) {
                const ResultCode code = locate(files, file.Get());
                benchmark::DoNotOptimize(code);
                if (code != expected.code) {
                    state.SkipWithError("locator result changed between runs");
                    break;
                }
            }
        });
    registered->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(slow ? 5 : 9)
        ->ReportAggregatesOnly(true);
    // A slow run is long enough to time once per repetition.
    if (slow) {
        registered->Iterations(1);
    } else {
        registered->MinTime(0.1);
    }
}

bool RunCp(const std::string& from, const std::string& to) {
    const char* argv[] = {"cp", from.c_str(), to.c_str(), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "cp", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
        return false;
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool CopyFileRange(const std::string& from, std::int64_t offset, std::uint64_t size,
                   const std::string& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    loff_t position = offset;
    for (std::uint64_t left = size; ok && left > 0;) {
        const ssize_t moved = ::copy_file_range(in, &position, out, nullptr, left, 0);
        ok = moved > 0;
        if (ok) left -= static_cast<std::uint64_t>(moved);
    }
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    return ok;
}

void RegisterCopy(const char* name, std::function<bool()> copy, std::function<void()> cleanUp) {
    benchmark::RegisterBenchmark(name, [copy, cleanUp](benchmark::State& state) {
        cleanUp();
        for (auto _ : state) {
            const bool ok = copy();
            // Removing the copy is not part of making it.
            state.PauseTiming();
            cleanUp();
            state.ResumeTiming();
            if (!ok) {
                state.SkipWithError("copy failed");
                break;
            }
        }
    })
        ->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(9)
        ->ReportAggregatesOnly(true);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto equals = argument.find('=');
        if (argument.rfind("--", 0) != 0 || equals == std::string::npos) {
            std::fprintf(stderr, "wrapper-bench: unknown argument %s\n", argument.c_str());
            return 2;
        }
        options.values[argument.substr(2, equals - 2)] = argument.substr(equals + 1);
    }

    const std::string workDir = options.Get("work-dir");
    PosixFiles files;

    const std::pair<const char*, std::string> packages[] = {
        {"end", options.Get("end")},
        {"behind_21032", options.Get("behind-21032")},
        {"behind_1MiB", options.Get("behind-1mib")},
        {"absent", options.Get("absent")},
    };
    const std::string absentPrefix = options.Get("absent-prefix");
    for (const auto& [label, path] : packages) {
        // The per-byte scan of the whole no-marker file takes minutes; it is checked on
        // the prefix instead, like it is timed.
        if (std::string(label) == "absent") continue;
        if (!SameOutcome(files, path, label)) return 1;
    }
    if (!SameOutcome(files, absentPrefix, "absent prefix")) return 1;
    {
        wrapper::platform::UniqueFile absent(
            files, files.OpenForReading(wrapper::bench::ToUtf16(options.Get("absent")).c_str()));
        if (!absent || RunLocator(files, absent.Get(), wrapper::package::LocateTrailer).code !=
                           wrapper::kScanSeekOrCreateFailed) {
            std::fprintf(stderr, "wrapper-bench: the no-marker file did not give \"no marker\"\n");
            return 1;
        }
    }

    for (const auto& [label, path] : packages) {
        RegisterLocator(files, std::string("locator/block/") + label, path,
                        wrapper::package::LocateTrailer, false);
        if (std::string(label) != "absent") {
            RegisterLocator(files, std::string("locator/per_byte/") + label, path,
                            wrapper::testing::LocateWindowByWindow, std::string(label) == "behind_1MiB");
        }
    }
    RegisterLocator(files, "locator/block/absent_prefix", absentPrefix,
                    wrapper::package::LocateTrailer, false);
    RegisterLocator(files, "locator/per_byte/absent_prefix", absentPrefix,
                    wrapper::testing::LocateWindowByWindow, true);

    // Extraction: the launcher's copy loop from inside the package, against cp of the
    // payload file (the same bytes) and copy_file_range from inside the package.
    const std::string package = options.Get("end");
    const std::string payload = options.Get("payload");
    const auto payloadOffset = static_cast<std::int64_t>(options.Number("payload-offset"));
    const std::uint64_t payloadSize = options.Number("payload-size");
    const std::u16string extracted = wrapper::bench::ToUtf16(workDir + "/extracted.exe");

    RegisterCopy(
        "extract/CopyPayload",
        [&] {
            wrapper::platform::UniqueFile own(
                files, files.OpenForReading(wrapper::bench::ToUtf16(package).c_str()));
            const wrapper::platform::UniqueFile copy(files, files.CreateNew(extracted.c_str()));
            return own && copy &&
                   files.Seek(own.Get(), payloadOffset, SeekOrigin::Begin, nullptr) &&
                   wrapper::package::CopyPayload(files, own.Get(), payloadSize, copy.Get()) ==
                       wrapper::kSuccess;
        },
        [&] { files.Delete(extracted.c_str()); });
    const std::string cpCopy = workDir + "/cp-copy.bin";
    RegisterCopy(
        "extract/cp", [&] { return RunCp(payload, cpCopy); }, [&] { ::unlink(cpCopy.c_str()); });
    const std::string rangeCopy = workDir + "/range-copy.bin";
    RegisterCopy(
        "extract/copy_file_range",
        [&] { return CopyFileRange(package, payloadOffset, payloadSize, rangeCopy); },
        [&] { ::unlink(rangeCopy.c_str()); });

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
