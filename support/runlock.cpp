// Run locks: one named mutex per cache package and per install folder, so that two runs never work on
// the same files at once. A mutex leaves nothing on disk, and the system abandons it when its run dies,
// so a killed run never blocks the next one.
#include "support/support.h"

static const UINT32 FULL_PATH_CAPACITY = 1024;
static const UINT64 FNV_OFFSET = 0xCBF29CE484222325ull;
static const UINT64 FNV_PRIME = 0x100000001B3ull;
static UINT64 RunLockHash(const WCHAR* path) {
    // Case-folded, with trailing backslashes ignored: the file system sees "C:\A\" and "c:\a" as one.
    WCHAR folded[FULL_PATH_CAPACITY];
    CopyWide(folded, FULL_PATH_CAPACITY, path);
    UINT32 length = WideLength(folded);
    while (length > 0 && (folded[length - 1] == L'\\' || folded[length - 1] == L'/'))
        --length;
    if (length > 0)
        CharUpperBuffW(folded, length);
    UINT64 hash = FNV_OFFSET;
    for (UINT32 i = 0; i < length; ++i) {
        WCHAR c = folded[i] == L'/' ? L'\\' : folded[i];
        hash = (hash ^ (UINT64)(c & 0xFF)) * FNV_PRIME;
        hash = (hash ^ (UINT64)(c >> 8)) * FNV_PRIME;
    }
    return hash;
}

void RunLockName(WCHAR* name, UINT32 capacity, const WCHAR* kind, const WCHAR* path) {
    WCHAR full[FULL_PATH_CAPACITY];
    DWORD length = GetFullPathNameW(path, FULL_PATH_CAPACITY, full, nullptr);
    UINT64 hash = RunLockHash(length > 0 && length < FULL_PATH_CAPACITY ? full : path);
    // Kernel object names allow no backslash after the namespace, hence the hash of the path.
    FormatText(name, capacity, L"Local\\TOVKinemoDownloader.%s.%llu", kind, hash);
}

BOOL RunLockWaitAcquired(DWORD waitResult) {
    return waitResult == WAIT_OBJECT_0 || waitResult == WAIT_ABANDONED;
}

HANDLE AcquireRunLock(const WCHAR* kind, const WCHAR* path) {
    WCHAR name[RUN_LOCK_NAME_CAPACITY];
    RunLockName(name, RUN_LOCK_NAME_CAPACITY, kind, path);
    HANDLE lock = CreateMutexW(nullptr, FALSE, name);
    if (!lock)
        return nullptr;
    // No wait: a second run refuses at once rather than working on the same files later.
    DWORD waited = WaitForSingleObject(lock, 0);
    if (RunLockWaitAcquired(waited))
        return lock;
    DWORD code = waited == WAIT_TIMEOUT ? ERROR_BUSY : GetLastError();
    CloseHandle(lock);
    SetLastError(code != ERROR_SUCCESS ? code : ERROR_LOCK_FAILED);
    return nullptr;
}

void ReleaseRunLock(HANDLE lock) {
    if (!lock)
        return;
    DWORD code = GetLastError();
    ReleaseMutex(lock);
    CloseHandle(lock);
    SetLastError(code);
}
