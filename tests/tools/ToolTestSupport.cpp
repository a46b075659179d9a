#include "ToolTestSupport.h"

#include "WrapperVersion.h"
#include "package/PackageTrailer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tooltest {

namespace fs = std::filesystem;

namespace {

void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
using wrapper::testing::Put32;

void Append16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Pad4(Bytes& b) {
    while (b.size() % 4 != 0) b.push_back(0);
}

// One node of a version resource: length, value length, type, key, value, children.
Bytes VersionNode(const std::string& key, const Bytes& value, bool text, std::size_t valueLength,
                  const std::vector<Bytes>& children) {
    Bytes node(6, 0);
    for (const char c : key) Append16(node, static_cast<std::uint8_t>(c));
    Append16(node, 0);
    Pad4(node);
    node.insert(node.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        Pad4(node);
        node.insert(node.end(), child.begin(), child.end());
    }
    Put16(node, 0, static_cast<std::uint32_t>(node.size()));
    Put16(node, 2, static_cast<std::uint32_t>(valueLength));
    Put16(node, 4, text ? 1 : 0);
    return node;
}

Bytes VersionString(const std::string& key, const std::string& value) {
    Bytes text;
    for (const char c : value) Append16(text, static_cast<std::uint8_t>(c));
    Append16(text, 0);
    return VersionNode(key, text, true, value.size() + 1, {});
}

constexpr std::uint32_t kResourceRva = 0x2000;
constexpr std::uint32_t kResourceRaw = 0x400;
constexpr std::uint32_t kVersionDataAt = 0x58;  // after the three directories and the entry

// The resource tree for one RT_VERSION resource, ID 1, US English.
Bytes ResourceSection(const Bytes& version) {
    Bytes b(kVersionDataAt, 0);
    auto directory = [&](std::size_t at, std::uint32_t id, std::uint32_t target) {
        Put16(b, at + 14, 1);  // one ID entry
        Put32(b, at + 16, id);
        Put32(b, at + 20, target);
    };
    directory(0x00, 16, 0x80000018);
    directory(0x18, 1, 0x80000030);
    directory(0x30, 0x409, 0x48);
    Put32(b, 0x48, kResourceRva + kVersionDataAt);
    Put32(b, 0x4C, static_cast<std::uint32_t>(version.size()));
    b.insert(b.end(), version.begin(), version.end());
    return b;
}

}  // namespace

Bytes VersionResource(const VersionStrings& strings) {
    Bytes fixed(52, 0);
    Put32(fixed, 0, 0xFEEF04BD);
    Put32(fixed, 4, 0x10000);
    Put32(fixed, 8, 0x00010002);   // file version 1.2
    Put32(fixed, 12, 0x00030004);  // .3.4
    const Bytes table = VersionNode("040904B0", {}, true, 0,
                                    {VersionString("FileDescription", strings.fileDescription),
                                     VersionString("ProductName", strings.productName),
                                     VersionString("ProductVersion", strings.productVersion)});
    const Bytes stringInfo = VersionNode("StringFileInfo", {}, true, 0, {table});
    return VersionNode("VS_VERSION_INFO", fixed, false, fixed.size(), {stringInfo});
}

// Headers in the first 0x200 bytes, one 0x200-byte code section after them, then the
// resource section when there is a version resource.
Bytes Executable(const ExecutableDesign& design) {
    constexpr std::size_t kPe = 0x40;
    const bool wide = design.wide;
    const std::uint32_t optionalSize = wide ? 240 : 224;
    const Bytes resources =
        design.version ? ResourceSection(VersionResource(*design.version)) : Bytes{};
    const std::size_t resourcesEnd =
        (kResourceRaw + resources.size() + 0x1FF) & ~std::size_t{0x1FF};
    Bytes b(std::max<std::size_t>(design.size, design.version ? resourcesEnd : 1024), 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, kPe);
    std::memcpy(&b[kPe], "PE\0\0", 4);
    const std::size_t coff = kPe + 4;
    Put16(b, coff + 0, design.machine != 0 ? design.machine : wide ? 0x8664 : 0x14C);
    Put16(b, coff + 2, design.version ? 2 : 1);  // sections
    Put16(b, coff + 16, optionalSize);
    // An executable image, 32-bit or large-address-aware, and a DLL when asked.
    Put16(b, coff + 18, (wide ? 0x0022 : 0x0102) | (design.dll ? 0x2000 : 0));
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
    Put32(b, opt + 56, design.version ? 0x3000 : 0x2000);  // size of image
    Put32(b, opt + 60, 0x200);   // size of headers
    Put16(b, opt + 68, 3);       // console subsystem
    const std::size_t count = opt + (wide ? 108 : 92);
    Put32(b, count, 16);
    if (design.certificateTable) {
        Put32(b, count + 4 + 4 * 8, design.certificateTable->offset);
        Put32(b, count + 4 + 4 * 8 + 4, design.certificateTable->size);
    }
    const std::size_t section = opt + optionalSize;
    std::memcpy(&b[section], ".text", 5);
    Put32(b, section + 8, 0x200);        // virtual size
    Put32(b, section + 12, 0x1000);      // virtual address
    Put32(b, section + 16, 0x200);       // raw size
    Put32(b, section + 20, 0x200);       // raw offset
    Put32(b, section + 36, 0x60000020);  // code, execute, read
    b[0x200] = 0xC3;                     // ret
    if (design.version) {
        Put32(b, count + 4 + 2 * 8, kResourceRva);
        Put32(b, count + 4 + 2 * 8 + 4, static_cast<std::uint32_t>(resources.size()));
        const std::size_t rsrc = section + 40;
        std::memcpy(&b[rsrc], ".rsrc", 5);
        Put32(b, rsrc + 8, static_cast<std::uint32_t>(resources.size()));
        Put32(b, rsrc + 12, kResourceRva);
        Put32(b, rsrc + 16, static_cast<std::uint32_t>(resourcesEnd - kResourceRaw));
        Put32(b, rsrc + 20, kResourceRaw);
        Put32(b, rsrc + 36, 0x40000040);  // initialised data, read
        std::copy(resources.begin(), resources.end(), b.begin() + kResourceRaw);
    }
    return b;
}

Bytes MinimalExecutable(std::size_t size, std::optional<CertificateEntry> certificateTable) {
    return Executable({.size = size, .certificateTable = certificateTable});
}

Bytes MinimalExecutable64(std::size_t size, std::optional<CertificateEntry> certificateTable) {
    return Executable({.size = size, .wide = true, .certificateTable = certificateTable});
}

void PutUninstallKey(Bytes& image, std::size_t offset, const std::string& productId) {
    const std::string key =
        WRAPPER_UNINSTALL_KEY_PREFIX + productId + WRAPPER_UNINSTALL_KEY_SUFFIX;
    for (std::size_t i = 0; i <= key.size(); ++i) {
        image.at(offset + 2 * i) = i < key.size() ? static_cast<std::uint8_t>(key[i]) : 0;
        image.at(offset + 2 * i + 1) = 0;
    }
}

Bytes MinimalLauncher(std::size_t size, std::optional<CertificateEntry> certificateTable) {
    Bytes launcher = Executable({.size = size,
                                 .certificateTable = certificateTable,
                                 .version = VersionStrings{WRAPPER_PRODUCT_NAME,
                                                          WRAPPER_VERSION_TEXT,
                                                          WRAPPER_DESCRIPTION}});
    PutUninstallKey(launcher, kLauncherKeyOffset, WRAPPER_PRODUCT_ID);
    return launcher;
}

PackageParts::PackageParts() {
    launcher = MinimalLauncher(2048);
    payload = MinimalExecutable(4096);
    fields[0] = "https://example.com%1/start?";
    fields[1] = "utm_source=test";
    fields[2] = "https://example.com%1/welcome?";
    fields[3] = "https://example.com%1/goodbye?";
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

RunResult Run(const std::string& program, const std::vector<std::string>& arguments,
              const RunOptions& options) {
    char outName[] = "/tmp/wrapper-tool-out-XXXXXX";
    char errName[] = "/tmp/wrapper-tool-err-XXXXXX";
    const int out = ::mkstemp(outName);
    const int err = out < 0 ? -1 : ::mkstemp(errName);
    if (err < 0) {
        if (out >= 0) {
            ::close(out);
            ::unlink(outName);
        }
        throw std::runtime_error("mkstemp failed: the tool's output would have nowhere to go");
    }

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    RunResult result;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(out);
        ::close(err);
        ::unlink(outName);
        ::unlink(errName);
        throw std::runtime_error("fork failed: " + program + " was not run");
    }
    if (pid == 0) {
        // The child: only async-signal-safe calls until exec.
        const int in = ::open("/dev/null", O_RDONLY);
        int stdoutFd = out;
        if (!options.stdoutPath.empty()) stdoutFd = ::open(options.stdoutPath.c_str(), O_WRONLY);
        if (in < 0 || stdoutFd < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(stdoutFd, 1);
        ::dup2(err, 2);
        if (options.fileSizeLimit) {
            ::signal(SIGXFSZ, SIG_IGN);  // kept across exec: writes fail with EFBIG instead
            const struct rlimit limit = {*options.fileSizeLimit, *options.fileSizeLimit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
        }
        ::execvp(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (options.whileRunning) options.whileRunning(pid);
    int status = 0;
    for (int waited = 0;; ++waited) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (waited >= options.timeoutSeconds * 100) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << program << " still ran after " << options.timeoutSeconds << " s";
            break;
        }
        ::usleep(10000);
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
