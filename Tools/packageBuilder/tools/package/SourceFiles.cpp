#include "tools/package/SourceFiles.h"

#include <algorithm>
#include <limits>

namespace wrapper::tools::package {

namespace {

using wrapper::platform::DeleteOutcome;
using wrapper::platform::FileHandle;
using wrapper::platform::SeekOrigin;

// The output's handle: far above any read handle.
constexpr std::uintptr_t kOutputHandle = std::numeric_limits<std::uintptr_t>::max();

}  // namespace

bool SourceFiles::Fail(const std::string& reason) {
    if (failure_.empty()) failure_ = reason;
    return false;
}

std::int64_t* SourceFiles::Position(FileHandle file) {
    if (file.value == 0 || file.value > positions_.size()) return nullptr;
    std::int64_t& position = positions_[file.value - 1];
    return position < 0 ? nullptr : &position;
}

std::uint32_t SourceFiles::GetOwnPath(char16_t*, std::uint32_t) { return 0; }

std::uint32_t SourceFiles::GetTempDirectory(char16_t*, std::uint32_t) { return 0; }

FileHandle SourceFiles::OpenForReading(const char16_t*) {
    positions_.push_back(0);
    return {static_cast<std::uintptr_t>(positions_.size())};
}

FileHandle SourceFiles::CreateNew(const char16_t*) {
    if (output_.empty() || created_ != nullptr) return {};
    auto created = host::OutputFile::CreateFor(output_);
    if (!created) {
        Fail(created.error());
        return {};
    }
    created_ = std::move(*created);
    outputOpen_ = true;
    return {kOutputHandle};
}

bool SourceFiles::Seek(FileHandle file, std::int64_t distance, SeekOrigin origin,
                       std::int64_t* newPosition) {
    std::int64_t* position = Position(file);
    if (position == nullptr) return false;
    const std::int64_t base = origin == SeekOrigin::Begin ? 0
                              : origin == SeekOrigin::Current
                                  ? *position
                                  : static_cast<std::int64_t>(source_.Size());
    std::int64_t target = 0;
    // As the system does: a move before the start fails and leaves the position as it was.
    if (__builtin_add_overflow(base, distance, &target) || target < 0) return false;
    *position = target;
    if (newPosition != nullptr) *newPosition = target;
    return true;
}

bool SourceFiles::Read(FileHandle file, void* buffer, std::uint32_t size,
                       std::uint32_t* bytesRead) {
    *bytesRead = 0;
    std::int64_t* position = Position(file);
    if (position == nullptr) return false;
    const host::Expected<std::size_t> read =
        source_.ReadAt(static_cast<std::uint64_t>(*position), buffer, size);
    if (!read) return Fail(read.error());
    const std::size_t got = *read;
    *position += static_cast<std::int64_t>(got);
    *bytesRead = static_cast<std::uint32_t>(got);
    return true;
}

bool SourceFiles::Write(FileHandle file, const void* buffer, std::uint32_t size,
                        std::uint32_t* bytesWritten) {
    *bytesWritten = 0;
    if (file.value != kOutputHandle || !outputOpen_) return false;
    if (const host::Status written = created_->Write(buffer, size); !written) {
        return Fail(written.error());
    }
    *bytesWritten = size;
    return true;
}

void SourceFiles::Close(FileHandle file) {
    if (file.value == kOutputHandle) {
        outputOpen_ = false;  // committed (or removed) by whoever takes the output
    } else if (std::int64_t* position = Position(file)) {
        *position = -1;
    }
}

FileHandle SourceFiles::OpenAndHold(const char16_t*) { return {}; }

bool SourceFiles::GetIdentity(FileHandle, wrapper::platform::FileIdentity*) { return false; }

DeleteOutcome SourceFiles::Delete(const char16_t*) { return DeleteOutcome::Failed; }

bool SourceFiles::DeleteAtRestart(const char16_t*) { return false; }

}  // namespace wrapper::tools::package
