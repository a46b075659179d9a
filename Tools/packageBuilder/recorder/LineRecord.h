// Appending to a record file, for the small Windows programs that write down what they were
// started with: the URL recorder and the test suite's stand-in installer. Windows-only and
// header-only; it needs nothing of the C or C++ runtime, which the recorder does without.
#pragma once

#include <windows.h>

namespace wrapper::recorder {

// Appends `size` bytes to `file`, creating it when missing, in one write with append access:
// two programs recording into the same file at once never interleave within a record.
inline bool AppendToFile(const wchar_t* file, const void* bytes, DWORD size) {
    HANDLE handle = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(handle, bytes, size, &written, nullptr);
    CloseHandle(handle);
    return ok && written == size;
}

}  // namespace wrapper::recorder
