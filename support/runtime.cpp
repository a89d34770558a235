// Memory, text and atomic helpers shared by the whole program.
#include "support/support.h"

void MemoryCopy(void* destination, const void* source, SIZE_T size) {
    BYTE* out = (BYTE*)destination;
    const BYTE* in = (const BYTE*)source;
    for (SIZE_T i = 0; i < size; ++i)
        out[i] = in[i];
}

void MemoryZero(void* destination, SIZE_T size) {
    volatile BYTE* out = (volatile BYTE*)destination;
    for (SIZE_T i = 0; i < size; ++i)
        out[i] = 0;
}

void* HeapTake(SIZE_T size, BOOL zeroFill) {
    return HeapAlloc(GetProcessHeap(), zeroFill ? HEAP_ZERO_MEMORY : 0, size);
}

void HeapRelease(void* block) {
    if (block)
        HeapFree(GetProcessHeap(), 0, block);
}

UINT32 WideLength(const WCHAR* text) {
    UINT32 length = 0;
    if (text)
        while (text[length])
            ++length;
    return length;
}

UINT32 ByteLength(const char* text) {
    UINT32 length = 0;
    if (text)
        while (text[length])
            ++length;
    return length;
}

// Copies at most capacity - 1 units and terminates; with clearRest every unit behind the text is zeroed.
template <typename Unit>
static void CopyCut(Unit* destination, UINT32 capacity, const Unit* source, BOOL clearRest) {
    if (capacity == 0)
        return;
    UINT32 i = 0;
    if (source)
        for (; i + 1 < capacity && source[i]; ++i)
            destination[i] = source[i];
    destination[i] = 0;
    if (clearRest)
        for (++i; i < capacity; ++i)
            destination[i] = 0;
}

void CopyWide(WCHAR* destination, UINT32 capacity, const WCHAR* source) {
    CopyCut(destination, capacity, source, FALSE);
}

void CopyWideClearing(WCHAR* destination, UINT32 capacity, const WCHAR* source) {
    CopyCut(destination, capacity, source, TRUE);
}

void CopyNarrowClearing(char* destination, UINT32 capacity, const char* source) {
    CopyCut(destination, capacity, source, TRUE);
}

BOOL PathIsFile(const WCHAR* path) {
    return (GetFileAttributesW(path) & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

BOOL FailWith(DWORD code) {
    SetLastError(code);
    return FALSE;
}

BOOL WideEquals(const WCHAR* a, const WCHAR* b) {
    for (UINT32 i = 0;; ++i) {
        if (a[i] != b[i])
            return FALSE;
        if (!a[i])
            return TRUE;
    }
}

static WCHAR LowerAscii(WCHAR c) {
    return (c >= L'A' && c <= L'Z') ? (WCHAR)(c - L'A' + L'a') : c;
}

BOOL WideEqualsAsciiNoCase(const WCHAR* a, const WCHAR* b) {
    for (UINT32 i = 0;; ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return FALSE;
        if (!a[i])
            return TRUE;
    }
}

LONG AtomicRead32(volatile LONG* value) {
    return InterlockedCompareExchange(value, 0, 0);
}

void AtomicSet32(volatile LONG* value, LONG newValue) {
    InterlockedExchange(value, newValue);
}

BOOL AtomicIsSet(volatile LONG* flag) {
    return AtomicRead32(flag) != 0;
}

UINT64 AtomicRead64(volatile UINT64* value) {
    return (UINT64)InterlockedCompareExchange64((volatile LONG64*)value, 0, 0);
}

UINT64 AtomicAdd64(volatile UINT64* value, UINT64 amount) {
    for (;;) {
        LONG64 old = InterlockedCompareExchange64((volatile LONG64*)value, 0, 0);
        if (InterlockedCompareExchange64((volatile LONG64*)value, (LONG64)((UINT64)old + amount), old) == old)
            return (UINT64)old;
    }
}
