#include "platform/win32/Win32Platform.h"

#include "WideText.h"
#include "platform/win32/ProtectedFileDescriptor.h"

#include <windows.h>
#include <exdisp.h>
#include <servprov.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shobjidl.h>

namespace wrapper::platform::win32 {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

HANDLE ToHandle(std::uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

FileHandle FromFileHandle(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return {};
    return {reinterpret_cast<std::uintptr_t>(handle)};
}

// A function of a library loaded at run time, through the generic function type, which the
// compiler accepts for any function; null when the library or the function is missing.
template <typename Function>
Function Find(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(library != nullptr ? GetProcAddress(library, name) : nullptr));
}

// The image imports kernel32 alone: every other library is loaded here when the hand-off
// first needs it, by its full path in the system folder and so from nowhere else, whatever
// search order the process has. Its own imports are looked up in the system folder alone
// too; where the system does not know that flag (Windows 7 without its update, which has
// no default search folders either), they are looked up in the library's folder first.
// Null when it cannot be loaded; the caller then does without. Once loaded, `module` keeps
// it for the process's life.
HMODULE SystemLibrary(HINSTANCE__*& module, const char16_t* name) {
    if (module != nullptr) return module;
    char16_t path[MAX_PATH + 16];
    const UINT folder = GetSystemDirectoryW(Wide(path), MAX_PATH);
    if (folder == 0 || folder >= MAX_PATH) return nullptr;
    std::uint32_t length = folder;
    if (!AppendWide(path, MAX_PATH + 16, length, u"\\") ||
        !AppendWide(path, MAX_PATH + 16, length, name)) {
        return nullptr;
    }
    module = LoadLibraryExW(Wide(path), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        module = LoadLibraryExW(Wide(path), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return module;
}

}  // namespace

void RestrictLibrarySearchToSystem() {
    // Looked up at run time: a system that lacks the function would otherwise refuse to
    // load the launcher at all. kernel32 is always loaded.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const FARPROC found =
        kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    // Through the generic function type, which the compiler accepts for any function.
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void (*)()>(found));
    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    // Without it, at least the current folder leaves the search.
    SetDllDirectoryW(L"");
}

std::uint32_t Win32Platform::GetOwnPath(char16_t* buffer, std::uint32_t capacity) {
    const DWORD length = GetModuleFileNameW(nullptr, Wide(buffer), capacity);
    // A result equal to the capacity means the path was cut short.
    return length < capacity ? length : 0;
}

std::uint32_t Win32Platform::GetTempDirectory(char16_t* buffer, std::uint32_t capacity) {
    return GetTempPathW(capacity, Wide(buffer));
}

FileHandle Win32Platform::OpenForReading(const char16_t* path) {
    return FromFileHandle(CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle Win32Platform::CreateNew(const char16_t* path) {
    // Protected: nothing is inherited from the folder. Full control for SYSTEM and
    // Administrators, read and execute for everyone else, its owner included. The system
    // only reads the descriptor.
    SECURITY_ATTRIBUTES attributes = {
        sizeof attributes, const_cast<std::uint8_t*>(kProtectedFileDescriptor), FALSE};
    return FromFileHandle(CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                      &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle Win32Platform::OpenAndHold(const char16_t* path) {
    return FromFileHandle(CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool Win32Platform::GetIdentity(FileHandle file, FileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(ToHandle(file.value), &information)) return false;
    identity->volumeSerial = information.dwVolumeSerialNumber;
    identity->fileIndex =
        static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
    return true;
}

bool Win32Platform::Seek(FileHandle file, std::int64_t distance, SeekOrigin origin,
                         std::int64_t* newPosition) {
    LARGE_INTEGER move;
    move.QuadPart = distance;
    LARGE_INTEGER moved;
    if (!SetFilePointerEx(ToHandle(file.value), move, &moved, static_cast<DWORD>(origin))) {
        return false;
    }
    if (newPosition != nullptr) *newPosition = moved.QuadPart;
    return true;
}

bool Win32Platform::Read(FileHandle file, void* buffer, std::uint32_t size,
                         std::uint32_t* bytesRead) {
    DWORD got = 0;
    const BOOL ok = ReadFile(ToHandle(file.value), buffer, size, &got, nullptr);
    *bytesRead = got;
    return ok != FALSE;
}

bool Win32Platform::Write(FileHandle file, const void* buffer, std::uint32_t size,
                          std::uint32_t* bytesWritten) {
    DWORD written = 0;
    const BOOL ok = WriteFile(ToHandle(file.value), buffer, size, &written, nullptr);
    *bytesWritten = written;
    return ok != FALSE;
}

void Win32Platform::Close(FileHandle file) { CloseHandle(ToHandle(file.value)); }

DeleteOutcome Win32Platform::Delete(const char16_t* path) {
    if (DeleteFileW(Wide(path))) return DeleteOutcome::Deleted;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? DeleteOutcome::NotFound
                                                                           : DeleteOutcome::Failed;
}

bool Win32Platform::DeleteAtRestart(const char16_t* path) {
    return MoveFileExW(Wide(path), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

bool Win32Platform::Start(const char16_t* applicationName, char16_t* commandLine,
                          ProcessHandle* process) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(Wide(applicationName), Wide(commandLine), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &started)) {
        return false;
    }
    // Nothing waits on the thread; only the process handle is kept.
    CloseHandle(started.hThread);
    process->value = reinterpret_cast<std::uintptr_t>(started.hProcess);
    return true;
}

bool Win32Platform::WaitForExit(ProcessHandle process) {
    return WaitForSingleObject(ToHandle(process.value), INFINITE) == WAIT_OBJECT_0;
}

bool Win32Platform::GetExitCode(ProcessHandle process, std::uint32_t* exitCode) {
    DWORD code = 0;
    if (!GetExitCodeProcess(ToHandle(process.value), &code)) return false;
    *exitCode = code;
    return true;
}

void Win32Platform::Close(ProcessHandle process) { CloseHandle(ToHandle(process.value)); }

std::uint64_t Win32Platform::SecondsSince1970() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    // FILETIME counts 100 ns steps since 1601-01-01.
    constexpr std::uint64_t kStepsPerSecond = 10'000'000;
    constexpr std::uint64_t kStepsFrom1601To1970 = 116'444'736'000'000'000;
    const std::uint64_t steps =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return steps < kStepsFrom1601To1970 ? 0 : (steps - kStepsFrom1601To1970) / kStepsPerSecond;
}

void Win32Platform::Pause(std::uint32_t milliseconds) { Sleep(milliseconds); }

bool Win32Platform::OpenLocalMachineKey(const char16_t* subKey, KeyHandle* key) {
    const auto open =
        Find<decltype(&RegOpenKeyExW)>(SystemLibrary(advapi32_, u"advapi32.dll"), "RegOpenKeyExW");
    HKEY opened = nullptr;
    if (open == nullptr ||
        open(HKEY_LOCAL_MACHINE, Wide(subKey), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
        return false;
    }
    key->value = reinterpret_cast<std::uintptr_t>(opened);
    return true;
}

bool Win32Platform::QueryValue(KeyHandle key, const char16_t* name, void* data,
                               std::uint32_t* sizeInBytes) {
    // A key is only ever open once the library is loaded.
    const auto query = Find<decltype(&RegQueryValueExW)>(advapi32_, "RegQueryValueExW");
    DWORD size = *sizeInBytes;
    if (query == nullptr || query(reinterpret_cast<HKEY>(key.value), Wide(name), nullptr, nullptr,
                                  static_cast<BYTE*>(data), &size) != ERROR_SUCCESS) {
        return false;
    }
    *sizeInBytes = size;
    return true;
}

void Win32Platform::CloseKey(KeyHandle key) {
    const auto close = Find<decltype(&RegCloseKey)>(advapi32_, "RegCloseKey");
    if (close != nullptr) close(reinterpret_cast<HKEY>(key.value));
}

bool Win32Platform::WriteString(const char16_t* section, const char16_t* key, const char* value,
                                const char16_t* path) {
    // In through the code page and, since the file is not Unicode, back out through it.
    wchar_t wide[kProfileWriteSize];
    if (MultiByteToWideChar(CP_ACP, 0, value, -1, wide, kProfileWriteSize) == 0) return false;
    return WritePrivateProfileStringW(Wide(section), Wide(key), wide, Wide(path)) != FALSE;
}

std::uint32_t Win32Platform::ReadString(const char16_t* section, const char16_t* key,
                                        char* buffer, std::uint32_t size, const char16_t* path) {
    wchar_t wide[kProfileValueSize];
    const DWORD units = GetPrivateProfileStringW(
        Wide(section), Wide(key), L"", wide, size < kProfileValueSize ? size : kProfileValueSize,
        Wide(path));
    // Back to the ANSI text the file holds, with room for the longest form any code page
    // gives 259 units (three bytes each where it is UTF-8), then cut as the narrow function
    // cuts.
    char ansi[kProfileValueSize * 3];
    int length = units == 0 ? 0
                            : WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(units), ansi,
                                                  sizeof ansi, nullptr, nullptr);
    if (length > static_cast<int>(size) - 1) length = static_cast<int>(size) - 1;
    for (int i = 0; i < length; ++i) buffer[i] = ansi[i];
    buffer[length] = '\0';
    return static_cast<std::uint32_t>(length);
}

bool Win32Platform::BeginCom() {
    const auto initialize =
        Find<decltype(&CoInitializeEx)>(SystemLibrary(ole32_, u"ole32.dll"), "CoInitializeEx");
    return initialize != nullptr &&
           SUCCEEDED(initialize(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
}

void Win32Platform::EndCom() {
    const auto uninitialize = Find<decltype(&CoUninitialize)>(ole32_, "CoUninitialize");
    if (uninitialize != nullptr) uninitialize();
}

bool Win32Platform::OpenUrlAsDesktopUser(const char16_t* url) {
    const auto create = Find<decltype(&CoCreateInstance)>(ole32_, "CoCreateInstance");
    const HMODULE oleaut32 = SystemLibrary(oleaut32_, u"oleaut32.dll");
    const auto allocate = Find<decltype(&SysAllocString)>(oleaut32, "SysAllocString");
    const auto release = Find<decltype(&SysFreeString)>(oleaut32, "SysFreeString");
    if (create == nullptr || allocate == nullptr || release == nullptr) return false;

    // The desktop's window among the shell's windows, its browser, the browser's active
    // view, and through the view's dispatch the shell's own automation object, which runs
    // in the desktop shell's process. Every object is released in one place at the end.
    IShellWindows* windows = nullptr;
    IDispatch* found = nullptr;
    IServiceProvider* provider = nullptr;
    IShellBrowser* browser = nullptr;
    IShellView* view = nullptr;
    IDispatch* viewDispatch = nullptr;
    IShellFolderViewDual* folderView = nullptr;
    IDispatch* application = nullptr;
    IShellDispatch2* shell = nullptr;
    VARIANT desktop = {};
    V_VT(&desktop) = VT_I4;
    V_I4(&desktop) = 0;  // CSIDL_DESKTOP
    VARIANT none = {};
    long window = 0;
    // FindWindowSW and the getters report "none" as a success without an object.
    bool opened =
        SUCCEEDED(create(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                         reinterpret_cast<void**>(&windows))) &&
        SUCCEEDED(windows->FindWindowSW(&desktop, &none, SWC_DESKTOP, &window,
                                        SWFO_NEEDDISPATCH, &found)) &&
        found != nullptr &&
        SUCCEEDED(found->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(&provider))) &&
        SUCCEEDED(provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                         reinterpret_cast<void**>(&browser))) &&
        SUCCEEDED(browser->QueryActiveShellView(&view)) && view != nullptr &&
        SUCCEEDED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch,
                                      reinterpret_cast<void**>(&viewDispatch))) &&
        SUCCEEDED(viewDispatch->QueryInterface(IID_IShellFolderViewDual,
                                               reinterpret_cast<void**>(&folderView))) &&
        SUCCEEDED(folderView->get_Application(&application)) && application != nullptr &&
        SUCCEEDED(application->QueryInterface(IID_IShellDispatch2, reinterpret_cast<void**>(&shell)));
    if (opened) {
        // No arguments and no folder (a null text is the empty text), the verb "open", shown
        // normally.
        const BSTR file = allocate(reinterpret_cast<const OLECHAR*>(url));
        const BSTR verb = allocate(L"open");
        VARIANT empty = {};
        V_VT(&empty) = VT_BSTR;
        VARIANT operation = {};
        V_VT(&operation) = VT_BSTR;
        V_BSTR(&operation) = verb;
        VARIANT show = {};
        V_VT(&show) = VT_I4;
        V_I4(&show) = SW_SHOWNORMAL;
        opened = file != nullptr && verb != nullptr &&
                 SUCCEEDED(shell->ShellExecute(file, empty, empty, operation, show));
        release(verb);
        release(file);
    }
    IUnknown* const objects[] = {shell, application, folderView, viewDispatch, view,
                                 browser, provider,    found,      windows};
    for (IUnknown* object : objects) {
        if (object != nullptr) object->Release();
    }
    return opened;
}

void Win32Platform::OpenUrl(const char16_t* url) {
    const auto execute =
        Find<decltype(&ShellExecuteW)>(SystemLibrary(shell32_, u"shell32.dll"), "ShellExecuteW");
    if (execute != nullptr) execute(nullptr, L"open", Wide(url), nullptr, nullptr, SW_SHOWNORMAL);
}

std::uint32_t Win32Platform::AnsiToWide(const char* text, std::uint32_t length, char16_t* out,
                                        std::uint32_t capacity) {
    const int converted = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length),
                                              Wide(out), static_cast<int>(capacity));
    return converted > 0 ? static_cast<std::uint32_t>(converted) : 0;
}

}  // namespace wrapper::platform::win32
