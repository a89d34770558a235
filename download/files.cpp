// Local files: the size query used by the package check and the download, and the whole-file read
// of a local manifest or signature.
#include "download/download.h"

UINT64 QueryFileSize(const WCHAR* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!path || !GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return NO_FILE_SIZE;
    return ((UINT64)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

BOOL ReadFileToBuffer(const WCHAR* path, BYTE** buffer, UINT32* length) {
    if (buffer)
        *buffer = nullptr;
    if (length)
        *length = 0;
    if (!buffer || !length) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A missing or unreadable file reports all ones and is refused like one that is too large.
    UINT64 size = QueryFileSize(path);
    if (size > MAX_FETCH_SIZE) {
        SetLastError(ERROR_FILE_INVALID);
        return FALSE;
    }
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;

    BYTE* data = (BYTE*)HeapTake((SIZE_T)size + 1, FALSE);
    if (!data) {
        CloseHandle(file);
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    // One read of the whole size; a short read (the file shrank) fails like a failed read.
    DWORD bytesRead = 0;
    SetLastError(0);
    BOOL complete = ReadFile(file, data, (DWORD)size, &bytesRead, nullptr) && bytesRead == (DWORD)size;
    DWORD code = GetLastError();
    CloseHandle(file);
    if (!complete) {
        HeapRelease(data);
        SetLastError(code ? code : ERROR_READ_FAULT);
        return FALSE;
    }
    data[size] = 0;
    *buffer = data;
    *length = (UINT32)size;
    return TRUE;
}
