#include "tools/host/ToolFiles.h"
#include "tools/host/ToolFilesSystem.h"

#include <windows.h>

#include <algorithm>
#include <mutex>

namespace wrapper::tools::host {

namespace {

namespace fs = std::filesystem;

std::string Utf8(const wchar_t* text, int length) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

// LocalFree is imported from a DLL, so the owner names a function of ours.
void FreeLocal(HLOCAL memory) { LocalFree(memory); }

// The system's text for an error code, on one line and without the final period.
std::string SystemReason(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const UniqueSystemObject<HLOCAL, &FreeLocal> owned(theSystem, text);
    std::string reason = length != 0 ? Utf8(text, static_cast<int>(length)) : std::string();
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                               reason.back() == ' ' || reason.back() == '.')) {
        reason.pop_back();
    }
    return reason.empty() ? "system error " + std::to_string(error) : reason;
}

HANDLE ToHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// The kind of an open handle: a device, a pipe, or a file system object.
PathKind KindOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    switch (GetFileType(handle)) {
        case FILE_TYPE_CHAR: return PathKind::CharacterDevice;
        case FILE_TYPE_PIPE: return PathKind::Fifo;
        case FILE_TYPE_DISK: break;
        default: return PathKind::Other;
    }
    if (!GetFileInformationByHandle(handle, &info)) return PathKind::Other;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::SymbolicLink;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Directory;
    return PathKind::Regular;
}

// The file a console Ctrl-C, Ctrl-Break or close removes. The handler runs on a thread of
// its own, so the path changes under a lock; a pending delete is allowed because the file
// is opened with delete sharing, and the file goes when the process ends.
std::mutex cleanupLock;
std::wstring removeOnInterrupt;
bool armed = false;

BOOL WINAPI RemoveOnInterrupt(DWORD) {
    {
        const std::lock_guard<std::mutex> hold(cleanupLock);
        if (armed) DeleteFileW(removeOnInterrupt.c_str());
    }
    return FALSE;  // and let the default handler end the process
}

}  // namespace

Expected<std::unique_ptr<InputFile>> InputFile::Open(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return Unexpected{"not a regular file (a directory)"};
    }
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Unexpected{SystemReason(GetLastError())};
    UniqueSystemFile file(theSystem, SystemFile{reinterpret_cast<std::intptr_t>(handle)});
    BY_HANDLE_FILE_INFORMATION info{};
    const PathKind kind = KindOf(handle, info);
    if (kind != PathKind::Regular) {
        return Unexpected{std::string("not a regular file (") + DescribeKind(kind) + ")"};
    }
    const std::uint64_t size =
        (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return std::unique_ptr<InputFile>(new InputFile(std::move(file), size, IdentityOf(info)));
}

void SystemFileTraits::Close(System&, SystemFile file) { CloseHandle(ToHandle(file.value)); }

Expected<std::size_t> InputFile::ReadOnce(std::uint64_t offset, char* buffer, std::size_t size) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const auto ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD n = 0;
    if (!ReadFile(ToHandle(handle_.Get().value), buffer, ask, &n, &position) &&
        GetLastError() != ERROR_HANDLE_EOF) {
        return Unexpected{"reading at offset " + std::to_string(offset) +
                          " failed: " + SystemReason(GetLastError())};
    }
    return std::size_t{n};
}

Expected<OutputLook> LookAtOutput(const fs::path& path) {
    // The name itself, not what a reparse point leads to; attributes only, shared with all.
    const HANDLE handle = CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD reason = GetLastError();
        if (reason == ERROR_FILE_NOT_FOUND || reason == ERROR_PATH_NOT_FOUND) return OutputLook{};
        return Unexpected{SystemReason(reason)};
    }
    const UniqueSystemFile owned(theSystem, SystemFile{reinterpret_cast<std::intptr_t>(handle)});
    BY_HANDLE_FILE_INFORMATION info{};
    OutputLook look;
    look.kind = KindOf(handle, info);
    if (look.kind == PathKind::Regular) look.identity = IdentityOf(info);
    return look;
}

fs::path OwnExecutable() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return fs::path(buffer.substr(0, length));
        if (buffer.size() >= 32768) return {};  // longer than any path the system allows
        buffer.resize(buffer.size() * 2);
    }
}

namespace system {

bool Arm(const fs::path& path) {
    static const bool installed = SetConsoleCtrlHandler(RemoveOnInterrupt, TRUE) != FALSE;
    (void)installed;
    const std::lock_guard<std::mutex> hold(cleanupLock);
    removeOnInterrupt = path.native();
    armed = true;
    return true;
}

void Disarm() {
    const std::lock_guard<std::mutex> hold(cleanupLock);
    armed = false;
}

bool CreateNew(const fs::path& path, std::intptr_t& handle, bool& exists, std::string& reason) {
    // Delete sharing lets the console handler remove it while it is open.
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    exists = file == INVALID_HANDLE_VALUE &&
             (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
    if (file == INVALID_HANDLE_VALUE) reason = SystemReason(error);
    handle = reinterpret_cast<std::intptr_t>(file);
    return file != INVALID_HANDLE_VALUE;
}

bool WriteSome(std::intptr_t handle, const void* data, std::size_t size, std::size_t& written,
               std::string& reason) {
    DWORD n = 0;
    const auto ask = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    const BOOL ok = WriteFile(ToHandle(handle), data, ask, &n, nullptr);
    if (!ok) reason = SystemReason(GetLastError());
    if (ok && n == 0) reason = "nothing was written";
    written = n;
    return ok && n > 0;
}

bool FlushToDisk(std::intptr_t handle, std::string& reason) {
    if (FlushFileBuffers(ToHandle(handle))) return true;
    reason = SystemReason(GetLastError());
    return false;
}

bool Close(std::intptr_t handle, std::string& reason) {
    if (CloseHandle(ToHandle(handle))) return true;
    reason = SystemReason(GetLastError());
    return false;
}

bool RenameOver(const fs::path& from, const fs::path& to, std::string& reason) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    reason = SystemReason(GetLastError());
    return false;
}

void Remove(const fs::path& path) { DeleteFileW(path.c_str()); }

}  // namespace system

}  // namespace wrapper::tools::host
