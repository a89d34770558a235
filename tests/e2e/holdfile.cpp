// Holds a file open without any sharing for a while, as a scanner or indexer does with a file just
// written: holdfile PATH MILLISECONDS READY-MARKER. The marker file is written once the file is held.
#include <windows.h>
#include <stdlib.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4)
        return 2;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 3;
    HANDLE ready = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready == INVALID_HANDLE_VALUE)
        return 4;
    CloseHandle(ready);
    Sleep((DWORD)_wtoi(argv[2]));
    CloseHandle(held);
    return 0;
}
