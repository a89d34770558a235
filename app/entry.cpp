// Process entry: the executable has no C runtime, so this is where the process starts.
#include "app/app.h"
#include "support/libraries.h"

extern "C" void ProcessEntry(void) {
    // Before anything can fail: an exception nobody handles leaves a log line and a dump, and its code.
    InstallCrashHandler();
    // Then: no DLL loaded by name from now on may come from the current or the program's folder.
    RestrictDllSearch();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    ExitProcess((UINT)AppMain(instance));
}
