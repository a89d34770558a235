// Process entry: the executable has no C runtime, so this is where the process starts.
#include "app/app.h"

extern "C" void ProcessEntry(void) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    ExitProcess((UINT)AppMain(instance));
}
