// Benchmark helper: an idle Windows process with N idle threads (N from the command line, default 0),
// so that the private memory of an idle Wine process and Wine's cost per thread can be measured.
#include <windows.h>

#include <cwchar>

static DWORD WINAPI IdleThread(LPVOID) {
    Sleep(INFINITE);
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    int threads = argc > 1 ? _wtoi(argv[1]) : 0;
    for (int i = 0; i < threads; ++i)
        CreateThread(nullptr, 0, IdleThread, nullptr, 0, nullptr);
    Sleep(INFINITE);
    return 0;
}
