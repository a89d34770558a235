// The package's table of contents: its zip central directory, found from the end record at the file's
// tail (and the zip64 end record when there is one), read entry by entry with every length and offset
// checked against the bytes at hand and against the file. Only names are decoded; no entry data is read.
#include "install/contents.h"

static const UINT32 DOS_DIRECTORY = 0x10;
static const BYTE HOST_UNIX = 3;

// One walk over the whole directory: counts the listed entries and fills them when entries is given.
// FALSE when an entry is broken or the entries do not fill the directory exactly.
static BOOL WalkDirectory(const BYTE* directory, UINT32 length, const ZipDirectoryPlace* place,
                          PayloadEntry* entries, UINT32* listed, BOOL* unsafe) {
    UINT32 position = 0;
    *listed = 0;
    *unsafe = FALSE;
    for (UINT64 i = 0; i < place->count; ++i) {
        ZipRecord record;
        if (!ReadZipRecord(directory, length, &position, place->offset, &record))
            return FALSE;
        WCHAR path[PATH_CAPACITY];
        BOOL folder = FALSE;
        EntryNameKind kind =
            ClassifyEntryName(record.name, record.nameLength, EntryNameCodePage(record.flags), path, &folder);
        if (kind == ENTRY_UNSAFE)
            *unsafe = TRUE;
        if (kind != ENTRY_LISTED)
            continue;
        if (entries) {
            PayloadEntry* entry = &entries[*listed];
            CopyWideClearing(entry->path, PATH_CAPACITY, path);
            entry->size = record.size;
            entry->crc32 = record.crc32;
            entry->folder = folder || (record.external & DOS_DIRECTORY) != 0 ||
                            (record.host == HOST_UNIX && ((record.external >> 16) & 0xF000) == 0x4000);
        }
        ++*listed;
    }
    return position == length;
}

BOOL ReadPayloadEntries(const BYTE* directory, UINT32 length, const ZipDirectoryPlace* place,
                        PayloadContents* contents) {
    MemoryZero(contents, sizeof(*contents));
    UINT32 listed = 0;
    BOOL unsafe = FALSE;
    if (place->zip64Pending || length != place->size ||
        !WalkDirectory(directory, length, place, nullptr, &listed, &unsafe) || listed == 0)
        return FailWith(ERROR_BAD_FORMAT);
    PayloadEntry* entries = (PayloadEntry*)HeapTake((SIZE_T)listed * sizeof(PayloadEntry), TRUE);
    if (!entries)
        return FailWith(ERROR_OUTOFMEMORY);
    WalkDirectory(directory, length, place, entries, &listed, &unsafe);
    contents->entries = entries;
    contents->count = listed;
    contents->unsafe = unsafe;
    return TRUE;
}

void ReleasePackageContents(PayloadContents* contents) {
    if (!contents)
        return;
    HeapRelease(contents->entries);
    MemoryZero(contents, sizeof(*contents));
}

// The three steps on the open file: tail, zip64 end record, directory.
static BOOL ReadOpenPackage(HANDLE file, BYTE* tail, PayloadContents* contents) {
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(file, &fileSize))
        return FALSE;
    UINT64 size = (UINT64)fileSize.QuadPart;
    UINT32 tailLength = size < ZIP_TAIL_CAPACITY ? (UINT32)size : ZIP_TAIL_CAPACITY;
    ZipDirectoryPlace place;
    if (!ReadFileAt(file, size - tailLength, tail, tailLength))
        return FALSE;
    if (!FindZipDirectory(tail, tailLength, size, &place))
        return FailWith(ERROR_BAD_FORMAT);
    if (place.zip64Pending) {
        BYTE record[ZIP64_END_RECORD_SIZE];
        if (!ReadFileAt(file, place.zip64RecordOffset, record, ZIP64_END_RECORD_SIZE))
            return FALSE;
        if (!ReadZip64EndRecord(record, ZIP64_END_RECORD_SIZE, &place))
            return FailWith(ERROR_BAD_FORMAT);
    }
    // At least one byte, so that an empty directory still has a buffer to be refused with.
    BYTE* directory = (BYTE*)HeapTake((SIZE_T)place.size + 1, FALSE);
    if (!directory)
        return FailWith(ERROR_OUTOFMEMORY);
    BOOL read = ReadFileAt(file, place.offset, directory, (UINT32)place.size) &&
                ReadPayloadEntries(directory, (UINT32)place.size, &place, contents);
    DWORD code = GetLastError();
    HeapRelease(directory);
    SetLastError(code);
    return read;
}

BOOL ReadPackageContents(const WCHAR* packagePath, PayloadContents* contents) {
    MemoryZero(contents, sizeof(*contents));
    HANDLE file = OpenFileWhileHeld(packagePath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    BYTE* tail = (BYTE*)HeapTake(ZIP_TAIL_CAPACITY, FALSE);
    BOOL read = tail ? ReadOpenPackage(file, tail, contents) : FailWith(ERROR_OUTOFMEMORY);
    DWORD code = GetLastError();
    HeapRelease(tail);
    CloseHandle(file);
    SetLastError(code);
    return read;
}
