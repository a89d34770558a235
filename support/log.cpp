// The UTF-8 log file in the user's temporary directory, and the user-facing error texts.
#include "support/support.h"

// Windows appends through FILE_APPEND_DATA atomically; Wine does not, so two threads' entries could land
// at one offset and one be lost. Appends from this process take turns; a zero SRW lock needs no set-up.
static SRWLOCK logAppendLock = SRWLOCK_INIT;

void BuildLogEntry(WCHAR* entry, UINT32 capacity, const SYSTEMTIME* time, const WCHAR* text) {
    FormatText(entry, capacity, L"%04u-%02u-%02u %02u:%02u:%02u %s\r\n", (UINT32)time->wYear,
               (UINT32)time->wMonth, (UINT32)time->wDay, (UINT32)time->wHour, (UINT32)time->wMinute,
               (UINT32)time->wSecond, text);
}

// Working buffers of one entry.
struct LogEntryBuffers {
    WCHAR tempDir[PATH_CAPACITY];
    WCHAR logPath[PATH_CAPACITY];
    WCHAR entry[LOG_ENTRY_CAPACITY];
    char utf8[LOG_UTF8_CAPACITY];
};

// Set once the final line is on its way: no other line may follow it.
static volatile LONG logClosed;

// Builds the entry and its path; FALSE when there is nothing to write (the entry is then lost).
static BOOL PrepareLogEntry(LogEntryBuffers* buffers, const WCHAR* text, int* bytes) {
    DWORD tempLength = GetTempPathW(PATH_CAPACITY, buffers->tempDir);
    if (tempLength == 0 || tempLength >= PATH_CAPACITY)
        return FALSE;
    // A cut name would write someone else's file: the entry is lost instead.
    if (!ComposePath(buffers->logPath, PATH_CAPACITY, L"%sTOVKinemoDownloader.log", buffers->tempDir))
        return FALSE;
    SYSTEMTIME now;
    GetLocalTime(&now);
    BuildLogEntry(buffers->entry, LOG_ENTRY_CAPACITY, &now, text);
    *bytes = WideCharToMultiByte(CP_UTF8, 0, buffers->entry, -1, buffers->utf8, (int)LOG_UTF8_CAPACITY,
                                 nullptr, nullptr);
    return *bytes >= 2;
}

static void WriteLogEntry(const LogEntryBuffers* buffers, int bytes) {
    HANDLE file = CreateFileW(buffers->logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    SetFilePointerEx(file, zero, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, buffers->utf8, (DWORD)(bytes - 1), &written, nullptr);
    CloseHandle(file);
}

void AppendLog(const WCHAR* text) {
    LogEntryBuffers buffers;
    int bytes = 0;
    if (AtomicRead32(&logClosed) || !PrepareLogEntry(&buffers, text, &bytes))
        return;
    AcquireSRWLockExclusive(&logAppendLock);
    if (!AtomicRead32(&logClosed))
        WriteLogEntry(&buffers, bytes);
    ReleaseSRWLockExclusive(&logAppendLock);
}

void AppendFinalLog(const WCHAR* text) {
    AtomicSet32(&logClosed, 1);
    // Fresh pages rather than the stack (which may be what overflowed) or the heap (which may be broken).
    LogEntryBuffers* buffers = (LogEntryBuffers*)VirtualAlloc(nullptr, sizeof(LogEntryBuffers),
                                                              MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    int bytes = 0;
    if (!buffers || !PrepareLogEntry(buffers, text, &bytes))
        return;
    // Another thread's append ends within moments, and the line should not land on top of it; a holder
    // that never lets go (the failed thread itself, or one stopped inside the write) is not waited for.
    // The lock is kept, so that nothing is appended after this line.
    for (UINT32 tries = 0; tries < FINAL_LOG_LOCK_TRIES; ++tries) {
        if (TryAcquireSRWLockExclusive(&logAppendLock))
            break;
        Sleep(1);
    }
    WriteLogEntry(buffers, bytes);
}

void StripTrailingBreaks(WCHAR* text) {
    UINT32 length = WideLength(text);
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r' || text[length - 1] == L' '))
        text[--length] = 0;
}

void ComposeErrorText(WCHAR* output, const WCHAR* prefix, DWORD code, const WCHAR* description,
                      BOOL hasDescription) {
    if (hasDescription)
        FormatText(output, ERROR_TEXT_CAPACITY, L"%s（错误 %lu：%s）", prefix, (UINT32)code, description);
    else
        FormatText(output, ERROR_TEXT_CAPACITY, L"%s（错误 %lu）", prefix, (UINT32)code);
}

void FormatErrorText(WCHAR* output, const WCHAR* prefix, DWORD code) {
    WCHAR description[ERROR_DESCRIPTION_CAPACITY];
    description[0] = 0;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  0, description, ERROR_DESCRIPTION_CAPACITY, nullptr);
    if (length == 0) {
        ComposeErrorText(output, prefix, code, nullptr, FALSE);
        return;
    }
    description[ERROR_DESCRIPTION_CAPACITY - 1] = 0;
    StripTrailingBreaks(description);
    ComposeErrorText(output, prefix, code, description, TRUE);
}
