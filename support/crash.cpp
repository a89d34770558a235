// The last word of a process that meets an exception nobody handles: one log line naming the code and
// the place, a minidump beside the log, and the exception code as the exit code. The filter is set
// before anything else runs; it needs the exe's unwind tables, without which the exception never
// reaches it.
#include "support/libraries.h"
#include <dbghelp.h>

// The SDK's record is packed to 4 bytes; dbghelp reads it at exactly these offsets.
static_assert(sizeof(MINIDUMP_EXCEPTION_INFORMATION) == 16, "the SDK's packed exception record");

// Where the exe lies in memory, taken at start so that the filter reads no header of a broken process.
static UINT64 imageBase;
static UINT64 imageSize;
// The id of the thread that writes the trace; 0 until one fails.
static volatile LONG crashThread;
static DWORD crashCode;
// PROCESS_CALLBACK_FILTER_ENABLED of the user-mode exception policy.
static const DWORD CALLBACK_FILTER_ENABLED = 1;

// Digits of value in upper-case hexadecimal, at least minimum of them, into a buffer of 17 units.
static void HexDigits(WCHAR* digits, UINT64 value, UINT32 minimum) {
    WCHAR reversed[16];
    UINT32 count = 0;
    do {
        reversed[count++] = L"0123456789ABCDEF"[value & 15];
        value >>= 4;
    } while (value != 0);
    while (count < minimum && count < 16)
        reversed[count++] = L'0';
    UINT32 i = 0;
    while (count > 0)
        digits[i++] = reversed[--count];
    digits[i] = 0;
}

void ComposeCrashLine(WCHAR* line, UINT32 capacity, DWORD code, UINT64 address, UINT64 base, UINT64 size) {
    WCHAR codeDigits[17], placeDigits[17];
    HexDigits(codeDigits, code, 8);
    if (address >= base && address - base < size) {
        HexDigits(placeDigits, address - base, 1);
        FormatText(line, capacity, L"程序意外终止（异常 0x%s，位置 TOVKinemoDownloader.exe+0x%s）",
                   codeDigits, placeDigits);
    } else {
        HexDigits(placeDigits, address, 16);
        FormatText(line, capacity, L"程序意外终止（异常 0x%s，位置 0x%s）", codeDigits, placeDigits);
    }
}

DWORD CrashExitCode(DWORD exceptionCode) {
    // 0, 1 and 2 are the program's own outcomes; a crash must never read as one of them.
    return exceptionCode > 2 ? exceptionCode : UNHANDLED_EXCEPTION_CODE;
}

BOOL ComposeDumpPath(WCHAR* path, UINT32 capacity, const WCHAR* folder, const SYSTEMTIME* time,
                     DWORD processId) {
    return ComposePath(path, capacity, L"%sTOVKinemoDownloader-%04u%02u%02u-%02u%02u%02u-%u.dmp", folder,
                       (UINT32)time->wYear, (UINT32)time->wMonth, (UINT32)time->wDay, (UINT32)time->wHour,
                       (UINT32)time->wMinute, (UINT32)time->wSecond, (UINT32)processId);
}

// least to most digits at text, and no more: the position after them, or null.
static const WCHAR* SkipDigits(const WCHAR* text, UINT32 least, UINT32 most) {
    UINT32 count = 0;
    while (count < most && text[count] >= L'0' && text[count] <= L'9')
        ++count;
    return count >= least && (text[count] < L'0' || text[count] > L'9') ? text + count : nullptr;
}

BOOL IsDumpName(const WCHAR* name) {
    static const WCHAR PREFIX[] = L"TOVKinemoDownloader-";
    UINT32 i = 0;
    for (; PREFIX[i]; ++i)
        if (name[i] != PREFIX[i])
            return FALSE;
    const WCHAR* p = SkipDigits(name + i, 8, 8);
    if (p && *p == L'-')
        p = SkipDigits(p + 1, 6, 6);
    if (p && *p == L'-')
        p = SkipDigits(p + 1, 1, 10);
    return p && WideEquals(p, L".dmp");
}

// The filter's working memory, taken from fresh pages: the stack may be what overflowed, the heap may
// be what broke.
struct CrashBuffers {
    WCHAR line[ERROR_TEXT_CAPACITY];
    WCHAR folder[PATH_CAPACITY];
    WCHAR dump[PATH_CAPACITY];
    WCHAR path[PATH_CAPACITY];
    WCHAR oldest[PATH_CAPACITY];
    WIN32_FIND_DATAW found;
};

// Removes the oldest of this program's dumps beside the new one until at most MAX_KEPT_DUMPS remain;
// the new one stays whatever its time says.
static void RemoveOldDumps(CrashBuffers* buffers) {
    const WCHAR* newName = buffers->dump + WideLength(buffers->folder);
    for (UINT32 round = 0; round < 64; ++round) {
        if (!ComposePath(buffers->path, PATH_CAPACITY, L"%sTOVKinemoDownloader-*.dmp", buffers->folder))
            return;
        HANDLE search = FindFirstFileW(buffers->path, &buffers->found);
        if (search == INVALID_HANDLE_VALUE)
            return;
        UINT32 count = 0;
        UINT64 oldestTime = ~(UINT64)0;
        buffers->oldest[0] = 0;
        do {
            const WIN32_FIND_DATAW* found = &buffers->found;
            if ((found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsDumpName(found->cFileName))
                continue;
            ++count;
            UINT64 time =
                ((UINT64)found->ftLastWriteTime.dwHighDateTime << 32) | found->ftLastWriteTime.dwLowDateTime;
            if (time < oldestTime && !WideEquals(found->cFileName, newName)) {
                oldestTime = time;
                CopyWide(buffers->oldest, PATH_CAPACITY, found->cFileName);
            }
        } while (FindNextFileW(search, &buffers->found));
        FindClose(search);
        if (count <= MAX_KEPT_DUMPS || buffers->oldest[0] == 0 ||
            !ComposePath(buffers->path, PATH_CAPACITY, L"%s%s", buffers->folder, buffers->oldest) ||
            !DeleteFileW(buffers->path))
            return;
    }
}

// The minidump of this process with the exception's record, written by the system's dbghelp.
static void WriteCrashDump(EXCEPTION_POINTERS* exception, CrashBuffers* buffers) {
    DWORD length = GetTempPathW(PATH_CAPACITY, buffers->folder);
    if (length == 0 || length >= PATH_CAPACITY)
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (!ComposeDumpPath(buffers->dump, PATH_CAPACITY, buffers->folder, &now, GetCurrentProcessId()))
        return;
    HMODULE dbghelp = LoadSystemLibrary(L"dbghelp.dll");
    if (!dbghelp)
        return;
    typedef BOOL(WINAPI * WriteDumpProc)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                         PMINIDUMP_EXCEPTION_INFORMATION, PMINIDUMP_USER_STREAM_INFORMATION,
                                         PMINIDUMP_CALLBACK_INFORMATION);
    WriteDumpProc writeDump = (WriteDumpProc)(void*)GetProcAddress(dbghelp, "MiniDumpWriteDump");
    if (!writeDump)
        return;
    // Never over another file: the name is this second's and this process's own.
    HANDLE file = CreateFileW(buffers->dump, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    MINIDUMP_EXCEPTION_INFORMATION information;
    information.ThreadId = GetCurrentThreadId();
    information.ExceptionPointers = exception;
    information.ClientPointers = FALSE;
    BOOL written = writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &information,
                             nullptr, nullptr);
    CloseHandle(file);
    if (!written) {
        DeleteFileW(buffers->dump); // a broken dump only misleads
        return;
    }
    RemoveOldDumps(buffers);
}

static LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exception) {
    DWORD self = GetCurrentThreadId();
    LONG owner = InterlockedCompareExchange(&crashThread, (LONG)self, 0);
    if (owner != 0) {
        // The trace itself failed: end with the first code. Any other thread waits for the end.
        if ((DWORD)owner == self)
            TerminateProcess(GetCurrentProcess(), CrashExitCode(crashCode));
        for (;;)
            Sleep(INFINITE);
    }
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    crashCode = record->ExceptionCode;
    CrashBuffers* buffers =
        (CrashBuffers*)VirtualAlloc(nullptr, sizeof(CrashBuffers), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (buffers) {
        ComposeCrashLine(buffers->line, ERROR_TEXT_CAPACITY, record->ExceptionCode,
                         (UINT64)(ULONG_PTR)record->ExceptionAddress, imageBase, imageSize);
        AppendFinalLog(buffers->line);
        WriteCrashDump(exception, buffers);
    }
    // At once: no DLL detach, nothing more of the job, no box from the system either.
    TerminateProcess(GetCurrentProcess(), CrashExitCode(crashCode));
    return EXCEPTION_EXECUTE_HANDLER;
}

void InstallCrashHandler(void) {
    HMODULE exe = GetModuleHandleW(nullptr);
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)exe;
    const IMAGE_NT_HEADERS64* headers = (const IMAGE_NT_HEADERS64*)((const BYTE*)exe + dos->e_lfanew);
    imageBase = (UINT64)(ULONG_PTR)exe;
    imageSize = headers->OptionalHeader.SizeOfImage;
    SetUnhandledExceptionFilter(CrashFilter);
    // 64-bit Windows 7 swallows an exception raised in a window procedure that the kernel called back
    // (KB976038); the policy switch, where the system has it, lets such an exception reach the filter.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    typedef BOOL(WINAPI * GetPolicyProc)(DWORD*);
    typedef BOOL(WINAPI * SetPolicyProc)(DWORD);
    GetPolicyProc getPolicy =
        kernel ? (GetPolicyProc)(void*)GetProcAddress(kernel, "GetProcessUserModeExceptionPolicy") : nullptr;
    SetPolicyProc setPolicy =
        kernel ? (SetPolicyProc)(void*)GetProcAddress(kernel, "SetProcessUserModeExceptionPolicy") : nullptr;
    DWORD policy = 0;
    if (getPolicy && setPolicy && getPolicy(&policy))
        setPolicy(policy & ~CALLBACK_FILTER_ENABLED);
}
