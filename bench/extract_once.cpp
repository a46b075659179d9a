// One extraction through the launcher's CopyPayload on the POSIX file services, then
// the extracted file is deleted. Nothing else happens in this process, so its peak
// memory is the extraction's.
//
//   wrapper-bench-extract FILE OFFSET SIZE TEMP_DIR
//
// Copies SIZE bytes starting at byte OFFSET of FILE into a new file in TEMP_DIR. Exit code
// 0 on success, otherwise the launcher's result code (or 2 for bad arguments).

#include "BenchText.h"
#include "package/PayloadExtractor.h"
#include "posix/PosixFiles.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: wrapper-bench-extract FILE OFFSET SIZE TEMP_DIR\n");
        return 2;
    }
    const auto offset = static_cast<std::int64_t>(std::strtoll(argv[2], nullptr, 10));
    const std::uint64_t size = std::strtoull(argv[3], nullptr, 10);
    wrapper::bench::posix::PosixFiles files;

    wrapper::platform::UniqueFile own(files, files.OpenForReading(wrapper::bench::ToUtf16(argv[1]).c_str()));
    if (!own || !files.Seek(own.Get(), offset, wrapper::platform::SeekOrigin::Begin, nullptr)) {
        std::fprintf(stderr, "wrapper-bench-extract: cannot open %s at %s\n", argv[1], argv[2]);
        return 2;
    }
    const std::u16string extracted = wrapper::bench::ToUtf16(std::string(argv[4]) + "/extracted.exe");
    wrapper::ResultCode result = wrapper::kInstallerCreateFailed;
    if (const wrapper::platform::UniqueFile copy(files, files.CreateNew(extracted.c_str())); copy) {
        result = wrapper::package::CopyPayload(files, own.Get(), size, copy.Get());
        files.Delete(extracted.c_str());
    }
    return static_cast<int>(result);
}
