// Files briefly held by another process: on Windows a scanner, the search indexer or a sync client often
// opens a file just written without sharing it, and opens, renames and deletes then fail for a moment.
// Those calls are tried again with growing pauses for about two seconds in all. Also the plain read at
// an offset that the zip readers use.
#include "support/support.h"

// Pauses between tries, in milliseconds; 2000 ms in all.
static const DWORD HELD_FILE_PAUSES[] = {50, 100, 200, 300, 500, 850};
static const DWORD CANCEL_POLL_MS = 50;

BOOL IsHeldFileCode(DWORD code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED;
}

DWORD HeldFilePause(UINT32 attempt) {
    return attempt < sizeof(HELD_FILE_PAUSES) / sizeof(HELD_FILE_PAUSES[0]) ? HELD_FILE_PAUSES[attempt] : 0;
}

// After a failed try: TRUE when it is worth trying again (the pause has been waited). FALSE leaves the
// failed call's code, or ERROR_CANCELLED when the cancel flag was set during the wait.
static BOOL WaitBeforeRetry(UINT32* attempt, volatile LONG* cancelFlag) {
    DWORD code = GetLastError();
    DWORD pause = IsHeldFileCode(code) ? HeldFilePause(*attempt) : 0;
    if (pause == 0)
        return FailWith(code);
    ++*attempt;
    for (DWORD waited = 0; waited < pause; waited += CANCEL_POLL_MS) {
        if (cancelFlag && AtomicRead32(cancelFlag) != 0)
            return FailWith(ERROR_CANCELLED);
        Sleep(pause - waited < CANCEL_POLL_MS ? pause - waited : CANCEL_POLL_MS);
    }
    return TRUE;
}

HANDLE OpenFileWhileHeld(const WCHAR* path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                         volatile LONG* cancelFlag) {
    UINT32 attempt = 0;
    for (;;) {
        HANDLE file = CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
        if (file != INVALID_HANDLE_VALUE || !WaitBeforeRetry(&attempt, cancelFlag))
            return file;
    }
}

BOOL MoveFileWhileHeld(const WCHAR* from, const WCHAR* to, DWORD flags) {
    UINT32 attempt = 0;
    for (;;) {
        if (MoveFileExW(from, to, flags))
            return TRUE;
        if (!WaitBeforeRetry(&attempt, nullptr))
            return FALSE;
    }
}

BOOL DeleteFileWhileHeld(const WCHAR* path) {
    UINT32 attempt = 0;
    for (;;) {
        if (DeleteFileW(path))
            return TRUE;
        if (!WaitBeforeRetry(&attempt, nullptr))
            return FALSE;
    }
}

// length bytes at offset; a file that ends sooner fails with ERROR_HANDLE_EOF.
BOOL ReadFileAt(HANDLE file, UINT64 offset, BYTE* buffer, UINT32 length) {
    while (length > 0) {
        OVERLAPPED at;
        MemoryZero(&at, sizeof(at));
        at.Offset = (DWORD)offset;
        at.OffsetHigh = (DWORD)(offset >> 32);
        DWORD done = 0;
        if (!ReadFile(file, buffer, length, &done, &at))
            return FALSE;
        if (done == 0)
            return FailWith(ERROR_HANDLE_EOF);
        buffer += done;
        offset += done;
        length -= done;
    }
    return TRUE;
}
