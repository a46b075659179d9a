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

Status CheckOutputPath(const std::filesystem::path& output, std::span<const OpenInput> inputs) {
    const Expected<OutputLook> look = LookAtOutput(output);
    if (!look) return Unexpected{"cannot look at output " + PathText(output) + ": " + look.error()};
    if (look->kind == PathKind::Missing) return {};
    if (look->kind != PathKind::Regular) {
        return Unexpected{"output " + PathText(output) + " is " + DescribeKind(look->kind) +
                          ", not a regular file; only a regular file is ever replaced"};
    }
    for (const OpenInput& input : inputs) {
        if (input.file->Identity() == look->identity) {
            return Unexpected{"output " + PathText(output) + " is the same file as the " +
                              input.role + " " + PathText(*input.path) +
                              "; an input is never written over"};
        }
    }
    return {};
}

Expected<std::unique_ptr<OutputFile>> OutputFile::CreateFor(const std::filesystem::path& target) {
    std::random_device entropy;
    const std::filesystem::path folder = target.parent_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".wrapper-%08x.partial", static_cast<unsigned>(entropy()));
        std::filesystem::path temporary = folder / name;
        // Armed before it exists, so no moment passes in which an interruption leaves it.
        if (!system::Arm(temporary)) {
            return Unexpected{"creating a file beside " + PathText(target) +
                              " failed: the path is too long"};
        }
        std::intptr_t handle = 0;
        bool exists = false;
        std::string reason;
        if (system::CreateNew(temporary, handle, exists, reason)) {
            return std::unique_ptr<OutputFile>(new OutputFile(
                UniqueSystemFile(theSystem, SystemFile{handle}), std::move(temporary), target));
        }
        system::Disarm();
        if (!exists) {
            return Unexpected{"creating " + PathText(temporary) + " failed: " + reason};
        }
    }
    return Unexpected{"creating a file beside " + PathText(target) +
                      " failed: every name tried exists"};
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
    if (!open_) return;
    open_ = false;
    handle_.Reset();
    system::Remove(temporary_);
    system::Disarm();
}

Status OutputFile::Write(const void* data, std::size_t size) {
    if (!failure_.empty() || !open_) {
        return Unexpected{failure_.empty() ? "the file is closed" : failure_};
    }
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        std::size_t written = 0;
        std::string reason;
        if (!system::WriteSome(handle_.Get().value, bytes, size, written, reason)) {
            failure_ = "writing " + PathText(temporary_) + " failed: " + reason;
            return Unexpected{failure_};
        }
        bytes += written;
        size -= written;
    }
    return {};
}

Status OutputFile::Commit() {
    if (!failure_.empty() || !open_) {
        const std::string why = failure_.empty() ? "the file is closed" : failure_;
        Discard();
        return Unexpected{why};
    }
    std::string reason;
    if (!system::FlushToDisk(handle_.Get().value, reason)) {
        const std::string why = "flushing " + PathText(temporary_) + " to disk failed: " + reason;
        Discard();
        return Unexpected{why};
    }
    open_ = false;
    std::string failure;
    const bool closed = system::Close(handle_.Release().value, reason);
    if (!closed) failure = "closing " + PathText(temporary_) + " failed: " + reason;
    if (closed && !system::RenameOver(temporary_, target_, reason)) {
        failure =
            "renaming " + PathText(temporary_) + " to " + PathText(target_) + " failed: " + reason;
    }
    if (!failure.empty()) system::Remove(temporary_);
    system::Disarm();
    if (!failure.empty()) return Unexpected{failure};
    return {};
}

Expected<std::size_t> InputFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    std::size_t got = 0;
    if (offset >= size_) return got;
    if (size > size_ - offset) size = static_cast<std::size_t>(size_ - offset);
    auto* out = static_cast<char*>(buffer);
    while (got < size) {
        const Expected<std::size_t> n = ReadOnce(offset + got, out + got, size - got);
        if (!n) return n;
        if (*n == 0) {
            return Unexpected{"the file ended at offset " + std::to_string(offset + got) +
                              ", before its size when opened (" + std::to_string(size_) +
                              " bytes): it changed while it was read"};
        }
        got += *n;
    }
    return got;
}

}  // namespace wrapper::tools::host
