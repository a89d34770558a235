// The upgrade's plan as value functions: the tail's steps, the entries' extents, the choice of a source
// per entry, the spans and the requests.
#include "support/reuseplan.h"

static const uint16_t FLAG_DESCRIPTOR = 0x0008;
static const uint64_t ALL_ONES_32 = 0xFFFFFFFFu;

ReuseTailState ReadReuseTail(const uint8_t* tail, uint64_t length, uint64_t fileSize,
                             ZipDirectoryPlace* place, uint64_t* needFrom) {
    uint32_t last = fileSize < ZIP_TAIL_CAPACITY ? (uint32_t)fileSize : ZIP_TAIL_CAPACITY;
    if (length < last || length > fileSize || length > REUSE_TAIL_LIMIT ||
        !FindZipDirectory(tail + (length - last), last, fileSize, place))
        return REUSE_TAIL_BAD;
    uint64_t haveStart = fileSize - length;
    if (place->zip64Pending) {
        uint64_t record = place->zip64RecordOffset;
        if (record < haveStart) {
            if (fileSize - record > REUSE_TAIL_LIMIT)
                return REUSE_TAIL_BAD;
            *needFrom = record;
            return REUSE_TAIL_NEEDS_MORE;
        }
        // The locator found the record at least its size before itself, inside these bytes.
        if (!ReadZip64EndRecord(tail + (record - haveStart), ZIP64_END_RECORD_SIZE, place))
            return REUSE_TAIL_BAD;
    }
    if (place->offset < haveStart) {
        if (fileSize - place->offset > REUSE_TAIL_LIMIT)
            return REUSE_TAIL_BAD;
        *needFrom = place->offset;
        return REUSE_TAIL_NEEDS_MORE;
    }
    return REUSE_TAIL_READ;
}

bool ReadZipRecords(const uint8_t* directory, const ZipDirectoryPlace* place, ZipRecord* records,
                    uint32_t capacity, uint32_t* count) {
    *count = 0;
    if (place->zip64Pending || place->count > capacity || place->size > MAX_DIRECTORY_SIZE)
        return false;
    uint32_t position = 0, length = (uint32_t)place->size;
    for (uint32_t i = 0; i < (uint32_t)place->count; ++i)
        if (!ReadZipRecord(directory, length, &position, place->offset, &records[i]))
            return false;
    *count = (uint32_t)place->count;
    return position == length;
}

// ---- sorting without a library: a heap sort over indexes of whatever the context holds ----

struct SortContext {
    void* items;
    bool (*less)(const void* items, uint32_t a, uint32_t b);
    void (*swap)(void* items, uint32_t a, uint32_t b);
};

static void SiftDown(const SortContext* sort, uint32_t root, uint32_t count) {
    for (;;) {
        uint32_t child = 2 * root + 1;
        if (child >= count)
            return;
        if (child + 1 < count && sort->less(sort->items, child, child + 1))
            ++child;
        if (!sort->less(sort->items, root, child))
            return;
        sort->swap(sort->items, root, child);
        root = child;
    }
}

static void HeapSort(const SortContext* sort, uint32_t count) {
    for (uint32_t i = count / 2; i > 0; --i)
        SiftDown(sort, i - 1, count);
    for (uint32_t end = count; end > 1; --end) {
        sort->swap(sort->items, 0, end - 1);
        SiftDown(sort, 0, end - 1);
    }
}

struct OffsetOrder {
    const ZipRecord* records;
    uint32_t* order;
};

static bool OffsetLess(const void* items, uint32_t a, uint32_t b) {
    const OffsetOrder* o = (const OffsetOrder*)items;
    return o->records[o->order[a]].localOffset < o->records[o->order[b]].localOffset;
}

static void OrderSwap(void* items, uint32_t a, uint32_t b) {
    uint32_t* order = ((OffsetOrder*)items)->order;
    uint32_t t = order[a];
    order[a] = order[b];
    order[b] = t;
}

bool ZipEntryExtents(const ZipRecord* records, uint32_t count, uint64_t directoryOffset, uint32_t* order,
                     uint64_t* extentEnds) {
    for (uint32_t i = 0; i < count; ++i)
        order[i] = i;
    OffsetOrder o = {records, order};
    SortContext sort = {&o, OffsetLess, OrderSwap};
    HeapSort(&sort, count);
    for (uint32_t k = 0; k < count; ++k) {
        const ZipRecord* r = &records[order[k]];
        uint64_t end = k + 1 < count ? records[order[k + 1]].localOffset : directoryOffset;
        // Each entry's smallest local header and its data lie inside its extent.
        if (end <= r->localOffset || end - r->localOffset < ZIP_LOCAL_HEADER_SIZE + r->nameLength ||
            end - r->localOffset - ZIP_LOCAL_HEADER_SIZE - r->nameLength < r->compressedSize)
            return false;
        extentEnds[order[k]] = end;
    }
    return true;
}

// ---- candidates ----

bool CandidateFromRecord(const ZipRecord* record, uint64_t extentEnd, uint32_t localHeaderLength,
                         uint32_t source, ReuseCandidate* candidate) {
    uint64_t extent = extentEnd - record->localOffset;
    if (localHeaderLength == 0 || extentEnd < record->localOffset || localHeaderLength > extent ||
        record->compressedSize > extent - localHeaderLength)
        return false;
    *candidate = ReuseCandidate{*record,
                                source,
                                record->localOffset + localHeaderLength,
                                record->localOffset,
                                extent,
                                extent - localHeaderLength - record->compressedSize};
    return true;
}

void CandidateFromInstalled(const ZipRecord* entry, uint32_t source, ReuseCandidate* candidate) {
    bool zip64 = entry->compressedSize >= ALL_ONES_32 || entry->size >= ALL_ONES_32;
    // A descriptor's usual form: signature, CRC-32 and two sizes of 4 bytes, or 8 with zip64.
    uint64_t trailer = (entry->flags & FLAG_DESCRIPTOR) ? (zip64 ? 24 : 16) : 0;
    *candidate = ReuseCandidate{*entry, source, 0, 0, 0, trailer};
}

// The order of the lookup: the values that must match, then the name, then where it lies.
static int CompareKey(const ReuseCandidate* candidateA, const ReuseCandidate* candidateB) {
    const ZipRecord *a = &candidateA->record, *b = &candidateB->record;
    if (a->crc32 != b->crc32)
        return a->crc32 < b->crc32 ? -1 : 1;
    if (a->compressedSize != b->compressedSize)
        return a->compressedSize < b->compressedSize ? -1 : 1;
    if (a->size != b->size)
        return a->size < b->size ? -1 : 1;
    if (a->method != b->method)
        return a->method < b->method ? -1 : 1;
    if (a->nameLength != b->nameLength)
        return a->nameLength < b->nameLength ? -1 : 1;
    for (uint32_t i = 0; i < a->nameLength; ++i)
        if (a->name[i] != b->name[i])
            return a->name[i] < b->name[i] ? -1 : 1;
    return 0;
}

static bool CandidateLess(const void* items, uint32_t a, uint32_t b) {
    const ReuseCandidate* c = (const ReuseCandidate*)items;
    int key = CompareKey(&c[a], &c[b]);
    if (key != 0)
        return key < 0;
    return c[a].source != c[b].source ? c[a].source < c[b].source : c[a].dataOffset < c[b].dataOffset;
}

static void CandidateSwap(void* items, uint32_t a, uint32_t b) {
    ReuseCandidate* c = (ReuseCandidate*)items;
    ReuseCandidate t = c[a];
    c[a] = c[b];
    c[b] = t;
}

void SortCandidates(ReuseCandidate* candidates, uint32_t count) {
    SortContext sort = {candidates, CandidateLess, CandidateSwap};
    HeapSort(&sort, count);
}

const ReuseCandidate* FindReuseCandidate(const ReuseCandidate* candidates, uint32_t count,
                                         const ZipRecord* entry, uint64_t extentLength, bool* whole) {
    ReuseCandidate key = {};
    CandidateFromInstalled(entry, 0, &key);
    uint32_t low = 0, high = count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        if (CompareKey(&candidates[middle], &key) < 0)
            low = middle + 1;
        else
            high = middle;
    }
    const ReuseCandidate* first = nullptr;
    for (uint32_t i = low; i < count && CompareKey(&candidates[i], &key) == 0; ++i) {
        const ReuseCandidate* c = &candidates[i];
        const ZipRecord* r = &c->record;
        if (c->extentLength == extentLength && r->flags == entry->flags && r->time == entry->time &&
            r->date == entry->date && r->versionNeeded == entry->versionNeeded) {
            *whole = true;
            return c;
        }
        if (!first)
            first = c;
    }
    *whole = false;
    return first;
}

// ---- spans ----

// Appends a span cut at limit, merged with the last one when it continues it.
static bool AddSpan(ReusePlan* plan, uint64_t offset, uint64_t length, uint32_t source, uint64_t sourceOffset,
                    uint64_t limit) {
    if (length == 0 || offset >= limit)
        return true;
    if (length > limit - offset)
        length = limit - offset;
    if (plan->count > 0) {
        ReuseSpan* last = &plan->spans[plan->count - 1];
        if (last->source == source && last->offset + last->length == offset &&
            (source == REUSE_FETCH || last->sourceOffset + last->length == sourceOffset)) {
            last->length += length;
            return true;
        }
    }
    if (plan->count == plan->capacity)
        return false;
    plan->spans[plan->count++] = ReuseSpan{offset, length, source, sourceOffset};
    return true;
}

// Joins fetch spans across copied gaps of at most REUSE_JOIN_GAP bytes.
static void JoinFetchSpans(ReusePlan* plan) {
    uint32_t written = 0, lastFetch = REUSE_FETCH;
    for (uint32_t i = 0; i < plan->count; ++i) {
        ReuseSpan span = plan->spans[i];
        if (span.source == REUSE_FETCH && lastFetch != REUSE_FETCH) {
            ReuseSpan* previous = &plan->spans[lastFetch];
            uint64_t previousEnd = previous->offset + previous->length;
            if (span.offset - previousEnd <= REUSE_JOIN_GAP) {
                previous->length = span.offset + span.length - previous->offset;
                written = lastFetch + 1;
                continue;
            }
        }
        if (span.source == REUSE_FETCH)
            lastFetch = written;
        plan->spans[written++] = span;
    }
    plan->count = written;
}

bool PlanReuse(const ZipRecord* records, const uint64_t* extentEnds, const uint32_t* order, uint32_t count,
               const ReuseCandidate* candidates, uint32_t candidateCount, uint64_t tailStart,
               uint64_t fileSize, ReusePlan* plan) {
    plan->count = 0;
    plan->copiedBytes = plan->fetchedBytes = 0;
    plan->copiedEntries = 0;
    if (tailStart > fileSize)
        return false;
    uint64_t cursor = 0;
    for (uint32_t k = 0; k < count; ++k) {
        const ZipRecord* entry = &records[order[k]];
        uint64_t start = entry->localOffset, end = extentEnds[order[k]];
        if (start < cursor || end < start || end > fileSize)
            return false;
        if (!AddSpan(plan, cursor, start - cursor, REUSE_FETCH, 0, tailStart))
            return false;
        bool whole = false;
        const ReuseCandidate* c = FindReuseCandidate(candidates, candidateCount, entry, end - start, &whole);
        uint64_t size = entry->compressedSize, headerMinimum = ZIP_LOCAL_HEADER_SIZE + entry->nameLength;
        bool ok;
        if (c && whole) {
            ok = AddSpan(plan, start, end - start, c->source, c->extentStart, tailStart);
        } else if (c && size > 0 && end - start >= headerMinimum + size &&
                   end - start - headerMinimum - size >= c->trailerLength) {
            // The data sits before a trailer as long as the source's; the header before it is fetched.
            uint64_t data = end - c->trailerLength - size;
            ok = AddSpan(plan, start, data - start, REUSE_FETCH, 0, tailStart) &&
                 AddSpan(plan, data, size, c->source, c->dataOffset, tailStart) &&
                 AddSpan(plan, data + size, c->trailerLength, REUSE_FETCH, 0, tailStart);
        } else {
            ok = AddSpan(plan, start, end - start, REUSE_FETCH, 0, tailStart);
        }
        if (!ok)
            return false;
        cursor = end;
    }
    if (!AddSpan(plan, cursor, cursor < tailStart ? tailStart - cursor : 0, REUSE_FETCH, 0, tailStart))
        return false;
    JoinFetchSpans(plan);
    if (!AddSpan(plan, tailStart, fileSize - tailStart, REUSE_TAIL, tailStart, fileSize))
        return false;

    // Totals, and the entries that keep a copied byte after the joins (both lists in offset order).
    uint32_t s = 0;
    for (uint32_t k = 0; k < count; ++k) {
        uint64_t start = records[order[k]].localOffset, end = extentEnds[order[k]];
        while (s < plan->count && plan->spans[s].offset + plan->spans[s].length <= start)
            ++s;
        for (uint32_t t = s; t < plan->count && plan->spans[t].offset < end; ++t)
            if (plan->spans[t].source != REUSE_FETCH && plan->spans[t].source != REUSE_TAIL) {
                ++plan->copiedEntries;
                break;
            }
    }
    for (uint32_t i = 0; i < plan->count; ++i) {
        if (plan->spans[i].source == REUSE_FETCH)
            plan->fetchedBytes += plan->spans[i].length;
        else if (plan->spans[i].source != REUSE_TAIL)
            plan->copiedBytes += plan->spans[i].length;
    }
    return true;
}

uint32_t PlanRequests(const ReusePlan* plan, ReuseRequest* requests, uint32_t capacity, uint32_t* count) {
    *count = 0;
    uint64_t total = plan->fetchedBytes;
    if (total == 0)
        return 0;
    uint64_t wanted = total / REUSE_CONNECTION_MIN + (total % REUSE_CONNECTION_MIN != 0);
    uint32_t connections = wanted < REUSE_CONNECTIONS ? (uint32_t)wanted : REUSE_CONNECTIONS;
    // The fetched bytes in pieces dealt to the connections in turn, so that they arrive in package order at
    // all the connections' speed and the assembly can follow them.
    // Fewer rounds where pieces would fall below REUSE_CONNECTION_MIN.
    uint64_t rounds = total / ((uint64_t)connections * REUSE_CONNECTION_MIN);
    rounds = (rounds < 1 ? 1 : rounds > REUSE_ROUNDS ? REUSE_ROUNDS : rounds) * connections;
    uint64_t piece = total / rounds + (total % rounds != 0);
    uint64_t position = 0;
    for (uint32_t i = 0; i < plan->count; ++i) {
        const ReuseSpan* span = &plan->spans[i];
        for (uint64_t done = 0; span->source == REUSE_FETCH && done < span->length;) {
            uint64_t index = position / piece, bound = (index + 1) * piece;
            uint64_t take = span->length - done < bound - position ? span->length - done : bound - position;
            if (*count == capacity)
                return 0;
            requests[(*count)++] = ReuseRequest{span->offset + done, take, (uint32_t)(index % connections)};
            done += take;
            position += take;
        }
    }
    return connections;
}

uint64_t ReuseRequestsKey(const ReuseRequest* requests, uint32_t count, const uint8_t* seed,
                          uint32_t seedLength) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (uint32_t i = 0; i < seedLength; ++i)
        hash = (hash ^ seed[i]) * 0x100000001B3ull;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t values[3] = {requests[i].first, requests[i].length, requests[i].connection};
        for (uint64_t value : values)
            for (uint32_t b = 0; b < 8; ++b)
                hash = (hash ^ (uint8_t)(value >> (8 * b))) * 0x100000001B3ull;
    }
    return hash;
}
