// The package's own table of contents: the entries below its top-level "Payload/" folder, read from the
// zip's central directory, and the checks of the install folder against it before and after the
// extraction.
#pragma once

#include "support/support.h"
#include "support/zipdir.h"

// One entry below "Payload/": its path relative to that folder with '\' separators and no trailing
// separator, its uncompressed size and CRC-32, and whether it is a folder.
struct PayloadEntry {
    WCHAR path[PATH_CAPACITY];
    UINT64 size;
    UINT32 crc32;
    BOOL folder;
};

// The entries in central-directory order, in a process-heap array. unsafe is set when an entry below
// "Payload/" names a path that could leave the install folder (a ".." part, a drive, a leading slash)
// or cannot be held whole: such an entry is left out of the list, and the package cannot be shown whole.
struct PayloadContents {
    PayloadEntry* entries;
    UINT32 count;
    BOOL unsafe;
};

// CRC-32 (the zip polynomial, reflected); start with crc 0 and feed the data in pieces.
UINT32 Crc32Update(UINT32 crc, const BYTE* data, SIZE_T length);

// Reads the package file's central directory. FALSE when it cannot be read (a broken or hostile
// directory, ERROR_BAD_FORMAT; or the system's code) or lists nothing below "Payload/"
// (ERROR_BAD_FORMAT). On success the caller releases the list.
BOOL ReadPackageContents(const WCHAR* packagePath, PayloadContents* contents);
void ReleasePackageContents(PayloadContents* contents);

// ---- the reader's steps, each a function of the bytes it is given (the directory's place from the
// shared zip reader, support/zipdir.h) ----

// From the directory's place->size bytes: the entries below "Payload/". Same results as
// ReadPackageContents; on success the caller releases the list.
BOOL ReadPayloadEntries(const BYTE* directory, UINT32 length, const ZipDirectoryPlace* place,
                        PayloadContents* contents);

enum EntryNameKind { ENTRY_IGNORED, ENTRY_LISTED, ENTRY_UNSAFE };
// One entry's name in codePage (CP_UTF8 for a name flagged UTF-8, else CP_OEMCP: the Shell reads it so;
// '\' read as '/'): ENTRY_LISTED with the path below "Payload/" (any case) and whether the name ends
// with '/'; ENTRY_UNSAFE for a name below it that could leave the folder, does not decode or cannot be
// held; ENTRY_IGNORED for any other name and "Payload/" itself.
EntryNameKind ClassifyEntryName(const BYTE* name, UINT32 length, UINT codePage, WCHAR path[PATH_CAPACITY],
                                BOOL* folder);
// The code page the Shell reads an entry's name in, from its general-purpose flags: CP_UTF8 with bit 11,
// else the system's CP_OEMCP.
UINT EntryNameCodePage(UINT16 flags);

// Before the script: every listed file that already exists in installDir can be opened for writing
// without sharing (its bytes and times untouched). Fails with ERROR_SHARING_VIOLATION when one stays in
// use past the held-file window; a file that refuses with access denied is not in use.
BOOL CheckPayloadReplaceable(const WCHAR* installDir, const PayloadContents* contents);
// After the script: every listed file exists in installDir with the listed size and CRC-32 and every
// listed folder exists. Fails with ERROR_INSTALL_FAILURE otherwise.
BOOL CheckPayloadInstalled(const WCHAR* installDir, const PayloadContents* contents);
// TRUE when the open file holds exactly size bytes whose CRC-32 is crc, read from its current position to
// its end in pieces of bufferSize.
BOOL OpenFileMatches(HANDLE file, UINT64 size, UINT32 crc, BYTE* buffer, DWORD bufferSize);
