// Makes a program fail from outside, as a fault in its own code would: starts it suspended, writes ud2
// (an illegal instruction) over one of its functions, lets it run and reports how it ended. (Wine may
// hold a write into a running program until the program's threads call into the system,
// so the write is made before the program's first instruction.)
//
// Usage: ud2run RVA_HEX EXE [ARGS...]
//   RVA_HEX  the function's offset in the exe's image (from the link map)
// Prints "patched" when the function was overwritten, then "exit 0x<code>" with the full exit code.
#include <windows.h>
#include <winternl.h>
#include <cstdio>
#include <cwchar>
#include <string>
#include "../rig/quote.h"

// The child's image base, from its process environment block (the exe may be relocated).
static ULONG_PTR ImageBase(HANDLE process) {
    typedef NTSTATUS(NTAPI * QueryProc)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    QueryProc query =
        (QueryProc)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess");
    PROCESS_BASIC_INFORMATION basic = {};
    ULONG length = 0;
    if (!query || query(process, ProcessBasicInformation, &basic, sizeof basic, &length) != 0)
        return 0;
    ULONG_PTR base = 0;
    SIZE_T got = 0;
    if (!ReadProcessMemory(process, (BYTE*)basic.PebBaseAddress + 0x10, &base, sizeof base, &got))
        return 0;
    return base;
}

static bool Patch(HANDLE process, ULONG_PTR address) {
    static const BYTE UD2[] = {0x0F, 0x0B};
    DWORD old = 0;
    if (!VirtualProtectEx(process, (void*)address, sizeof UD2, PAGE_EXECUTE_READWRITE, &old))
        return false;
    SIZE_T written = 0;
    bool ok = WriteProcessMemory(process, (void*)address, UD2, sizeof UD2, &written) && written == sizeof UD2;
    VirtualProtectEx(process, (void*)address, sizeof UD2, old, &old);
    FlushInstructionCache(process, (void*)address, sizeof UD2);
    return ok;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: ud2run RVA_HEX EXE [ARGS...]\n");
        return 2;
    }
    ULONG_PTR rva = (ULONG_PTR)wcstoull(argv[1], nullptr, 16);
    std::wstring commandLine;
    for (int i = 2; i < argc; ++i)
        commandLine += (commandLine.empty() ? L"" : L" ") + Quote(argv[i]);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(argv[2], &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &child)) {
        fwprintf(stderr, L"ud2run: cannot start the program (%lu)\n", GetLastError());
        return 3;
    }
    ULONG_PTR base = ImageBase(child.hProcess);
    if (base && Patch(child.hProcess, base + rva))
        wprintf(L"patched\n");
    ResumeThread(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    wprintf(L"exit 0x%08lX\n", code);
    fflush(stdout);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return 0;
}
