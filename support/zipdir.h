// The zip's table of contents read from bytes in memory: the end record and zip64 locator in the file's
// tail, the zip64 end record, and the central directory's records, every length and offset checked
// against the bytes given and against the file. Portable (only <stdint.h> types, no allocation): the
// same source serves the install check, the upgrade's download and the vendor's tool.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The package's last bytes that hold the end record with the longest comment and the zip64 locator.
static const uint32_t ZIP_TAIL_CAPACITY = 22 + 65535 + 20;
static const uint32_t ZIP64_END_RECORD_SIZE = 56;
static const uint32_t ZIP_LOCAL_HEADER_SIZE = 30;
// Limits of a directory this program reads; a larger one is refused.
static const uint32_t MAX_DIRECTORY_SIZE = 64u << 20;
static const uint32_t MAX_DIRECTORY_ENTRIES = 65536;

// Where the central directory lies (file offsets). With zip64Pending the values come from the zip64 end
// record at zip64RecordOffset, which must be read next. end: where the records behind the directory
// start; the directory lies before it.
struct ZipDirectoryPlace {
    uint64_t offset;
    uint64_t size;
    uint64_t count;
    uint64_t end;
    bool zip64Pending;
    uint64_t zip64RecordOffset;
};

// From the file's last tailLength bytes (all of a smaller file): the end record, and the zip64 locator
// before it. false when none is found or a value points outside the file.
bool FindZipDirectory(const uint8_t* tail, uint32_t tailLength, uint64_t fileSize, ZipDirectoryPlace* place);
// From the ZIP64_END_RECORD_SIZE bytes at place->zip64RecordOffset (length may be smaller: refused).
bool ReadZip64EndRecord(const uint8_t* record, uint32_t length, ZipDirectoryPlace* place);

// One central-directory record: the name points into the directory bytes; the zip64 extra field's values
// replace the 32-bit fields that hold all ones.
struct ZipRecord {
    const uint8_t* name;
    uint32_t nameLength;
    uint16_t versionNeeded;
    uint16_t flags;
    uint16_t method;
    uint16_t time;
    uint16_t date;
    uint8_t host;
    uint32_t crc32;
    uint32_t external;
    uint64_t compressedSize;
    uint64_t size;
    uint64_t localOffset;
};

// The record at *position of the directory's length bytes, whose local header and data must lie before
// directoryOffset. Moves *position past the record; false when it is broken or does not fit.
bool ReadZipRecord(const uint8_t* directory, uint32_t length, uint32_t* position, uint64_t directoryOffset,
                   ZipRecord* record);

// A local header's full length (fixed part, name, extra field) from its first ZIP_LOCAL_HEADER_SIZE
// bytes, when its signature, method, CRC-32, sizes (unless a data descriptor or zip64 holds them) and
// name length agree with the record's; 0 otherwise.
uint32_t ZipLocalHeaderLength(const uint8_t* header, uint32_t length, const ZipRecord* record);
