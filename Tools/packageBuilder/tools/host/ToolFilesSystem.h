#pragma once

// The system calls behind OutputFile, one implementation per system (ToolFilesPosix.cpp,
// ToolFilesWin32.cpp); the order of the steps and the messages are ToolFiles.cpp's. Each
// call that can fail returns false with the system's reason.

#include <cstdint>
#include <filesystem>
#include <string>

namespace wrapper::tools::host::system {

// Makes the process remove `path` if an interruption ends it (SIGINT, SIGTERM, SIGHUP; on
// Windows a console Ctrl-C, Ctrl-Break or close); Disarm forgets it. False when `path`
// cannot be remembered.
bool Arm(const std::filesystem::path& path);
void Disarm();

// Creates `path` for writing; it must not exist (`exists` then tells so).
bool CreateNew(const std::filesystem::path& path, std::intptr_t& handle, bool& exists,
               std::string& reason);
// Writes at most `size` bytes, at least one on success.
bool WriteSome(std::intptr_t handle, const void* data, std::size_t size, std::size_t& written,
               std::string& reason);
bool FlushToDisk(std::intptr_t handle, std::string& reason);
bool Close(std::intptr_t handle, std::string& reason);
// Replaces `to` with `from` in one step.
bool RenameOver(const std::filesystem::path& from, const std::filesystem::path& to,
                std::string& reason);
void Remove(const std::filesystem::path& path);

}  // namespace wrapper::tools::host::system
