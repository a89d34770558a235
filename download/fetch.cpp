// Whole-resource fetch over HTTPS into a growing heap buffer with a terminating zero byte.
#include "download/download.h"

static const UINT32 FIRST_FETCH_CAPACITY = 65536;
static const UINT32 FETCH_GROWTH_CAP = 2097152;

UINT32 NextFetchCapacity(UINT32 capacity) {
    // Doubling stops at 4 MiB: a full 4 MiB buffer cannot grow, so such a body is too large.
    UINT32 base = capacity < FETCH_GROWTH_CAP ? capacity : FETCH_GROWTH_CAP;
    UINT32 next = base * 2;
    return next > capacity ? next : 0;
}

// Reads the body into a buffer that always keeps one spare byte for the terminator.
static BOOL ReadWholeBody(HINTERNET request, BYTE** buffer, UINT32* length) {
    UINT32 capacity = FIRST_FETCH_CAPACITY;
    BYTE* data = (BYTE*)HeapTake((SIZE_T)capacity + 1, FALSE);
    if (!data) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    UINT32 received = 0;
    for (;;) {
        if (received == capacity) {
            UINT32 next = NextFetchCapacity(capacity);
            if (next == 0) {
                HeapRelease(data);
                SetLastError(ERROR_FILE_TOO_LARGE);
                return FALSE;
            }
            BYTE* grown = (BYTE*)HeapReAlloc(GetProcessHeap(), 0, data, (SIZE_T)next + 1);
            if (!grown) {
                HeapRelease(data);
                SetLastError(ERROR_OUTOFMEMORY);
                return FALSE;
            }
            data = grown;
            capacity = next;
        }
        DWORD got = 0;
        if (!winHttp.readData(request, data + received, capacity - received, &got)) {
            DWORD code = GetLastError();
            HeapRelease(data);
            SetLastError(code);
            return FALSE;
        }
        if (got == 0)
            break;
        received += got;
    }
    data[received] = 0;
    *buffer = data;
    *length = received;
    return TRUE;
}

BOOL FetchUrlToBuffer(const WCHAR* url, BYTE** buffer, UINT32* length) {
    *buffer = nullptr;
    *length = 0;
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    if (!OpenHttpRequest(url, nullptr, &session, &connection, &request))
        return FALSE;

    DWORD status = 0;
    BOOL ok = SendHttpRequest(request, &status);
    DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    if (ok && status != 200) {
        // The body of an unexpected answer is never read.
        ok = FALSE;
        code = HttpStatusFailureCode(status);
    }
    if (ok) {
        ok = ReadWholeBody(request, buffer, length);
        if (!ok)
            code = GetLastError();
    }
    CloseHttpHandles(session, connection, request);
    SetLastError(code);
    return ok;
}
