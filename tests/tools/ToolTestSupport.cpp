#include "ToolTestSupport.h"

#include "package/PackageTrailer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tooltest {

namespace fs = std::filesystem;

namespace {

void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Headers in the first 0x200 bytes, one 0x200-byte code section after them.
Bytes Executable(std::size_t size, bool wide, std::optional<CertificateEntry> table) {
    constexpr std::size_t kPe = 0x40;
    const std::uint32_t optionalSize = wide ? 240 : 224;
    Bytes b(std::max<std::size_t>(size, 1024), 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, kPe);
    std::memcpy(&b[kPe], "PE\0\0", 4);
    const std::size_t coff = kPe + 4;
    Put16(b, coff + 0, wide ? 0x8664 : 0x14C);  // machine
    Put16(b, coff + 2, 1);                      // sections
    Put16(b, coff + 16, optionalSize);
    Put16(b, coff + 18, wide ? 0x0022 : 0x0102);  // executable image
    const std::size_t opt = coff + 20;
    Put16(b, opt + 0, wide ? 0x20B : 0x10B);
    Put32(b, opt + 4, 0x200);    // size of code
    Put32(b, opt + 16, 0x1000);  // entry point
    Put32(b, opt + 20, 0x1000);  // base of code
    if (wide) {
        Put32(b, opt + 24, 0x400000);  // image base (low half)
    } else {
        Put32(b, opt + 28, 0x400000);
    }
    Put32(b, opt + 32, 0x1000);  // section alignment
    Put32(b, opt + 36, 0x200);   // file alignment
    Put16(b, opt + 40, 4);       // OS version
    Put16(b, opt + 48, 4);       // subsystem version
    Put32(b, opt + 56, 0x2000);  // size of image
    Put32(b, opt + 60, 0x200);   // size of headers
    Put16(b, opt + 68, 3);       // console subsystem
    const std::size_t count = opt + (wide ? 108 : 92);
    Put32(b, count, 16);
    if (table) {
        Put32(b, count + 4 + 4 * 8, table->offset);
        Put32(b, count + 4 + 4 * 8 + 4, table->size);
    }
    const std::size_t section = opt + optionalSize;
    std::memcpy(&b[section], ".text", 5);
    Put32(b, section + 8, 0x200);        // virtual size
    Put32(b, section + 12, 0x1000);      // virtual address
    Put32(b, section + 16, 0x200);       // raw size
    Put32(b, section + 20, 0x200);       // raw offset
    Put32(b, section + 36, 0x60000020);  // code, execute, read
    b[0x200] = 0xC3;                     // ret
    return b;
}

}  // namespace

Bytes MinimalExecutable(std::size_t size, std::optional<CertificateEntry> certificateTable) {
    return Executable(size, false, certificateTable);
}

Bytes MinimalExecutable64(std::size_t size, std::optional<CertificateEntry> certificateTable) {
    return Executable(size, true, certificateTable);
}

Bytes BuildPackage(const PackageParts& parts) {
    wrapper::package::TrailerFields fields = {};
    for (int i = 0; i < 4; ++i) {
        const std::size_t n =
            std::min<std::size_t>(parts.fields[i].size(), wrapper::package::kFieldSize);
        std::memcpy(fields.bytes[i], parts.fields[i].data(), n);
    }
    unsigned char trailer[wrapper::package::kTrailerSize];
    wrapper::package::EncodeTrailer(parts.payloadSize.value_or(parts.payload.size()), fields,
                                    trailer);
    const Bytes trailerBytes(std::begin(trailer), std::end(trailer));
    return Concat({&parts.launcher, &parts.payload, &trailerBytes, &parts.after});
}

Bytes Marker() {
    unsigned char marker[wrapper::package::kMarkerSize];
    wrapper::package::BuildTrailerMarker(marker);
    return Bytes(std::begin(marker), std::end(marker));
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Concat(std::initializer_list<const Bytes*> parts) {
    Bytes all;
    for (const Bytes* part : parts) all.insert(all.end(), part->begin(), part->end());
    return all;
}

ScratchDir::ScratchDir() {
    std::string pattern = (fs::path(::testing::TempDir()) / "wrapper-tools-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::vector<std::string> ScratchDir::Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

RunResult Run(const std::string& program, const std::vector<std::string>& arguments) {
    char outName[] = "/tmp/wrapper-tool-out-XXXXXX";
    char errName[] = "/tmp/wrapper-tool-err-XXXXXX";
    const int out = ::mkstemp(outName);
    const int err = ::mkstemp(errName);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    RunResult result;
    pid_t pid = 0;
    if (::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out);
    ::close(err);
    const Bytes outBytes = ReadFile(outName);
    const Bytes errBytes = ReadFile(errName);
    ::unlink(outName);
    ::unlink(errName);
    result.out.assign(outBytes.begin(), outBytes.end());
    result.err.assign(errBytes.begin(), errBytes.end());
    return result;
}

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    std::string paths = path;
    for (std::size_t start = 0; start <= paths.size();) {
        const std::size_t end = std::min(paths.find(':', start), paths.size());
        if (::access((fs::path(paths.substr(start, end - start)) / program).c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace tooltest
