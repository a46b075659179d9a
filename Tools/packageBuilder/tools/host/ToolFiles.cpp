#include "tools/host/ToolFiles.h"

#include "tools/host/ToolFilesSystem.h"

#include <cstdio>
#include <random>

namespace wrapper::tools::host {

const char* DescribeKind(PathKind kind) {
    switch (kind) {
        case PathKind::Missing: return "nothing";
        case PathKind::Regular: return "a regular file";
        case PathKind::Directory: return "a directory";
        case PathKind::SymbolicLink: return "a symbolic link";
        case PathKind::Fifo: return "a FIFO";
        case PathKind::CharacterDevice: return "a character device";
        case PathKind::BlockDevice: return "a block device";
        case PathKind::Socket: return "a socket";
        case PathKind::Other: return "not a file";
    }
    return "";
}

std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::unique_ptr<OutputFile> OutputFile::CreateFor(const std::filesystem::path& target,
                                                  std::string& error) {
    std::random_device entropy;
    const std::filesystem::path folder = target.parent_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".wrapper-%08x.partial", static_cast<unsigned>(entropy()));
        std::filesystem::path temporary = folder / name;
        // Armed before it exists, so no moment passes in which an interruption leaves it.
        if (!system::Arm(temporary)) {
            error = "creating a file beside " + PathText(target) + " failed: the path is too long";
            return nullptr;
        }
        std::intptr_t handle = 0;
        bool exists = false;
        std::string reason;
        if (system::CreateNew(temporary, handle, exists, reason)) {
            return std::unique_ptr<OutputFile>(
                new OutputFile(handle, std::move(temporary), target));
        }
        system::Disarm();
        if (!exists) {
            error = "creating " + PathText(temporary) + " failed: " + reason;
            return nullptr;
        }
    }
    error = "creating a file beside " + PathText(target) + " failed: every name tried exists";
    return nullptr;
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
    if (!open_) return;
    open_ = false;
    std::string ignored;
    system::Close(handle_, ignored);
    system::Remove(temporary_);
    system::Disarm();
}

bool OutputFile::Write(const void* data, std::size_t size, std::string& error) {
    if (!failure_.empty() || !open_) {
        error = failure_.empty() ? "the file is closed" : failure_;
        return false;
    }
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        std::size_t written = 0;
        std::string reason;
        if (!system::WriteSome(handle_, bytes, size, written, reason)) {
            failure_ = "writing " + PathText(temporary_) + " failed: " + reason;
            error = failure_;
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

bool OutputFile::Commit(std::string& error) {
    if (!failure_.empty() || !open_) {
        error = failure_.empty() ? "the file is closed" : failure_;
        Discard();
        return false;
    }
    std::string reason;
    if (!system::FlushToDisk(handle_, reason)) {
        error = "flushing " + PathText(temporary_) + " to disk failed: " + reason;
        Discard();
        return false;
    }
    open_ = false;
    const bool closed = system::Close(handle_, reason);
    if (!closed) error = "closing " + PathText(temporary_) + " failed: " + reason;
    if (closed && !system::RenameOver(temporary_, target_, reason)) {
        error =
            "renaming " + PathText(temporary_) + " to " + PathText(target_) + " failed: " + reason;
    }
    if (!error.empty()) system::Remove(temporary_);
    system::Disarm();
    return error.empty();
}

}  // namespace wrapper::tools::host
