// The package's table of contents: its zip central directory, found from the end record at the file's
// tail (and the zip64 end record when there is one), read entry by entry with every length and offset
// checked against the bytes at hand and against the file. Only names are decoded; no entry data is read.
#include "install/contents.h"

static const UINT32 END_RECORD_SIZE = 22;
static const UINT32 ZIP64_LOCATOR_SIZE = 20;
static const UINT32 DIRECTORY_HEADER_SIZE = 46;
static const UINT32 LOCAL_HEADER_SIZE = 30;
static const UINT32 END_SIGNATURE = 0x06054B50;
static const UINT32 ZIP64_LOCATOR_SIGNATURE = 0x07064B50;
static const UINT32 ZIP64_END_SIGNATURE = 0x06064B50;
static const UINT32 DIRECTORY_SIGNATURE = 0x02014B50;
static const UINT16 ZIP64_EXTRA_ID = 0x0001;
static const UINT32 ALL_ONES_32 = 0xFFFFFFFF;
static const UINT16 FLAG_UTF8 = 0x0800;
static const UINT32 DOS_DIRECTORY = 0x10;
static const BYTE HOST_UNIX = 3;

static UINT16 Read16(const BYTE* p) {
    return (UINT16)(p[0] | (p[1] << 8));
}

static UINT32 Read32(const BYTE* p) {
    return (UINT32)Read16(p) | ((UINT32)Read16(p + 2) << 16);
}

static UINT64 Read64(const BYTE* p) {
    return (UINT64)Read32(p) | ((UINT64)Read32(p + 4) << 32);
}

// The directory's values against the limits and the file: it lies whole before place->end and has room
// for its entries' fixed headers.
static BOOL CheckDirectoryPlace(const ZipDirectoryPlace* place) {
    if (place->count > MAX_DIRECTORY_ENTRIES || place->size > MAX_DIRECTORY_SIZE ||
        place->offset > place->end || place->size > place->end - place->offset ||
        place->count * DIRECTORY_HEADER_SIZE > place->size)
        return FailWith(ERROR_BAD_FORMAT);
    return TRUE;
}

BOOL FindZipDirectory(const BYTE* tail, UINT32 tailLength, UINT64 fileSize, ZipDirectoryPlace* place) {
    MemoryZero(place, sizeof(*place));
    if (tailLength < END_RECORD_SIZE || tailLength > fileSize)
        return FailWith(ERROR_BAD_FORMAT);
    // The end record nearest the end whose comment reaches exactly to the file's end, so that a comment
    // holding the signature's bytes is not taken for the record.
    UINT32 at = tailLength - END_RECORD_SIZE;
    while (Read32(tail + at) != END_SIGNATURE ||
           at + END_RECORD_SIZE + Read16(tail + at + 20) != tailLength) {
        if (at == 0)
            return FailWith(ERROR_BAD_FORMAT);
        --at;
    }
    const BYTE* end = tail + at;
    UINT64 endOffset = fileSize - tailLength + at;

    if (at >= ZIP64_LOCATOR_SIZE && Read32(end - ZIP64_LOCATOR_SIZE) == ZIP64_LOCATOR_SIGNATURE) {
        const BYTE* locator = end - ZIP64_LOCATOR_SIZE;
        UINT64 locatorOffset = endOffset - ZIP64_LOCATOR_SIZE;
        UINT64 recordOffset = Read64(locator + 8);
        if (Read32(locator + 4) != 0 || Read32(locator + 16) > 1 || recordOffset > locatorOffset ||
            locatorOffset - recordOffset < ZIP64_END_RECORD_SIZE)
            return FailWith(ERROR_BAD_FORMAT);
        place->zip64Pending = TRUE;
        place->zip64RecordOffset = recordOffset;
        place->end = locatorOffset;
        return TRUE;
    }
    // One disk only: this disk, the directory's disk, and all entries on it.
    if (Read16(end + 4) != 0 || Read16(end + 6) != 0 || Read16(end + 8) != Read16(end + 10))
        return FailWith(ERROR_BAD_FORMAT);
    place->count = Read16(end + 10);
    place->size = Read32(end + 12);
    place->offset = Read32(end + 16);
    place->end = endOffset;
    return CheckDirectoryPlace(place);
}

BOOL ReadZip64EndRecord(const BYTE* record, UINT32 length, ZipDirectoryPlace* place) {
    if (!place->zip64Pending || length < ZIP64_END_RECORD_SIZE || Read32(record) != ZIP64_END_SIGNATURE)
        return FailWith(ERROR_BAD_FORMAT);
    // The record (12 bytes and the size it gives) ends before the locator.
    UINT64 recordSize = Read64(record + 4);
    UINT64 room = place->end - place->zip64RecordOffset - 12;
    if (recordSize < ZIP64_END_RECORD_SIZE - 12 || recordSize > room || Read32(record + 16) != 0 ||
        Read32(record + 20) != 0 || Read64(record + 24) != Read64(record + 32))
        return FailWith(ERROR_BAD_FORMAT);
    place->count = Read64(record + 32);
    place->size = Read64(record + 40);
    place->offset = Read64(record + 48);
    place->end = place->zip64RecordOffset;
    place->zip64Pending = FALSE;
    return CheckDirectoryPlace(place);
}

// What the reader takes from one directory entry.
struct DirectoryRecord {
    const BYTE* name;
    UINT32 nameLength;
    BOOL utf8;
    BOOL folderAttribute;
    UINT32 crc32;
    UINT64 size;
};

// The zip64 extra field's values, in their fixed order, for the 32-bit fields that hold all ones. Other
// kinds of extra fields are passed over; a field longer than what is left ends the walk.
static BOOL ApplyZip64Extra(const BYTE* extra, UINT32 length, UINT64* size, UINT64* compressed,
                            UINT64* localOffset) {
    UINT32 at = 0;
    while (length - at >= 4) {
        UINT16 id = Read16(extra + at);
        UINT32 fieldLength = Read16(extra + at + 2);
        at += 4;
        if (fieldLength > length - at)
            break;
        if (id == ZIP64_EXTRA_ID) {
            UINT64* values[3] = {size, compressed, localOffset};
            UINT32 used = 0;
            for (UINT64* value : values) {
                if (*value != ALL_ONES_32)
                    continue;
                if (fieldLength - used < 8)
                    return FALSE;
                *value = Read64(extra + at + used);
                used += 8;
            }
            return TRUE;
        }
        at += fieldLength;
    }
    return TRUE;
}

// The entry at *position: its header, name, extra field and comment inside the directory, its local
// header and data before the directory. Moves *position past the entry.
static BOOL ReadDirectoryRecord(const BYTE* directory, UINT32 length, UINT32* position,
                                UINT64 directoryOffset, DirectoryRecord* record) {
    if (length - *position < DIRECTORY_HEADER_SIZE)
        return FALSE;
    const BYTE* header = directory + *position;
    UINT32 nameLength = Read16(header + 28), extraLength = Read16(header + 30);
    UINT32 entryLength = DIRECTORY_HEADER_SIZE + nameLength + extraLength + Read16(header + 32);
    if (Read32(header) != DIRECTORY_SIGNATURE || entryLength > length - *position)
        return FALSE;
    UINT64 compressed = Read32(header + 20), localOffset = Read32(header + 42);
    record->size = Read32(header + 24);
    if (!ApplyZip64Extra(header + DIRECTORY_HEADER_SIZE + nameLength, extraLength, &record->size, &compressed,
                         &localOffset))
        return FALSE;
    if (localOffset > directoryOffset || compressed > directoryOffset - localOffset ||
        directoryOffset - localOffset - compressed < LOCAL_HEADER_SIZE)
        return FALSE;
    UINT32 external = Read32(header + 38);
    record->name = header + DIRECTORY_HEADER_SIZE;
    record->nameLength = nameLength;
    record->utf8 = (Read16(header + 8) & FLAG_UTF8) != 0;
    record->folderAttribute =
        (external & DOS_DIRECTORY) != 0 || (header[5] == HOST_UNIX && ((external >> 16) & 0xF000) == 0x4000);
    record->crc32 = Read32(header + 16);
    *position += entryLength;
    return TRUE;
}

// One walk over the whole directory: counts the listed entries and fills them when entries is given.
// FALSE when an entry is broken or the entries do not fill the directory exactly.
static BOOL WalkDirectory(const BYTE* directory, UINT32 length, const ZipDirectoryPlace* place,
                          PayloadEntry* entries, UINT32* listed, BOOL* unsafe) {
    UINT32 position = 0;
    *listed = 0;
    *unsafe = FALSE;
    for (UINT64 i = 0; i < place->count; ++i) {
        DirectoryRecord record;
        if (!ReadDirectoryRecord(directory, length, &position, place->offset, &record))
            return FALSE;
        WCHAR path[PATH_CAPACITY];
        BOOL folder = FALSE;
        EntryNameKind kind = ClassifyEntryName(record.name, record.nameLength,
                                               record.utf8 ? CP_UTF8 : CP_OEMCP, path, &folder);
        if (kind == ENTRY_UNSAFE)
            *unsafe = TRUE;
        if (kind != ENTRY_LISTED)
            continue;
        if (entries) {
            PayloadEntry* entry = &entries[*listed];
            CopyWideClearing(entry->path, PATH_CAPACITY, path);
            entry->size = record.size;
            entry->crc32 = record.crc32;
            entry->folder = folder || record.folderAttribute;
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

// length bytes at offset; a file that ends sooner fails with ERROR_HANDLE_EOF.
static BOOL ReadFileAt(HANDLE file, UINT64 offset, BYTE* buffer, UINT32 length) {
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

// The three steps on the open file: tail, zip64 end record, directory.
static BOOL ReadOpenPackage(HANDLE file, BYTE* tail, PayloadContents* contents) {
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(file, &fileSize))
        return FALSE;
    UINT64 size = (UINT64)fileSize.QuadPart;
    UINT32 tailLength = size < ZIP_TAIL_CAPACITY ? (UINT32)size : ZIP_TAIL_CAPACITY;
    ZipDirectoryPlace place;
    if (!ReadFileAt(file, size - tailLength, tail, tailLength) ||
        !FindZipDirectory(tail, tailLength, size, &place))
        return FALSE;
    if (place.zip64Pending) {
        BYTE record[ZIP64_END_RECORD_SIZE];
        if (!ReadFileAt(file, place.zip64RecordOffset, record, ZIP64_END_RECORD_SIZE) ||
            !ReadZip64EndRecord(record, ZIP64_END_RECORD_SIZE, &place))
            return FALSE;
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
