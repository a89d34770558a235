// The package's SHA-256 taken while its bytes are written (merge or single stream), so the check needs
// no second pass over the file. A hashing thread takes the chunks in order from two buffers: while it
// hashes one, the writer reads and writes the other. Without a thread or a hash the feed still hands
// out a buffer and the check falls back to reading the file.
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

// Reads and hashes one part file after the other with a buffer of its own.
static DWORD WINAPI PartsHashThreadProc(LPVOID parameter) {
    PartsHash* parts = (PartsHash*)parameter;
    PackageHash hash;
    MemoryZero(&hash, sizeof(hash));
    BYTE* buffer = (BYTE*)HeapTake(IO_CHUNK_SIZE, FALSE);
    BOOL hashing = buffer && BeginPackageHash(&hash);
    for (UINT32 i = 0; hashing && i < parts->count; ++i) {
        HANDLE part = CreateFileW(parts->partPaths[i], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
        hashing = part != INVALID_HANDLE_VALUE;
        for (DWORD got = 1; hashing && got != 0;)
            hashing = ReadFile(part, buffer, IO_CHUNK_SIZE, &got, nullptr) &&
                      (got == 0 || AddPackageHashData(&hash, buffer, got));
        if (part != INVALID_HANDLE_VALUE)
            CloseHandle(part);
    }
    if (hashing) {
        parts->result.obtained = FinishPackageHash(&hash, parts->result.digest);
        parts->result.bytes = hash.hashedBytes;
    }
    EndPackageHash(&hash);
    HeapRelease(buffer);
    return 0;
}

void StartPartsHash(PartsHash* parts) {
    DWORD code = GetLastError();
    MemoryZero(&parts->result, sizeof(parts->result));
    parts->thread = CreateThread(nullptr, 0, PartsHashThreadProc, parts, 0, nullptr);
    SetLastError(code);
}

void FinishPartsHash(PartsHash* parts, StreamedDigest* result) {
    DWORD code = GetLastError();
    if (parts->thread) {
        WaitForSingleObject(parts->thread, INFINITE);
        CloseHandle(parts->thread);
        parts->thread = nullptr;
    }
    if (result)
        *result = parts->result;
    SetLastError(code);
}
