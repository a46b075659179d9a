// The yardstick of the launcher's start-up time in scripts/bench: the smallest Windows
// program there is. No C runtime, no resources, kernel32 alone; it ends at once with the
// code the launcher gives a package without a trailer (15), so the two are run alike.

#include <windows.h>

extern "C" [[noreturn]] void WINAPI SmallestStart(void* /*processEnvironment*/) { ExitProcess(15); }
