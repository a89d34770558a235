// The package's SHA-256 taken on the way to disk, so the check needs no second pass over the file.
// Single stream: a hashing thread takes the chunks in order from two buffers; while it hashes one, the
// writer reads and writes the other. Segments: a thread follows the part files as they grow. Without a
// thread or a hash no digest is taken and the check falls back to reading the file.
#include "download/download.h"

static void ReleaseFeedHandles(HashFeed* feed) {
    for (UINT32 i = 0; i < 2; ++i) {
        if (feed->ready[i])
            CloseHandle(feed->ready[i]);
        if (feed->idle[i])
            CloseHandle(feed->idle[i]);
        feed->ready[i] = nullptr;
        feed->idle[i] = nullptr;
    }
}

static DWORD WINAPI HashFeedThreadProc(LPVOID parameter) {
    HashFeed* feed = (HashFeed*)parameter;
    BOOL hashing = TRUE;
    for (UINT32 slot = 0;; slot ^= 1) {
        WaitForSingleObject(feed->ready[slot], INFINITE);
        DWORD length = feed->lengths[slot];
        if (length == 0)
            break;
        // After a failed update the rest is only drained; the check then reads the file instead.
        if (hashing && !AddPackageHashData(&feed->hash, feed->buffers[slot], length))
            hashing = FALSE;
        SetEvent(feed->idle[slot]);
    }
    if (hashing)
        feed->result.obtained = FinishPackageHash(&feed->hash, feed->result.digest);
    feed->result.bytes = feed->hash.hashedBytes;
    return 0;
}

BOOL StartHashFeed(HashFeed* feed) {
    MemoryZero(feed, sizeof(*feed));
    for (UINT32 i = 0; i < 2; ++i) {
        feed->buffers[i] = (BYTE*)HeapTake(IO_CHUNK_SIZE, FALSE);
        if (!feed->buffers[i]) {
            HeapRelease(feed->buffers[0]);
            feed->buffers[0] = nullptr;
            return FailWith(ERROR_OUTOFMEMORY);
        }
    }
    DWORD code = GetLastError();
    BOOL events = TRUE;
    for (UINT32 i = 0; i < 2; ++i) {
        feed->ready[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        feed->idle[i] = CreateEventW(nullptr, FALSE, TRUE, nullptr);
        events = events && feed->ready[i] && feed->idle[i];
    }
    if (events && BeginPackageHash(&feed->hash)) {
        feed->thread = CreateThread(nullptr, 0, HashFeedThreadProc, feed, 0, nullptr);
        if (!feed->thread)
            EndPackageHash(&feed->hash);
    }
    if (!feed->thread)
        ReleaseFeedHandles(feed);
    // A feed without a hashing thread still serves its first buffer; nothing of that is an error.
    SetLastError(code);
    return TRUE;
}

BYTE* HashFeedBuffer(HashFeed* feed) {
    if (feed->thread && !feed->held) {
        WaitForSingleObject(feed->idle[feed->slot], INFINITE);
        feed->held = TRUE;
    }
    return feed->buffers[feed->slot];
}

void HashFeedSubmit(HashFeed* feed, DWORD length) {
    if (!feed->thread || length == 0)
        return;
    feed->lengths[feed->slot] = length;
    feed->held = FALSE;
    SetEvent(feed->ready[feed->slot]);
    feed->slot ^= 1;
}

void FinishHashFeed(HashFeed* feed, StreamedDigest* result) {
    DWORD code = GetLastError();
    if (feed->thread) {
        HashFeedBuffer(feed);
        feed->lengths[feed->slot] = 0; // the end: the thread takes the digest and returns
        SetEvent(feed->ready[feed->slot]);
        WaitForSingleObject(feed->thread, INFINITE);
        CloseHandle(feed->thread);
        feed->thread = nullptr;
        EndPackageHash(&feed->hash);
        ReleaseFeedHandles(feed);
    }
    if (result)
        *result = feed->result;
    HeapRelease(feed->buffers[0]);
    HeapRelease(feed->buffers[1]);
    feed->buffers[0] = nullptr;
    feed->buffers[1] = nullptr;
    SetLastError(code);
}

// ---- the merge's digest ----

// How long the parts' hashing thread waits when no new byte is on disk: a segment writes a 256 KiB chunk
// every few milliseconds on a fast link, every tenth of a second on a slow one.
static const DWORD PART_POLL_MS = 10;

// Thrown away: the segment's thread deletes (or has deleted) its part file since the count was taken.
static BOOL PartDiscarded(DownloadSegment* segment, LONG discards) {
    return (discards & 1) != 0 || AtomicRead32(&segment->discards) != discards;
}

// Hashes the part file's bytes from *hashed up to the segment's length or the file's current end, and
// counts them in *hashed. A part file that cannot be opened yet (not created, held a moment) adds nothing.
// FALSE when a read or the hash fails, the part is thrown away (checked at every chunk, so a delete waits
// at most one read for this handle) or the caller gave the digest up.
static BOOL HashPartTail(PartsHash* parts, PackageHash* hash, DownloadSegment* segment, LONG discards,
                         UINT64* hashed, BYTE* buffer) {
    UINT64 length = SegmentLength(segment->firstByte, segment->lastByte);
    // The segment thread appends to the file and may delete it: its access and a delete are both shared.
    HANDLE part =
        CreateFileW(segment->partPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (part == INVALID_HANDLE_VALUE)
        return TRUE;
    LARGE_INTEGER offset;
    offset.QuadPart = (LONGLONG)*hashed;
    BOOL ok = SetFilePointerEx(part, offset, nullptr, FILE_BEGIN);
    while (ok && *hashed < length) {
        if (AtomicIsSet(&parts->abandoned) || PartDiscarded(segment, discards)) {
            ok = FALSE;
            break;
        }
        UINT64 missing = length - *hashed;
        DWORD got = 0;
        ok = ReadFile(part, buffer, missing < IO_CHUNK_SIZE ? (DWORD)missing : IO_CHUNK_SIZE, &got, nullptr);
        if (!ok || got == 0)
            break;
        ok = AddPackageHashData(hash, buffer, got);
        *hashed += got;
    }
    CloseHandle(part);
    return ok;
}

// Follows the download through the parts in order. A part's bytes are hashed as they reach the disk; the
// part counts once its segment is done (or every segment thread has ended) and all of its bytes are hashed.
// Bytes read while the segment threw its part file away are not the part's: then no digest is taken and
// the check reads the merged file instead.
static DWORD WINAPI PartsHashThreadProc(LPVOID parameter) {
    PartsHash* parts = (PartsHash*)parameter;
    PackageHash hash;
    MemoryZero(&hash, sizeof(hash));
    BYTE* buffer = (BYTE*)HeapTake(IO_CHUNK_SIZE, FALSE);
    BOOL hashing = buffer && BeginPackageHash(&hash);
    for (UINT32 i = 0; hashing && i < SEGMENT_COUNT; ++i) {
        DownloadSegment* segment = &parts->segments[i];
        UINT64 length = SegmentLength(segment->firstByte, segment->lastByte);
        LONG discards = AtomicRead32(&segment->discards);
        UINT64 hashed = 0;
        for (;;) {
            // Read before the file: once the segment is final, this round reads every byte it wrote.
            BOOL final = AtomicIsSet(&segment->done) || AtomicIsSet(&parts->ended);
            UINT64 before = hashed;
            if (hashed < length) {
                // A part that has not grown is not opened: on a slow link most rounds find nothing new.
                UINT64 onDisk = QueryFileSize(segment->partPath);
                if (final || (onDisk != NO_FILE_SIZE && onDisk > hashed))
                    hashing = HashPartTail(parts, &hash, segment, discards, &hashed, buffer);
            }
            // Also after the read: what it read may have been thrown away meanwhile.
            if (!hashing || PartDiscarded(segment, discards)) {
                hashing = FALSE;
                break;
            }
            if (final) {
                // A part still short now belongs to a download that did not end well.
                hashing = hashed == length;
                break;
            }
            if (hashed == before)
                Sleep(PART_POLL_MS);
        }
    }
    if (hashing) {
        parts->result.obtained = FinishPackageHash(&hash, parts->result.digest);
        parts->result.bytes = hash.hashedBytes;
    }
    EndPackageHash(&hash);
    HeapRelease(buffer);
    return 0;
}

void StartPartsHash(PartsHash* parts, DownloadSegment* segments) {
    DWORD code = GetLastError();
    MemoryZero(parts, sizeof(*parts));
    parts->segments = segments;
    parts->thread = CreateThread(nullptr, 0, PartsHashThreadProc, parts, 0, nullptr);
    SetLastError(code);
}

void EndPartsDownload(PartsHash* parts) {
    AtomicSet32(&parts->ended, 1);
}

void FinishPartsHash(PartsHash* parts, StreamedDigest* result) {
    DWORD code = GetLastError();
    // Without a caller for the digest the thread stops at its next chunk.
    if (!result)
        AtomicSet32(&parts->abandoned, 1);
    AtomicSet32(&parts->ended, 1);
    if (parts->thread) {
        WaitForSingleObject(parts->thread, INFINITE);
        CloseHandle(parts->thread);
        parts->thread = nullptr;
    }
    if (result)
        *result = parts->result;
    SetLastError(code);
}
