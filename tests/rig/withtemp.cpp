// Runs a program with TMP and TEMP pointing at a given directory, so that every test run has its own
// temporary directory (and with it its own log file) although all share one Wine prefix.
// Usage: withtemp.exe TEMPDIR PROGRAM [ARGS...]; the exit code is the program's.
#include <windows.h>
#include "quote.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 125;
    CreateDirectoryW(argv[1], nullptr);
    SetEnvironmentVariableW(L"TMP", argv[1]);
    SetEnvironmentVariableW(L"TEMP", argv[1]);
    std::wstring commandLine = Quote(argv[2]);
    for (int i = 3; i < argc; ++i) commandLine += L" " + Quote(argv[i]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return 126;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)code;
}
