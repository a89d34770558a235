// The zip reader's steps, each a function of the bytes it is given.
#include "support/zipdir.h"

static const uint32_t END_RECORD_SIZE = 22;
static const uint32_t ZIP64_LOCATOR_SIZE = 20;
static const uint32_t DIRECTORY_HEADER_SIZE = 46;
static const uint32_t END_SIGNATURE = 0x06054B50;
static const uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064B50;
static const uint32_t ZIP64_END_SIGNATURE = 0x06064B50;
static const uint32_t DIRECTORY_SIGNATURE = 0x02014B50;
static const uint32_t LOCAL_SIGNATURE = 0x04034B50;
static const uint16_t ZIP64_EXTRA_ID = 0x0001;
static const uint32_t ALL_ONES_32 = 0xFFFFFFFF;
static const uint16_t FLAG_DESCRIPTOR = 0x0008;

static uint16_t Read16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

static uint32_t Read32(const uint8_t* p) {
    return (uint32_t)Read16(p) | ((uint32_t)Read16(p + 2) << 16);
}

static uint64_t Read64(const uint8_t* p) {
    return (uint64_t)Read32(p) | ((uint64_t)Read32(p + 4) << 32);
}

// The directory's values against the limits and the file: it lies whole before place->end and has room
// for its entries' fixed headers.
static bool CheckDirectoryPlace(const ZipDirectoryPlace* place) {
    return place->count <= MAX_DIRECTORY_ENTRIES && place->size <= MAX_DIRECTORY_SIZE &&
           place->offset <= place->end && place->size <= place->end - place->offset &&
           place->count * DIRECTORY_HEADER_SIZE <= place->size;
}

bool FindZipDirectory(const uint8_t* tail, uint32_t tailLength, uint64_t fileSize, ZipDirectoryPlace* place) {
    *place = ZipDirectoryPlace{};
    if (tailLength < END_RECORD_SIZE || tailLength > fileSize)
        return false;
    // The end record nearest the end whose comment reaches exactly to the file's end, so that a comment
    // holding the signature's bytes is not taken for the record.
    uint32_t at = tailLength - END_RECORD_SIZE;
    while (Read32(tail + at) != END_SIGNATURE ||
           at + END_RECORD_SIZE + Read16(tail + at + 20) != tailLength) {
        if (at == 0)
            return false;
        --at;
    }
    const uint8_t* end = tail + at;
    uint64_t endOffset = fileSize - tailLength + at;

    if (at >= ZIP64_LOCATOR_SIZE && Read32(end - ZIP64_LOCATOR_SIZE) == ZIP64_LOCATOR_SIGNATURE) {
        const uint8_t* locator = end - ZIP64_LOCATOR_SIZE;
        uint64_t locatorOffset = endOffset - ZIP64_LOCATOR_SIZE;
        uint64_t recordOffset = Read64(locator + 8);
        if (Read32(locator + 4) != 0 || Read32(locator + 16) > 1 || recordOffset > locatorOffset ||
            locatorOffset - recordOffset < ZIP64_END_RECORD_SIZE)
            return false;
        place->zip64Pending = true;
        place->zip64RecordOffset = recordOffset;
        place->end = locatorOffset;
        return true;
    }
    // One disk only: this disk, the directory's disk, and all entries on it.
    if (Read16(end + 4) != 0 || Read16(end + 6) != 0 || Read16(end + 8) != Read16(end + 10))
        return false;
    place->count = Read16(end + 10);
    place->size = Read32(end + 12);
    place->offset = Read32(end + 16);
    place->end = endOffset;
    return CheckDirectoryPlace(place);
}

bool ReadZip64EndRecord(const uint8_t* record, uint32_t length, ZipDirectoryPlace* place) {
    if (!place->zip64Pending || length < ZIP64_END_RECORD_SIZE || Read32(record) != ZIP64_END_SIGNATURE)
        return false;
    // The record (12 bytes and the size it gives) ends before the locator.
    uint64_t recordSize = Read64(record + 4);
    uint64_t room = place->end - place->zip64RecordOffset - 12;
    if (recordSize < ZIP64_END_RECORD_SIZE - 12 || recordSize > room || Read32(record + 16) != 0 ||
        Read32(record + 20) != 0 || Read64(record + 24) != Read64(record + 32))
        return false;
    place->count = Read64(record + 32);
    place->size = Read64(record + 40);
    place->offset = Read64(record + 48);
    place->end = place->zip64RecordOffset;
    place->zip64Pending = false;
    return CheckDirectoryPlace(place);
}

// The zip64 extra field's values, in their fixed order, for the 32-bit fields that hold all ones. Other
// kinds of extra fields are passed over; a field longer than what is left ends the walk.
static bool ApplyZip64Extra(const uint8_t* extra, uint32_t length, uint64_t* size, uint64_t* compressed,
                            uint64_t* localOffset) {
    uint32_t at = 0;
    while (length - at >= 4) {
        uint16_t id = Read16(extra + at);
        uint32_t fieldLength = Read16(extra + at + 2);
        at += 4;
        if (fieldLength > length - at)
            break;
        if (id == ZIP64_EXTRA_ID) {
            uint64_t* values[3] = {size, compressed, localOffset};
            uint32_t used = 0;
            for (uint64_t* value : values) {
                if (*value != ALL_ONES_32)
                    continue;
                if (fieldLength - used < 8)
                    return false;
                *value = Read64(extra + at + used);
                used += 8;
            }
            return true;
        }
        at += fieldLength;
    }
    return true;
}

bool ReadZipRecord(const uint8_t* directory, uint32_t length, uint32_t* position, uint64_t directoryOffset,
                   ZipRecord* record) {
    if (*position > length || length - *position < DIRECTORY_HEADER_SIZE)
        return false;
    const uint8_t* header = directory + *position;
    uint32_t nameLength = Read16(header + 28), extraLength = Read16(header + 30);
    uint32_t entryLength = DIRECTORY_HEADER_SIZE + nameLength + extraLength + Read16(header + 32);
    if (Read32(header) != DIRECTORY_SIGNATURE || entryLength > length - *position)
        return false;
    uint64_t compressed = Read32(header + 20), localOffset = Read32(header + 42);
    uint64_t size = Read32(header + 24);
    if (!ApplyZip64Extra(header + DIRECTORY_HEADER_SIZE + nameLength, extraLength, &size, &compressed,
                         &localOffset))
        return false;
    if (localOffset > directoryOffset || compressed > directoryOffset - localOffset ||
        directoryOffset - localOffset - compressed < ZIP_LOCAL_HEADER_SIZE)
        return false;
    record->name = header + DIRECTORY_HEADER_SIZE;
    record->nameLength = nameLength;
    record->versionNeeded = Read16(header + 6);
    record->flags = Read16(header + 8);
    record->method = Read16(header + 10);
    record->time = Read16(header + 12);
    record->date = Read16(header + 14);
    record->host = header[5];
    record->crc32 = Read32(header + 16);
    record->external = Read32(header + 38);
    record->compressedSize = compressed;
    record->size = size;
    record->localOffset = localOffset;
    *position += entryLength;
    return true;
}

uint32_t ZipLocalHeaderLength(const uint8_t* header, uint32_t length, const ZipRecord* record) {
    if (length < ZIP_LOCAL_HEADER_SIZE || Read32(header) != LOCAL_SIGNATURE ||
        Read16(header + 8) != record->method || Read16(header + 26) != record->nameLength)
        return 0;
    // Without a descriptor the header holds the values, or all ones where zip64 holds them.
    if ((Read16(header + 6) & FLAG_DESCRIPTOR) == 0) {
        uint32_t compressed = Read32(header + 18), size = Read32(header + 22);
        if (Read32(header + 14) != record->crc32 ||
            (compressed != ALL_ONES_32 && compressed != record->compressedSize) ||
            (size != ALL_ONES_32 && size != record->size))
            return 0;
    }
    return ZIP_LOCAL_HEADER_SIZE + record->nameLength + Read16(header + 28);
}
