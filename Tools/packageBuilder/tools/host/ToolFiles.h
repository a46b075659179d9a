#pragma once

// The files of the producer tools, on the machine they run on: inputs that are only ever
// regular files, outputs that never replace anything but a regular file, and a new file
// that is renamed into place when complete and removed when it is not (interruptions
// included). Messages are one-line phrases with the system's reason; callers add which
// input or output they were about.

#include "tools/host/ByteSource.h"
#include "tools/host/Expected.h"
#include "tools/host/SystemHandle.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace wrapper::tools::host {

// What a path names, looked at without following a final symbolic link.
enum class PathKind {
    Missing,
    Regular,
    Directory,
    SymbolicLink,  // on Windows: any reparse point
    Fifo,          // on Windows: a pipe
    CharacterDevice,
    BlockDevice,
    Socket,
    Other,
};

// For messages: "a regular file", "a directory", "a symbolic link", "a FIFO", ...
const char* DescribeKind(PathKind kind);

// Which file a path leads to: device and inode number; on Windows the volume serial number
// and the file index. Two names (links, other letter case, other spellings) lead to the
// same file exactly when their identities are equal.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A regular file open for reading, by the path given (a symbolic link is followed: the
// identity is its target's). Its size is taken when it is opened.
class InputFile final : public ByteSource {
public:
    // Refuses anything but a regular file before reading a byte, so a FIFO or a device is
    // never read and nothing waits for a writer. The failure says why: the system's reason,
    // or "not a regular file (a FIFO)" and the like.
    static Expected<std::unique_ptr<InputFile>> Open(const std::filesystem::path& path);
    ~InputFile() override = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::uint64_t Size() const override { return size_; }
    Expected<std::size_t> ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override;
    const FileIdentity& Identity() const { return identity_; }

private:
    // One read of the system's at `offset`, at most `size` bytes (within the file's size
    // when opened); 0 means the file ends there. Interrupted reads are retried.
    Expected<std::size_t> ReadOnce(std::uint64_t offset, char* buffer, std::size_t size);

    InputFile(UniqueSystemFile handle, std::uint64_t size, FileIdentity identity)
        : handle_(std::move(handle)), size_(size), identity_(identity) {}
    UniqueSystemFile handle_;
    std::uint64_t size_;
    FileIdentity identity_;
};

// What is at an output path now: its kind and, for a regular file, its identity.
struct OutputLook {
    PathKind kind = PathKind::Missing;
    FileIdentity identity;
};

// Fails only when the system cannot tell; a path that does not exist (or whose folder does
// not exist) is Missing.
Expected<OutputLook> LookAtOutput(const std::filesystem::path& path);

// A file a tool has open for reading, by the role the messages give it ("payload").
struct OpenInput {
    const char* role;
    const std::filesystem::path* path;
    const InputFile* file;
};

// The check every tool makes before it writes `output`: only a missing path, or a regular
// file that is none of `inputs`, may be replaced. Fails with the one-line reason, which
// names the output ("output X is a FIFO, not a regular file; ...").
Status CheckOutputPath(const std::filesystem::path& output, std::span<const OpenInput> inputs);

// A new file in the folder of `target` under a short hidden name (".wrapper-XXXXXXXX.partial",
// 25 bytes: it fits wherever the target's name fits), renamed over `target` by Commit. Until
// then the target is untouched; an OutputFile that is not committed removes its file, and so
// does the process when SIGINT, SIGTERM or SIGHUP (on Windows: a console Ctrl-C, Ctrl-Break
// or close) ends it. One OutputFile at a time per process.
class OutputFile {
public:
    static Expected<std::unique_ptr<OutputFile>> CreateFor(const std::filesystem::path& target);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes all `size` bytes. The first failure is final: it and every later call fail, with
    // a message that names the operation, the file and the system's reason.
    Status Write(const void* data, std::size_t size);

    // Flushes the file to disk, closes it and renames it over the target. On failure the
    // file is removed and the target left as it was.
    Status Commit();

    const std::filesystem::path& TemporaryPath() const { return temporary_; }

private:
    OutputFile(UniqueSystemFile handle, std::filesystem::path temporary,
               std::filesystem::path target)
        : handle_(std::move(handle)),
          temporary_(std::move(temporary)),
          target_(std::move(target)) {}
    void Discard();

    UniqueSystemFile handle_;
    std::filesystem::path temporary_;
    std::filesystem::path target_;
    std::string failure_;  // the first failure, repeated by every later call
    bool open_ = true;
};

// The running program's own file, as the system names it; empty when it cannot tell.
std::filesystem::path OwnExecutable();

// Text of a path for messages: UTF-8 on every system.
std::string PathText(const std::filesystem::path& path);

}  // namespace wrapper::tools::host
