// Version texts of an installation and of a manifest, compared without any Windows type so that the
// decision also builds and runs natively.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The most bytes a version record may hold; a longer file is not read as a version.
static const size_t VERSION_RECORD_CAPACITY = 256;

enum VersionOrder { VERSION_OLDER = -1, VERSION_EQUAL = 0, VERSION_NEWER = 1, VERSION_NOT_COMPARABLE = 2 };

// The order of a against b. A version is one or more runs of decimal digits joined by dots; parts are
// compared as numbers of any size, missing parts count 0. VERSION_NOT_COMPARABLE when either side is not
// of that form.
VersionOrder CompareVersions(const char* a, size_t aLength, const char* b, size_t bLength);

// The version written in a record file: a UTF-8 byte-order mark and surrounding whitespace left out.
void TrimVersionRecord(const char* bytes, size_t length, size_t* start, size_t* trimmedLength);

// Nonzero when an installation whose record holds these bytes must not take the offered version: the
// record reads as a version newer than offered and the manifest does not allow a downgrade. A record
// longer than VERSION_RECORD_CAPACITY, or either side not a version, never stops a run. The installed
// version is left at record[*installedStart], *installedLength bytes.
int RefusesDowngrade(const char* record, size_t recordLength, const char* offered, size_t offeredLength,
                     int allowDowngrade, size_t* installedStart, size_t* installedLength);
