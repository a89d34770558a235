// The upgrade with reuse: the new package's tail by range requests (kept on disk), the plan against the
// bases, the fetches spread over up to eight connections (one file per request, resumed by size), and
// the assembly into the merged file in package order while the fetches run, hashed as it is written.
#include "download/reuse.h"
#include "app/app.h"

static const UINT32 RANGE_HEADER_CAPACITY = 128;
static const UINT32 SHA256_TEXT_LENGTH = 64;
// The tail file starts with the package's SHA-256 text and size, so a tail of another package is never used.
static const UINT32 TAIL_HEADER_SIZE = SHA256_TEXT_LENGTH + 8;
static const UINT32 REUSE_TEXT_CAPACITY = 256;

// Exactly length bytes at first, from a 206 answer; a longer or shorter body fails.
static BOOL FetchRange(const WCHAR* url, UINT64 first, UINT64 length, BYTE* buffer) {
    WCHAR header[RANGE_HEADER_CAPACITY];
    FormatText(header, RANGE_HEADER_CAPACITY, L"Range: bytes=%llu-%llu\r\n", first, first + length - 1);
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    DWORD status = 0;
    BOOL ok =
        OpenHttpRequest(url, header, &session, &connection, &request) && SendHttpRequest(request, &status);
    ok = ok && (status == 206 || FailWith(HttpStatusFailureCode(status)));
    UINT64 have = 0;
    while (ok) {
        BYTE spare;
        BYTE* into = have < length ? buffer + have : &spare;
        DWORD room =
            have < length ? (DWORD)(length - have < IO_CHUNK_SIZE ? length - have : IO_CHUNK_SIZE) : 1;
        DWORD got = 0;
        ok = winHttp.readData(request, into, room, &got);
        if (!ok || got == 0)
            break;
        if (have >= length)
            ok = FailWith(ERROR_FILE_INVALID);
        have += got;
    }
    ok = ok && (have == length || FailWith(ERROR_HANDLE_EOF));
    DWORD code = GetLastError();
    CloseHttpHandles(session, connection, request);
    SetLastError(code);
    return ok;
}

// The tail a run left on disk, when it belongs to this package and parses.
static BOOL LoadTail(const WCHAR* path, const ManifestEntry* entry, PackageTail* tail) {
    UINT64 fileSize = QueryFileSize(path);
    if (fileSize == NO_FILE_SIZE || fileSize <= TAIL_HEADER_SIZE ||
        fileSize - TAIL_HEADER_SIZE > REUSE_TAIL_LIMIT || fileSize - TAIL_HEADER_SIZE > entry->sizeBytes)
        return FALSE;
    UINT64 length = fileSize - TAIL_HEADER_SIZE;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    BYTE* bytes = (BYTE*)HeapTake((SIZE_T)fileSize, FALSE);
    BOOL ok = file != INVALID_HANDLE_VALUE && bytes && ReadFileAt(file, 0, bytes, (UINT32)fileSize);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    UINT64 size = 0, need = 0;
    for (UINT32 i = 0; ok && i < 8; ++i)
        size |= (UINT64)bytes[SHA256_TEXT_LENGTH + i] << (8 * i);
    for (UINT32 i = 0; ok && i < SHA256_TEXT_LENGTH; ++i)
        ok = bytes[i] == (BYTE)entry->sha256[i];
    ok = ok && size == entry->sizeBytes &&
         ReadReuseTail(bytes + TAIL_HEADER_SIZE, length, size, &tail->place, &need) == REUSE_TAIL_READ;
    BYTE* kept = ok ? (BYTE*)HeapTake((SIZE_T)length, FALSE) : nullptr;
    if (kept)
        MemoryCopy(kept, bytes + TAIL_HEADER_SIZE, (SIZE_T)length);
    HeapRelease(bytes);
    if (!kept)
        return FALSE;
    tail->bytes = kept;
    tail->start = entry->sizeBytes - length;
    return TRUE;
}

static void SaveTail(const WCHAR* path, const ManifestEntry* entry, const PackageTail* tail) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    BYTE header[TAIL_HEADER_SIZE];
    for (UINT32 i = 0; i < SHA256_TEXT_LENGTH; ++i)
        header[i] = (BYTE)entry->sha256[i];
    for (UINT32 i = 0; i < 8; ++i)
        header[SHA256_TEXT_LENGTH + i] = (BYTE)(entry->sizeBytes >> (8 * i));
    DWORD code = 0;
    BOOL ok = WriteWholeBuffer(file, header, TAIL_HEADER_SIZE, &code) &&
              WriteWholeBuffer(file, tail->bytes, (DWORD)(entry->sizeBytes - tail->start), &code);
    CloseHandle(file);
    if (!ok)
        DeleteFileW(path);
}

static BOOL FetchFromUrl(void* url, UINT64 first, UINT64 length, BYTE* into) {
    return FetchRange((const WCHAR*)url, first, length, into);
}

// ---- the cache files of a reuse: the tail, the plan's key and one file per request ----

BOOL ReuseFilePath(WCHAR* path, const WCHAR* packagePath, const WCHAR* kind, int index) {
    return index < 0 ? ComposePath(path, PATH_CAPACITY, L"%s.%s", packagePath, kind)
                     : ComposePath(path, PATH_CAPACITY, L"%s.%s%d", packagePath, kind, index);
}

// Deletes the fetched files (all of them when the tail and plan go too).
void DeleteReuseFiles(const WCHAR* packagePath, BOOL all) {
    WCHAR folder[PATH_CAPACITY], pattern[PATH_CAPACITY], path[PATH_CAPACITY];
    CopyWide(folder, PATH_CAPACITY, packagePath);
    UINT32 cut = WideLength(folder);
    while (cut > 0 && folder[cut - 1] != L'\\')
        --cut;
    folder[cut > 0 ? cut - 1 : 0] = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = ReuseFilePath(pattern, packagePath, L"fetch*", -1) ? FindFirstFileW(pattern, &found)
                                                                       : INVALID_HANDLE_VALUE;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (ComposePath(path, PATH_CAPACITY, L"%s\\%s", folder, found.cFileName))
                DeleteFileWhileHeld(path);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (all && ReuseFilePath(path, packagePath, L"tail", -1))
        DeleteFileWhileHeld(path);
    if (all && ReuseFilePath(path, packagePath, L"plan", -1))
        DeleteFileWhileHeld(path);
}

// The fetched files belong to the plan whose key the plan file holds; another plan starts them over.
static BOOL KeepFetchedFiles(const WCHAR* packagePath, UINT64 key) {
    WCHAR path[PATH_CAPACITY];
    if (!ReuseFilePath(path, packagePath, L"plan", -1))
        return FALSE;
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    UINT64 stored = 0;
    DWORD got = 0, code = 0;
    BOOL same =
        ReadFile(file, &stored, sizeof(stored), &got, nullptr) && got == sizeof(stored) && stored == key;
    if (!same) {
        DeleteReuseFiles(packagePath, FALSE);
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        same = WriteWholeBuffer(file, (const BYTE*)&key, sizeof(key), &code) && SetEndOfFile(file);
    }
    CloseHandle(file);
    return same;
}

// ---- the reuse from the bases to the verified package ----

// The working arrays of one reuse, all from the process heap.
struct ReuseWork {
    ReuseSources sources;
    PackageTail tail;
    ZipRecord* records;
    uint64_t* extentEnds;
    uint32_t* order;
    UINT32 count;
    ReusePlan plan;
    ReuseRequest* requests;
    UINT32 requestCount;
};

static void ReleaseWork(ReuseWork* work) {
    ReleaseSources(&work->sources);
    HeapRelease(work->tail.bytes);
    HeapRelease(work->records);
    HeapRelease(work->extentEnds);
    HeapRelease(work->order);
    HeapRelease(work->plan.spans);
    HeapRelease(work->requests);
    MemoryZero(work, sizeof(*work));
}

// The new package's directory, the candidates, the plan and its requests; FALSE when nothing is reused.
static BOOL MakePlan(ReuseWork* w, const ManifestEntry* entry, const WCHAR* upgradeDir,
                     volatile LONG* cancelFlag) {
    const ZipDirectoryPlace* place = &w->tail.place;
    SIZE_T n = (SIZE_T)place->count + 1;
    w->records = (ZipRecord*)HeapTake(n * sizeof(ZipRecord), FALSE);
    w->extentEnds = (uint64_t*)HeapTake(n * sizeof(uint64_t), FALSE);
    w->order = (uint32_t*)HeapTake(n * sizeof(uint32_t), FALSE);
    if (!w->records || !w->extentEnds || !w->order ||
        !ReadZipRecords(w->tail.bytes + (place->offset - w->tail.start), place, w->records,
                        (uint32_t)place->count, &w->count) ||
        !ZipEntryExtents(w->records, w->count, place->offset, w->order, w->extentEnds))
        return FALSE;
    ReadBaseCandidates(&w->sources);
    AddInstalledCandidates(&w->sources, upgradeDir, w->records, w->count, w->extentEnds, cancelFlag);
    w->plan.capacity = 4 * w->count + 4;
    w->plan.spans = (ReuseSpan*)HeapTake((SIZE_T)w->plan.capacity * sizeof(ReuseSpan), FALSE);
    if (!w->plan.spans ||
        !PlanReuse(w->records, w->extentEnds, w->order, w->count, w->sources.candidates,
                   w->sources.candidateCount, w->tail.start, entry->sizeBytes, &w->plan) ||
        w->plan.copiedBytes == 0)
        return FALSE;
    UINT32 capacity = w->plan.count + REUSE_CONNECTIONS * REUSE_ROUNDS;
    w->requests = (ReuseRequest*)HeapTake((SIZE_T)capacity * sizeof(ReuseRequest), FALSE);
    if (!w->requests)
        return FALSE;
    PlanRequests(&w->plan, w->requests, capacity, &w->requestCount);
    return w->requestCount <= REUSE_MAX_REQUESTS;
}

// The status line: the bases that serve, by version, and whether installed files do.
static void ReportReuse(const ReuseWork* w, const ManifestEntry* entry, HWND window) {
    BOOL used[REUSE_MAX_SOURCES];
    MemoryZero(used, sizeof(used));
    for (UINT32 i = 0; i < w->plan.count; ++i)
        if (w->plan.spans[i].source < w->sources.count)
            used[w->plan.spans[i].source] = TRUE;
    WCHAR versions[REUSE_TEXT_CAPACITY], next[REUSE_TEXT_CAPACITY];
    versions[0] = 0;
    BOOL installed = FALSE;
    for (UINT32 i = 0; i < w->sources.count; ++i) {
        if (!used[i])
            continue;
        if (i >= w->sources.baseCount) {
            installed = TRUE;
            continue;
        }
        FormatText(next, REUSE_TEXT_CAPACITY, versions[0] ? L"%s、V%s" : L"%sV%s", versions,
                   w->sources.sources[i].version);
        CopyWide(versions, REUSE_TEXT_CAPACITY, next);
    }
    WCHAR text[REUSE_TEXT_CAPACITY];
    FormatReuseText(text, REUSE_TEXT_CAPACITY, versions, installed, w->plan.copiedBytes, entry->sizeBytes,
                    w->plan.fetchedBytes);
    ReportStatus(window, text);
}

ReuseOutcome DownloadReusing(const ManifestEntry* entry, const WCHAR* url, const WCHAR* cacheDir,
                             const WCHAR* packagePath, const WCHAR* mergedPath, const WCHAR* upgradeDir,
                             HWND window, volatile LONG* cancelFlag, UINT64 cancelAfterBytes) {
    ReuseWork w;
    MemoryZero(&w, sizeof(w));
    WCHAR tailPath[PATH_CAPACITY];
    w.sources.sources = (ReuseSource*)HeapTake(REUSE_MAX_BASES * sizeof(ReuseSource), TRUE);
    w.sources.capacity = REUSE_MAX_BASES;
    // Without any base the tail would be fetched for nothing.
    if (!w.sources.sources || !ReuseFilePath(tailPath, packagePath, L"tail", -1) ||
        !ListBasePackages(cacheDir, packagePath, &w.sources) || (w.sources.baseCount == 0 && !upgradeDir)) {
        ReleaseWork(&w);
        return REUSE_NONE;
    }
    if (cancelFlag && AtomicIsSet(cancelFlag)) {
        ReleaseWork(&w);
        SetLastError(ERROR_CANCELLED);
        return REUSE_FAILED;
    }
    if (!LoadTail(tailPath, entry, &w.tail)) {
        w.tail.bytes = ReadPackageTail(FetchFromUrl, (void*)url, entry->sizeBytes, REUSE_TAIL_LIMIT,
                                       &w.tail.place, &w.tail.start);
        if (!w.tail.bytes) {
            ReleaseWork(&w);
            return REUSE_NONE;
        }
        SaveTail(tailPath, entry, &w.tail);
    }
    if (!MakePlan(&w, entry, upgradeDir, cancelFlag)) {
        ReleaseWork(&w);
        DeleteReuseFiles(packagePath, TRUE);
        return REUSE_NONE;
    }
    UINT64 key =
        ReuseRequestsKey(w.requests, w.requestCount, (const uint8_t*)entry->sha256, SHA256_TEXT_LENGTH);
    // Without the key on disk no fetched file can be trusted to belong to this plan.
    if (!KeepFetchedFiles(packagePath, key))
        DeleteReuseFiles(packagePath, FALSE);
    ReportReuse(&w, entry, window);

    DownloadProgress progress;
    MemoryZero(&progress, sizeof(progress));
    progress.window = window;
    progress.totalBytes = w.plan.fetchedBytes;
    progress.cancelFlag = cancelFlag;
    progress.cancelAfterBytes = cancelAfterBytes;
    if (cancelFlag && AtomicIsSet(cancelFlag))
        progress.stopFlag = 1;
    StreamedDigest digest;
    MemoryZero(&digest, sizeof(digest));
    AssemblyResult assembled = FetchAndAssemble(&w.plan, w.requests, w.requestCount, &w.tail, &w.sources, url,
                                                packagePath, mergedPath, &progress, &digest);
    DWORD code = GetLastError();
    ReleaseWork(&w);
    if (assembled == ASSEMBLY_FAILED) {
        SetLastError(code);
        return REUSE_FAILED;
    }
    PackageCheck check = PACKAGE_DIFFERS;
    if (assembled == ASSEMBLY_DONE) {
        ReportStatus(window, L"正在校验完整包大小和 SHA-256…");
        check = digest.obtained
                    ? (StreamedPackageMatches(digest.digest, digest.bytes, QueryFileSize(mergedPath), entry)
                           ? PACKAGE_MATCHES
                           : PACKAGE_DIFFERS)
                    : CheckPackageFile(mergedPath, entry, nullptr);
    }
    if (check == PACKAGE_UNREADABLE)
        return REUSE_FAILED;
    if (check == PACKAGE_MATCHES) {
        if (!MoveFileWhileHeld(mergedPath, packagePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return REUSE_FAILED;
        DeleteReuseFiles(packagePath, TRUE);
        return REUSE_DONE;
    }
    // A base that changed on disk or a server with other bytes: the whole package, in this run.
    DeleteFileW(mergedPath);
    DeleteReuseFiles(packagePath, TRUE);
    ReportStatus(window, L"复用拼装的安装包未通过校验，改为下载完整安装包…");
    return REUSE_MISMATCH;
}
