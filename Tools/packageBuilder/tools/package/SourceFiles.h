#pragma once

// The launcher's file services over the bytes a producer tool reads, so that the launcher's
// own locator, reader and payload copy run unchanged on a package file the tool opened once
// (or on the package wrapper-pack is about to write). Every OpenForReading opens that one
// source, whatever the path, each handle with its own position and the system's rules for
// moves and reads; CreateNew creates the one output file the caller names. The launcher's
// code sees only success or failure: the reason stays here for the tool's message.

#include "platform/Files.h"
#include "tools/host/ByteSource.h"
#include "tools/host/ToolFiles.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace wrapper::tools::package {

class SourceFiles final : public wrapper::platform::Files {
public:
    // `output`: the file CreateNew makes (through an OutputFile beside it); empty for none.
    explicit SourceFiles(host::ByteSource& source,
                         std::filesystem::path output = {})
        : source_(source), output_(std::move(output)) {}

    // The first read, write or create that failed, with the system's reason; empty if none.
    const std::string& Failure() const { return failure_; }

    // The output file CreateNew made, still to be committed; null when none was made.
    std::unique_ptr<host::OutputFile> TakeOutput() {
        return std::move(created_);
    }

    // The launcher's own path and temporary folder do not exist here: none.
    std::uint32_t GetOwnPath(char16_t* buffer, std::uint32_t capacity) override;
    std::uint32_t GetTempDirectory(char16_t* buffer, std::uint32_t capacity) override;
    wrapper::platform::FileHandle OpenForReading(const char16_t* path) override;
    wrapper::platform::FileHandle CreateNew(const char16_t* path) override;
    // A tool starts no program, so it never holds a file for one: no handle.
    wrapper::platform::FileHandle OpenAndHold(const char16_t* path) override;
    // Nothing here needs to tell files apart: no identity.
    bool GetIdentity(wrapper::platform::FileHandle file,
                     wrapper::platform::FileIdentity* identity) override;
    bool Seek(wrapper::platform::FileHandle file, std::int64_t distance,
              wrapper::platform::SeekOrigin origin, std::int64_t* newPosition) override;
    bool Read(wrapper::platform::FileHandle file, void* buffer, std::uint32_t size,
              std::uint32_t* bytesRead) override;
    bool Write(wrapper::platform::FileHandle file, const void* buffer, std::uint32_t size,
               std::uint32_t* bytesWritten) override;
    void Close(wrapper::platform::FileHandle file) override;
    // Nothing is deleted through here: the output removes itself unless committed.
    wrapper::platform::DeleteOutcome Delete(const char16_t* path) override;
    bool DeleteAtRestart(const char16_t* path) override;

private:
    bool Fail(const std::string& reason);
    std::int64_t* Position(wrapper::platform::FileHandle file);

    host::ByteSource& source_;
    std::filesystem::path output_;
    std::unique_ptr<host::OutputFile> created_;
    bool outputOpen_ = false;
    std::vector<std::int64_t> positions_;  // of read handles 1, 2, ...; -1 once closed
    std::string failure_;
};

}  // namespace wrapper::tools::package
