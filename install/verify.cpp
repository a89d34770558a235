// The install folder against the package's table of contents. Before the extraction every listed file
// that is already there must be free to be replaced; after it every listed file must be there with the
// listed size and CRC-32, and every listed folder must exist. Only listed paths are ever composed, each
// below the install folder (the reader leaves out any path that could leave it), so files the package
// does not list are never read, changed or judged.
#include "install/contents.h"

// Reads of the installed files: large, so that the check costs little more than the disk's own speed.
static const UINT32 CHECK_READ_SIZE = 1048576;

static BOOL ComposeEntryPath(WCHAR* path, const WCHAR* installDir, const PayloadEntry* entry) {
    return ComposePath(path, PATH_CAPACITY, L"%s\\%s", installDir, entry->path);
}

// CreateFileW, tried again while another process holds the file without sharing (a scanner with a file
// just written, or the running application), for the held-file window. Other failures are final: here
// access denied means a read-only file or a folder, not a holder.
static HANDLE OpenWaitingOutHolders(const WCHAR* path, DWORD access, DWORD share, DWORD flags) {
    for (UINT32 attempt = 0;; ++attempt) {
        HANDLE file = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
            return file;
        DWORD pause = HeldFilePause(attempt);
        if (pause == 0)
            return file;
        Sleep(pause);
    }
}

// Opened for writing without sharing, then closed: nothing is written, so bytes and times stay. Only a
// sharing violation means someone uses the file; a read-only file the Shell replaces or reports itself,
// and a missing file is simply new.
static BOOL FileCanBeReplaced(const WCHAR* path) {
    HANDLE file = OpenWaitingOutHolders(path, FILE_WRITE_DATA, 0, FILE_ATTRIBUTE_NORMAL);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return TRUE;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION ? FailWith(ERROR_SHARING_VIOLATION) : TRUE;
}

BOOL CheckPayloadReplaceable(const WCHAR* installDir, const PayloadContents* contents) {
    WCHAR path[PATH_CAPACITY];
    // Every name must fit before any file is opened.
    for (UINT32 i = 0; i < contents->count; ++i)
        if (!ComposeEntryPath(path, installDir, &contents->entries[i]))
            return FALSE;
    for (UINT32 i = 0; i < contents->count; ++i) {
        const PayloadEntry* entry = &contents->entries[i];
        if (!entry->folder && (!ComposeEntryPath(path, installDir, entry) || !FileCanBeReplaced(path)))
            return FALSE;
    }
    return TRUE;
}

BOOL OpenFileMatches(HANDLE file, UINT64 size, UINT32 crc, BYTE* buffer, DWORD bufferSize) {
    LARGE_INTEGER length;
    BOOL same = GetFileSizeEx(file, &length) && (UINT64)length.QuadPart == size;
    UINT64 seen = 0;
    UINT32 sum = 0;
    while (same) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, bufferSize, &got, nullptr)) {
            same = FALSE;
        } else if (got == 0) {
            break;
        } else {
            seen += got;
            same = seen <= size;
            sum = Crc32Update(sum, buffer, got);
        }
    }
    return same && seen == size && sum == crc;
}

// The same for the file at path, read once in large pieces.
static BOOL FileMatches(const WCHAR* path, UINT64 size, UINT32 crc, BYTE* buffer) {
    HANDLE file = OpenWaitingOutHolders(path, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL same = OpenFileMatches(file, size, crc, buffer, CHECK_READ_SIZE);
    CloseHandle(file);
    return same;
}

BOOL CheckPayloadInstalled(const WCHAR* installDir, const PayloadContents* contents) {
    BYTE* buffer = (BYTE*)HeapTake(CHECK_READ_SIZE, FALSE);
    if (!buffer)
        return FailWith(ERROR_OUTOFMEMORY);
    WCHAR path[PATH_CAPACITY];
    BOOL whole = TRUE;
    DWORD code = ERROR_INSTALL_FAILURE;
    for (UINT32 i = 0; whole && i < contents->count; ++i) {
        const PayloadEntry* entry = &contents->entries[i];
        if (!ComposeEntryPath(path, installDir, entry)) {
            whole = FALSE;
            code = GetLastError();
        } else if (entry->folder) {
            DWORD attributes = GetFileAttributesW(path);
            whole = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        } else {
            whole = FileMatches(path, entry->size, entry->crc32, buffer);
        }
    }
    HeapRelease(buffer);
    return whole ? TRUE : FailWith(code);
}
