// The reuse's fetches and assembly. Each request is a segment of the segmented download (its own file,
// resumed by size, three attempts, 206 only); each connection thread runs its requests in package order.
// The coordinator writes the merged file span by span meanwhile, waiting for a fetched span's request
// only when it reaches it, and hands every chunk to the hashing thread.
#include "download/reuse.h"

static const DWORD FETCH_WAIT_MS = 2;

// One connection's thread: its requests (those dealt to it) in package order.
struct ReuseConnection {
    DownloadSegment* segments;
    const ReuseRequest* requests;
    UINT32 requestCount;
    UINT32 index;
    volatile LONG ended;
};

static DWORD WINAPI ConnectionThreadProc(LPVOID parameter) {
    ReuseConnection* connection = (ReuseConnection*)parameter;
    for (UINT32 j = 0; j < connection->requestCount; ++j) {
        if (connection->requests[j].connection != connection->index)
            continue;
        DownloadProgress* progress = connection->segments[j].progress;
        if (AtomicIsSet(&progress->stopFlag) || AtomicIsSet(&progress->failedFlag))
            break;
        SegmentThreadProc(&connection->segments[j]);
    }
    AtomicSet32(&connection->ended, 1);
    return 0;
}

// The assembly's state: where it is in the requests and the open request file.
struct Assembly {
    DownloadSegment* segments;
    UINT32 requestCount;
    ReuseConnection* connections;
    UINT32 connectionCount;
    UINT32 request;
    UINT64 inRequest;
    HANDLE requestFile;
    LONG discards;
    DownloadProgress* progress;
};

// FALSE once the fetches stopped, failed or all ended: what is not on disk then will not come.
static BOOL FetchesGoOn(const Assembly* a) {
    if (AtomicIsSet(&a->progress->stopFlag) || AtomicIsSet(&a->progress->failedFlag))
        return FALSE;
    for (UINT32 c = 0; c < a->connectionCount; ++c)
        if (!AtomicIsSet(&a->connections[c].ended))
            return TRUE;
    return FALSE;
}

// Up to capacity fetched bytes in package order into buffer, read from the current request's file as
// soon as they are on disk (the assembly follows the fetches); *got is what was read. A request file
// thrown away and started over while it was read ends the reuse as a source failure.
static AssemblyResult ReadFetched(Assembly* a, BYTE* buffer, UINT32 capacity, UINT32* got) {
    if (a->request >= a->requestCount) {
        SetLastError(ERROR_INVALID_DATA);
        return ASSEMBLY_FAILED;
    }
    DownloadSegment* segment = &a->segments[a->request];
    UINT64 length = SegmentLength(segment->firstByte, segment->lastByte);
    for (;;) {
        if (a->requestFile == INVALID_HANDLE_VALUE) {
            a->discards = AtomicRead32(&segment->discards);
            a->requestFile = CreateFileW(segment->partPath, GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            a->inRequest = 0;
        }
        // Done is read before the size, so that a done request's size is its final one.
        BOOL done = AtomicIsSet(&segment->done);
        UINT64 onDisk = a->requestFile != INVALID_HANDLE_VALUE ? QueryFileSize(segment->partPath) : 0;
        if (onDisk == NO_FILE_SIZE)
            onDisk = 0;
        if ((a->discards & 1) != 0 || AtomicRead32(&segment->discards) != a->discards)
            return ASSEMBLY_SOURCE_FAILED;
        if (onDisk > a->inRequest) {
            UINT64 ready = (onDisk < length ? onDisk : length) - a->inRequest;
            *got = ready < capacity ? (UINT32)ready : capacity;
            if (*got > 0)
                break;
        }
        // Complete yet not readable, or shorter than what was read: the file is not the request's.
        if (done)
            return a->requestFile == INVALID_HANDLE_VALUE ? ASSEMBLY_FAILED : ASSEMBLY_SOURCE_FAILED;
        if (!FetchesGoOn(a))
            return ASSEMBLY_FAILED;
        Sleep(FETCH_WAIT_MS);
    }
    if (!ReadFileAt(a->requestFile, a->inRequest, buffer, *got))
        return ASSEMBLY_FAILED;
    a->inRequest += *got;
    if (a->inRequest == length) {
        CloseHandle(a->requestFile);
        a->requestFile = INVALID_HANDLE_VALUE;
        ++a->request;
    }
    return ASSEMBLY_DONE;
}

// Every span in order into the merged file through the hash feed.
static AssemblyResult AssembleSpans(Assembly* a, const ReusePlan* plan, const PackageTail* tail,
                                    ReuseSources* sources, HANDLE merged, HashFeed* feed) {
    for (UINT32 i = 0; i < plan->count; ++i) {
        const ReuseSpan* span = &plan->spans[i];
        ReuseSource* source = span->source < sources->count ? &sources->sources[span->source] : nullptr;
        if (source && source->file == INVALID_HANDLE_VALUE) {
            // A scanner may hold a base for a moment: its opens are tried again for about 2 s.
            source->file = OpenFileWhileHeld(
                source->path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, a->progress->cancelFlag);
            if (source->file == INVALID_HANDLE_VALUE)
                return ASSEMBLY_SOURCE_FAILED;
        }
        for (UINT64 done = 0; done < span->length;) {
            UINT64 left = span->length - done;
            UINT32 chunk = left < IO_CHUNK_SIZE ? (UINT32)left : IO_CHUNK_SIZE;
            BYTE* buffer = HashFeedBuffer(feed);
            if (span->source == REUSE_FETCH) {
                AssemblyResult fetched = ReadFetched(a, buffer, chunk, &chunk);
                if (fetched != ASSEMBLY_DONE)
                    return fetched;
            } else if (span->source == REUSE_TAIL) {
                MemoryCopy(buffer, tail->bytes + (span->offset + done - tail->start), chunk);
            } else if (!source || !ReadFileAt(source->file, span->sourceOffset + done, buffer, chunk)) {
                return ASSEMBLY_SOURCE_FAILED;
            }
            HashFeedSubmit(feed, chunk);
            DWORD code = ERROR_SUCCESS;
            if (!WriteWholeBuffer(merged, buffer, chunk, &code)) {
                InterlockedCompareExchange(&a->progress->localFailure, (LONG)code, 0);
                return ASSEMBLY_FAILED;
            }
            done += chunk;
        }
    }
    return ASSEMBLY_DONE;
}

AssemblyResult FetchAndAssemble(const ReusePlan* plan, const ReuseRequest* requests, UINT32 requestCount,
                                const PackageTail* tail, ReuseSources* sources, const WCHAR* url,
                                const WCHAR* packagePath, const WCHAR* mergedPath, DownloadProgress* progress,
                                StreamedDigest* digest) {
    Assembly a;
    MemoryZero(&a, sizeof(a));
    ReuseConnection connections[REUSE_CONNECTIONS];
    HANDLE threads[REUSE_CONNECTIONS];
    MemoryZero(connections, sizeof(connections));
    MemoryZero(threads, sizeof(threads));
    a.segments = (DownloadSegment*)HeapTake((SIZE_T)(requestCount + 1) * sizeof(DownloadSegment), TRUE);
    if (!a.segments) {
        SetLastError(ERROR_OUTOFMEMORY);
        return ASSEMBLY_FAILED;
    }
    a.requestCount = requestCount;
    a.connections = connections;
    a.requestFile = INVALID_HANDLE_VALUE;
    a.progress = progress;

    // The requests on their segments; bytes already in their files count as fetched.
    UINT64 resumed = 0;
    for (UINT32 j = 0; j < requestCount; ++j) {
        DownloadSegment* segment = &a.segments[j];
        CopyWide(segment->packageUrl, 2048, url);
        if (!ReuseFilePath(segment->partPath, packagePath, L"fetch", (int)j)) {
            HeapRelease(a.segments);
            return ASSEMBLY_FAILED;
        }
        segment->firstByte = requests[j].first;
        segment->lastByte = requests[j].first + requests[j].length - 1;
        segment->progress = progress;
        UINT64 have = QueryFileSize(segment->partPath);
        resumed += have == NO_FILE_SIZE || have > requests[j].length ? 0 : have;
        if (requests[j].connection >= a.connectionCount)
            a.connectionCount = requests[j].connection + 1;
    }
    progress->downloadedBytes = resumed;
    progress->baselineBytes = resumed;
    progress->startTick = GetTickCount();
    progress->lastReportTick = (LONG)progress->startTick;
    ReportDownloadProgress(progress);
    for (UINT32 c = 0; c < a.connectionCount; ++c) {
        connections[c].segments = a.segments;
        connections[c].requests = requests;
        connections[c].requestCount = requestCount;
        connections[c].index = c;
        threads[c] = CreateThread(nullptr, 0, ConnectionThreadProc, &connections[c], 0, nullptr);
        if (!threads[c]) {
            AtomicSet32(&progress->failedFlag, 1);
            AtomicSet32(&progress->stopFlag, 1);
            a.connectionCount = c;
            break;
        }
    }

    HashFeed feed;
    HANDLE merged = INVALID_HANDLE_VALUE;
    AssemblyResult result = ASSEMBLY_FAILED;
    DWORD code = ERROR_OUTOFMEMORY;
    if (StartHashFeed(&feed)) {
        merged = CreateFileW(mergedPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
        result = merged != INVALID_HANDLE_VALUE ? AssembleSpans(&a, plan, tail, sources, merged, &feed)
                                                : ASSEMBLY_FAILED;
        code = GetLastError();
        if (result == ASSEMBLY_DONE)
            FlushFileBuffers(merged);
        FinishHashFeed(&feed, result == ASSEMBLY_DONE ? digest : nullptr);
    }
    // A failed fetch or write says why before the fetches are stopped; a cancel is a stop.
    if (progress->cancelFlag && AtomicIsSet(progress->cancelFlag))
        AtomicSet32(&progress->stopFlag, 1);
    DWORD outcome =
        SegmentedOutcomeCode((DWORD)AtomicRead32(&progress->localFailure), AtomicIsSet(&progress->stopFlag),
                             AtomicIsSet(&progress->failedFlag));
    // Whatever stopped the assembly stops the fetches too; what they wrote stays for the next run.
    if (result != ASSEMBLY_DONE)
        AtomicSet32(&progress->stopFlag, 1);
    for (UINT32 c = 0; c < a.connectionCount; ++c) {
        WaitForSingleObject(threads[c], INFINITE);
        CloseHandle(threads[c]);
    }
    if (a.requestFile != INVALID_HANDLE_VALUE)
        CloseHandle(a.requestFile);
    if (merged != INVALID_HANDLE_VALUE)
        CloseHandle(merged);
    HeapRelease(a.segments);
    if (result != ASSEMBLY_DONE)
        DeleteFileW(mergedPath);
    if (result == ASSEMBLY_FAILED)
        SetLastError(outcome != ERROR_SUCCESS ? outcome : code != ERROR_SUCCESS ? code : ERROR_READ_FAULT);
    return result;
}
