// The launcher's own start-up, in place of a C runtime's: the process begins here, runs
// wWinMain and ends with its result. Nothing else happens before wWinMain: no library is
// loaded (the image imports kernel32 alone), no heap or locale is set up, no static object
// is constructed (the launcher has none; the link fails if one appears). Also here: what
// the compiler may call without being asked, which a C runtime would otherwise provide.

#include "platform/win32/MemoryRoutines.h"

#include <windows.h>

extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previousInstance,
                               LPWSTR commandLine, int showCommand);

// The image's entry point (linked with -e): the system calls it on the first thread with
// one argument, which the launcher does not need. It never returns: the process ends with
// wWinMain's result as its exit code.
// wWinMain reads none of its arguments (the launcher takes no command line and shows no
// window), so it gets the instance and nothing more: fetching the command line and the
// start-up information only to drop them would cost two imports and their code.
extern "C" [[noreturn]] void WINAPI WrapperStartUp(void* /*processEnvironment*/) {
    wchar_t noArguments[] = L"";
    const int result = wWinMain(GetModuleHandleW(nullptr), nullptr, noArguments, SW_SHOWDEFAULT);
    ExitProcess(static_cast<UINT>(result));
}

// Called through an abstract platform interface's table only if a pure function were ever
// called, which no launcher code does: a programming fault, ended at once.
extern "C" void __cxa_pure_virtual() { __builtin_trap(); }

// This file is compiled with the compiler's loop-to-call rewriting off, or these loops
// would become calls to themselves.
extern "C" void* memcpy(void* to, const void* from, size_t count) {
    return wrapper::platform::win32::CopyBytes(to, from, count);
}

extern "C" void* memmove(void* to, const void* from, size_t count) {
    return wrapper::platform::win32::MoveBytes(to, from, count);
}

extern "C" void* memset(void* to, int value, size_t count) {
    return wrapper::platform::win32::FillBytes(to, value, count);
}

extern "C" int memcmp(const void* a, const void* b, size_t count) {
    return wrapper::platform::win32::CompareBytes(a, b, count);
}

extern "C" void* memchr(const void* from, int value, size_t count) {
    return wrapper::platform::win32::FindByte(from, value, count);
}

extern "C" size_t strlen(const char* text) { return wrapper::platform::win32::TextLength(text); }
