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

void AppendLog(const WCHAR* text) {
    WCHAR tempDir[PATH_CAPACITY];
    DWORD tempLength = GetTempPathW(PATH_CAPACITY, tempDir);
    if (tempLength == 0 || tempLength >= PATH_CAPACITY)
        return;
    WCHAR logPath[PATH_CAPACITY];
    // A cut name would write someone else's file: the entry is lost instead.
    if (!ComposePath(logPath, PATH_CAPACITY, L"%sTOVKinemoDownloader.log", tempDir))
        return;

    SYSTEMTIME now;
    GetLocalTime(&now);
    WCHAR entry[LOG_ENTRY_CAPACITY];
    BuildLogEntry(entry, LOG_ENTRY_CAPACITY, &now, text);

    char utf8[LOG_UTF8_CAPACITY];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, entry, -1, utf8, (int)LOG_UTF8_CAPACITY, nullptr, nullptr);
    if (bytes < 2)
        return;

    AcquireSRWLockExclusive(&logAppendLock);
    HANDLE file = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        SetFilePointerEx(file, zero, nullptr, FILE_END);
        DWORD written = 0;
        WriteFile(file, utf8, (DWORD)(bytes - 1), &written, nullptr);
        CloseHandle(file);
    }
    ReleaseSRWLockExclusive(&logAppendLock);
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
