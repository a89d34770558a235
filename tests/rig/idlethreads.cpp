// Benchmark helper: an idle Windows process with N idle threads (N from the command line, default 0),
// so that the private memory of an idle Wine process and Wine's cost per thread can be measured.
// "desktop [READY-FILE]" instead of N: an idle process that holds Wine's desktop, so that explorer.exe
// stays up between the programs a benchmark or a test starts, as the desktop of a Windows session does.
// One per prefix: a second one ends at once. READY-FILE is made once the desktop is up.
#include <windows.h>

#include <cwchar>

static DWORD WINAPI IdleThread(LPVOID) {
    Sleep(INFINITE);
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && wcscmp(argv[1], L"desktop") == 0) {
        CreateMutexW(nullptr, FALSE, L"Local\\TovRigDesktopHolder");
        if (GetLastError() == ERROR_ALREADY_EXISTS)
            return 0;
        // Loaded at run time, so that the idle process of the memory figures does not carry user32.
        HMODULE user32 = LoadLibraryW(L"user32.dll");
        FARPROC desktopWindow = user32 ? GetProcAddress(user32, "GetDesktopWindow") : nullptr;
        if (!desktopWindow)
            return 1;
        ((HWND(WINAPI*)())(void*)desktopWindow)();
        if (argc > 2)
            CloseHandle(CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        Sleep(INFINITE);
    }
    int threads = argc > 1 ? _wtoi(argv[1]) : 0;
    for (int i = 0; i < threads; ++i)
        CreateThread(nullptr, 0, IdleThread, nullptr, 0, nullptr);
    Sleep(INFINITE);
    return 0;
}
