// The upgrade's plan: which bytes of the new package are copied from files the machine already has (an
// earlier package in the cache, an installed file) and which are fetched, and how the fetched bytes are
// spread over the connections. Value functions over caller-given arrays; portable (only <stdint.h> types,
// no allocation), so the program, its native tests and the vendor's `diff` command share this source.
#pragma once

#include "support/zipdir.h"

static const uint32_t REUSE_CONNECTIONS = 8;
// A gap of copied bytes up to this size between two fetched spans is fetched with them.
static const uint64_t REUSE_JOIN_GAP = 64u << 10;
// Each connection takes its share of the fetched bytes in up to this many pieces, dealt in turn.
static const uint32_t REUSE_ROUNDS = 4;
// A connection is opened for at least this many bytes to fetch.
static const uint64_t REUSE_CONNECTION_MIN = 64u << 10;
// The most a tail (directory with its end records) may take.
static const uint64_t REUSE_TAIL_LIMIT =
    (uint64_t)MAX_DIRECTORY_SIZE + ZIP_TAIL_CAPACITY + 2 * ZIP64_END_RECORD_SIZE;
static const uint32_t REUSE_FETCH = 0xFFFFFFFFu;
static const uint32_t REUSE_TAIL = 0xFFFFFFFEu;
// The tail is read in at most this many pieces: the last bytes, back to the zip64 end record, back to the
// directory.
static const uint32_t REUSE_TAIL_READS = 3;

// ---- the new package's tail ----

enum ReuseTailState { REUSE_TAIL_BAD, REUSE_TAIL_NEEDS_MORE, REUSE_TAIL_READ };
// From the package's last length bytes: READ with the directory's place when they hold the end records
// and the directory; NEEDS_MORE with *needFrom when bytes before them are needed (never further back than
// REUSE_TAIL_LIMIT from the end); BAD for a tail that does not parse or points outside the file.
ReuseTailState ReadReuseTail(const uint8_t* tail, uint64_t length, uint64_t fileSize,
                             ZipDirectoryPlace* place, uint64_t* needFrom);

// Every record of the directory (place->size bytes) in order into records (capacity); false when one is
// broken, they do not fill the directory exactly, or they do not fit.
bool ReadZipRecords(const uint8_t* directory, const ZipDirectoryPlace* place, ZipRecord* records,
                    uint32_t capacity, uint32_t* count);

// Each entry's extent: from its local header to the next entry's (by offset) or the directory. false when
// two entries share or cross their bytes. order is scratch of count indexes.
bool ZipEntryExtents(const ZipRecord* records, uint32_t count, uint64_t directoryOffset, uint32_t* order,
                     uint64_t* extentEnds);

// ---- where unchanged entries can come from ----

// An entry that a file on this machine holds: the directory's values, where its compressed data starts
// in that file (source), and whether its whole extent (local header to the next entry) can be copied.
struct ReuseCandidate {
    ZipRecord record; // its name points into the source's directory bytes
    uint32_t source;
    uint64_t dataOffset;
    uint64_t extentStart;
    uint64_t extentLength;  // 0: data only (an installed file)
    uint64_t trailerLength; // bytes from the data's end to the extent's end (data descriptor)
};

// A base package's entry: its local header's length (ZipLocalHeaderLength, 0 when unknown) places its
// data. false when it cannot serve.
bool CandidateFromRecord(const ZipRecord* record, uint64_t extentEnd, uint32_t localHeaderLength,
                         uint32_t source, ReuseCandidate* candidate);
// An installed file that holds the new entry's stored data whole (its size and CRC-32 already checked).
void CandidateFromInstalled(const ZipRecord* entry, uint32_t source, ReuseCandidate* candidate);
// Sorts the candidates so that the plan finds them by CRC-32.
void SortCandidates(ReuseCandidate* candidates, uint32_t count);

// The first sorted candidate whose values and name equal the entry's, preferring one whose whole extent
// is the entry's (same length and header values: *whole); null when none.
const ReuseCandidate* FindReuseCandidate(const ReuseCandidate* candidates, uint32_t count,
                                         const ZipRecord* entry, uint64_t extentLength, bool* whole);

// ---- the plan ----

// One span of the new package: copied from a source at sourceOffset, fetched (REUSE_FETCH) or taken from
// the fetched tail (REUSE_TAIL).
struct ReuseSpan {
    uint64_t offset;
    uint64_t length;
    uint32_t source;
    uint64_t sourceOffset;
};

struct ReusePlan {
    ReuseSpan* spans;
    uint32_t capacity; // at least 4 per entry and 4 more
    uint32_t count;
    uint64_t copiedBytes;
    uint64_t fetchedBytes;
    uint32_t copiedEntries;
};

// Spans that cover [0, fileSize) exactly once in order, fetch spans joined across small gaps. The new
// package's entries come in records with their extents; tailStart is where the fetched tail begins.
bool PlanReuse(const ZipRecord* records, const uint64_t* extentEnds, const uint32_t* order, uint32_t count,
               const ReuseCandidate* candidates, uint32_t candidateCount, uint64_t tailStart,
               uint64_t fileSize, ReusePlan* plan);

// One range request: bytes [first, first + length) on a connection (0 to REUSE_CONNECTIONS - 1).
struct ReuseRequest {
    uint64_t first;
    uint64_t length;
    uint32_t connection;
};

// The plan's fetch spans cut into requests, in package order: the fetched bytes in pieces dealt to up to
// REUSE_CONNECTIONS connections in turn (up to REUSE_ROUNDS pieces each, fewer where a piece would fall
// below REUSE_CONNECTION_MIN), so that the connections carry even shares and the bytes arrive in order.
// capacity: the plan's span count and REUSE_CONNECTIONS * REUSE_ROUNDS more. Returns the connections used (0:
// nothing to fetch).
uint32_t PlanRequests(const ReusePlan* plan, ReuseRequest* requests, uint32_t capacity, uint32_t* count);

// A fingerprint of the requests and a seed (the package's digest), naming what fetched files hold.
uint64_t ReuseRequestsKey(const ReuseRequest* requests, uint32_t count, const uint8_t* seed,
                          uint32_t seedLength);
