// The package download into the per-user cache: reuse of a verified package, eight resumable range
// segments merged in order (or one plain stream when ranges are refused), then the size and SHA-256
// check and the rename to the final name.
#include "download/download.h"
#include "download/reuse.h"
#include "app/app.h"
#include <shlobj.h>

static const UINT32 URL_CAPACITY = 2048;

static BOOL IsDirectory(const WCHAR* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A code that can never read as success or as a user's cancel.
static DWORD DirectoryFailureCode(DWORD code) {
    return (code == ERROR_SUCCESS || code == ERROR_CANCELLED) ? ERROR_PATH_NOT_FOUND : code;
}

BOOL EnsureDirectory(const WCHAR* path) {
    if (IsDirectory(path))
        return TRUE;
    int result = SHCreateDirectoryExW(nullptr, path, nullptr);
    if (result == ERROR_SUCCESS)
        return TRUE;
    // Someone else may have made it in between.
    if (IsDirectory(path))
        return TRUE;
    return FailWith(DirectoryFailureCode((DWORD)result));
}

BOOL GetDefaultCacheDir(WCHAR* cacheDir) {
    WCHAR folder[MAX_PATH];
    folder[0] = 0;
    HRESULT result = SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                      SHGFP_TYPE_CURRENT, folder);
    if (result != S_OK) {
        DWORD code =
            HRESULT_FACILITY(result) == FACILITY_WIN32 ? (DWORD)HRESULT_CODE(result) : ERROR_PATH_NOT_FOUND;
        return FailWith(DirectoryFailureCode(code));
    }
    if (!ComposePath(cacheDir, PATH_CAPACITY, L"%s\\TOVKinemoDownloader\\Cache", folder))
        return FALSE;
    return EnsureDirectory(cacheDir);
}

static void PostComplete(HWND window) {
    if (window)
        PostMessageW(window, WMU_PROGRESS, 100, 0);
}

static HANDLE CreateMergedFile(const WCHAR* path) {
    return CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A refused write keeps the platform's own code (a full disk is 112 or 39). A short write goes on with
// the rest: a filling disk takes part of a write first and refuses the rest with its own code.
static BOOL WriteAll(HANDLE file, const BYTE* data, DWORD size) {
    DWORD code = ERROR_SUCCESS;
    return WriteWholeBuffer(file, data, size, &code) || FailWith(code);
}

// The probe asks for the first byte only; a 206 answer means the server serves ranges.
static BOOL ServerServesRanges(const WCHAR* url) {
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    if (!OpenHttpRequest(url, L"Range: bytes=0-0\r\n", &session, &connection, &request))
        return FALSE;
    DWORD status = 0;
    BOOL sent = SendHttpRequest(request, &status);
    CloseHttpHandles(session, connection, request);
    return sent && status == 206;
}

// Appends one part file to the merged file.
static BOOL AppendPartFile(HANDLE merged, const WCHAR* partPath, BYTE* buffer) {
    HANDLE part = CreateFileW(partPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (part == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL ok = TRUE;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(part, buffer, IO_CHUNK_SIZE, &got, nullptr)) {
            ok = FALSE;
            break;
        }
        if (got == 0)
            break;
        if (!WriteAll(merged, buffer, got)) {
            ok = FALSE;
            break;
        }
    }
    DWORD code = GetLastError();
    CloseHandle(part);
    SetLastError(code);
    return ok;
}

// Copies the parts in order into the merged file and flushes it, while the parts' hashing thread hashes
// what the download left unhashed: the copy and the flush run beside the hash. A failed merge deletes its
// half-written file; the parts stay until the merged file is complete and flushed.
static BOOL MergeSegments(const WCHAR* mergedPath, DownloadSegment* segments, PartsHash* parts,
                          StreamedDigest* digest) {
    BYTE* buffer = (BYTE*)HeapTake(IO_CHUNK_SIZE, FALSE);
    HANDLE merged = buffer ? CreateMergedFile(mergedPath) : INVALID_HANDLE_VALUE;
    if (merged == INVALID_HANDLE_VALUE) {
        DWORD code = buffer ? GetLastError() : ERROR_OUTOFMEMORY;
        FinishPartsHash(parts, nullptr);
        HeapRelease(buffer);
        return FailWith(code);
    }
    // An empty segment (packages below eight bytes) has no part file and adds nothing.
    BOOL ok = TRUE;
    for (UINT32 i = 0; i < SEGMENT_COUNT && ok; ++i)
        if (SegmentLength(segments[i].firstByte, segments[i].lastByte) != 0)
            ok = AppendPartFile(merged, segments[i].partPath, buffer);
    if (ok)
        FlushFileBuffers(merged);
    FinishPartsHash(parts, ok ? digest : nullptr);
    HeapRelease(buffer);
    if (!ok) {
        DWORD code = GetLastError();
        CloseHandle(merged);
        DeleteFileW(mergedPath);
        return FailWith(code);
    }
    CloseHandle(merged);
    // A part that stays (held too long) is complete and merges again on a later run.
    for (UINT32 i = 0; i < SEGMENT_COUNT; ++i)
        DeleteFileWhileHeld(segments[i].partPath);
    return TRUE;
}

static BOOL SegmentedTransfer(const ManifestEntry* entry, const WCHAR* url, const WCHAR* mergedPath,
                              DownloadProgress* progress, StreamedDigest* digest) {
    DownloadSegment segments[SEGMENT_COUNT];
    HANDLE threads[SEGMENT_COUNT];
    MemoryZero(segments, sizeof(segments));
    MemoryZero(threads, sizeof(threads));

    UINT64 resumed = 0;
    for (UINT32 i = 0; i < SEGMENT_COUNT; ++i) {
        DownloadSegment* segment = &segments[i];
        CopyWide(segment->packageUrl, URL_CAPACITY, url);
        if (!ComposePath(segment->partPath, PATH_CAPACITY, L"%s.part%d", mergedPath, (int)i))
            return FALSE;
        SegmentBounds(entry->sizeBytes, i, &segment->firstByte, &segment->lastByte);
        segment->progress = progress;
        // A part file is trusted by its size alone; the final SHA-256 check judges its content.
        UINT64 have = QueryFileSize(segment->partPath);
        if (have == NO_FILE_SIZE)
            have = 0;
        if (have > SegmentLength(segment->firstByte, segment->lastByte)) {
            DeleteFileW(segment->partPath);
            have = 0;
        }
        resumed += have;
    }

    // No thread exists yet: plain writes are safe here.
    progress->downloadedBytes = resumed;
    progress->baselineBytes = resumed;
    progress->startTick = GetTickCount();
    progress->lastReportTick = (LONG)progress->startTick;
    ReportDownloadProgress(progress);

    // The hash follows the parts from now on; bytes resumed from earlier runs are hashed at once.
    PartsHash parts;
    StartPartsHash(&parts, segments);
    for (UINT32 i = 0; i < SEGMENT_COUNT; ++i) {
        threads[i] = CreateThread(nullptr, 0, SegmentThreadProc, &segments[i], 0, nullptr);
        if (!threads[i]) {
            AtomicSet32(&progress->failedFlag, 1);
            AtomicSet32(&progress->stopFlag, 1);
            break;
        }
    }
    for (UINT32 i = 0; i < SEGMENT_COUNT; ++i) {
        if (!threads[i])
            continue;
        WaitForSingleObject(threads[i], INFINITE);
        CloseHandle(threads[i]);
    }
    EndPartsDownload(&parts);

    if (progress->cancelFlag && AtomicIsSet(progress->cancelFlag))
        AtomicSet32(&progress->stopFlag, 1);
    DWORD outcome =
        SegmentedOutcomeCode((DWORD)AtomicRead32(&progress->localFailure), AtomicIsSet(&progress->stopFlag),
                             AtomicIsSet(&progress->failedFlag));
    if (outcome != ERROR_SUCCESS) {
        FinishPartsHash(&parts, nullptr);
        return FailWith(outcome);
    }

    ReportStatus(progress->window, L"下载完成，正在合并分段…");
    return MergeSegments(mergedPath, segments, &parts, digest);
}

// Reads the whole body into the merged file, hashing it on the way; stops as soon as the body outgrows
// the package size.
static BOOL StreamBodyToFile(HINTERNET request, HANDLE merged, HashFeed* feed, UINT64 expected,
                             DownloadProgress* progress) {
    UINT64 received = 0;
    for (;;) {
        if (AtomicIsSet(&progress->stopFlag) || (progress->cancelFlag && AtomicIsSet(progress->cancelFlag))) {
            AtomicSet32(&progress->stopFlag, 1);
            return FailWith(ERROR_CANCELLED);
        }
        BYTE* buffer = HashFeedBuffer(feed);
        DWORD got = 0;
        if (!winHttp.readData(request, buffer, IO_CHUNK_SIZE, &got))
            return FALSE;
        if (got == 0)
            return TRUE;
        HashFeedSubmit(feed, got);
        if (!WriteAll(merged, buffer, got))
            return FALSE;
        received += got;
        // A body longer than the package can never pass the check; reading on would only fill the disk.
        if (received > expected)
            return FailWith(StreamSizeFailureCode(received, expected));
        AtomicAdd64(&progress->downloadedBytes, got);
        ReportDownloadProgress(progress);
    }
}

DWORD StreamSizeFailureCode(UINT64 receivedBytes, UINT64 expectedBytes) {
    return receivedBytes < expectedBytes ? ERROR_HANDLE_EOF : ERROR_FILE_INVALID;
}

static BOOL SingleStreamTransfer(const ManifestEntry* entry, const WCHAR* url, const WCHAR* mergedPath,
                                 DownloadProgress* progress, StreamedDigest* digest) {
    DeleteFileW(mergedPath);
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    if (!OpenHttpRequest(url, nullptr, &session, &connection, &request))
        return FALSE;
    DWORD status = 0;
    if (!SendHttpRequest(request, &status)) {
        DWORD code = GetLastError();
        CloseHttpHandles(session, connection, request);
        return FailWith(code);
    }
    if (status != 200) {
        CloseHttpHandles(session, connection, request);
        return FailWith(HttpStatusFailureCode(status));
    }

    HANDLE merged = CreateMergedFile(mergedPath);
    if (merged == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        CloseHttpHandles(session, connection, request);
        return FailWith(code);
    }
    HashFeed feed;
    BOOL started = StartHashFeed(&feed);
    BOOL ok = FALSE;
    DWORD code = ERROR_OUTOFMEMORY;
    if (started) {
        InterlockedExchange64((volatile LONG64*)&progress->downloadedBytes, 0);
        ok = StreamBodyToFile(request, merged, &feed, entry->sizeBytes, progress);
        if (!ok)
            code = GetLastError();
    }
    if (ok) {
        FlushFileBuffers(merged);
        UINT64 size = QueryFileSize(mergedPath);
        if (size != entry->sizeBytes) {
            ok = FALSE;
            code = StreamSizeFailureCode(size == NO_FILE_SIZE ? 0 : size, entry->sizeBytes);
        }
    }
    if (started)
        FinishHashFeed(&feed, digest);
    CloseHandle(merged);
    CloseHttpHandles(session, connection, request);
    if (!ok)
        return FailWith(code);
    return TRUE;
}

static void DeletePartFiles(const WCHAR* mergedPath) {
    for (UINT32 i = 0; i < SEGMENT_COUNT; ++i) {
        WCHAR partPath[PATH_CAPACITY];
        if (ComposePath(partPath, PATH_CAPACITY, L"%s.part%d", mergedPath, (int)i))
            DeleteFileWhileHeld(partPath);
    }
}

// Everything from the reuse check to the rename, while this run holds the cache package's lock.
static BOOL DownloadLocked(const ManifestEntry* entry, const WCHAR* cacheDir, const WCHAR* packagePath,
                           const WCHAR* mergedPath, const WCHAR* upgradeDir, HWND window,
                           volatile LONG* cancelFlag, UINT64 cancelAfterBytes) {
    // A missing path or a directory at the final path never reaches the check. A package that cannot be
    // read now (held by another process) is no wrong package: it stays for the next run to check.
    if (PathIsFile(packagePath)) {
        PackageCheck cached = CheckPackageFile(packagePath, entry, cancelFlag);
        if (cached == PACKAGE_MATCHES) {
            PostComplete(window);
            return TRUE;
        }
        if (cached == PACKAGE_UNREADABLE)
            return FALSE;
    }
    DeleteFileW(packagePath);

    // A run that ended while checking its merged file left it whole (its parts already deleted): the
    // check decides, and no package byte is fetched again. One of the right size that fails is deleted.
    if (PathIsFile(mergedPath) && QueryFileSize(mergedPath) == entry->sizeBytes) {
        PackageCheck partial = CheckPackageFile(mergedPath, entry, cancelFlag);
        if (partial == PACKAGE_UNREADABLE)
            return FALSE;
        if (partial == PACKAGE_MATCHES) {
            if (!MoveFileWhileHeld(mergedPath, packagePath,
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                return FALSE;
            DeletePartFiles(mergedPath);
            // A reuse that ended before its check left its tail and fetched files too.
            if (entry->reuse)
                DeleteReuseFiles(packagePath, TRUE);
            PostComplete(window);
            return TRUE;
        }
        DeleteFileW(mergedPath);
    }

    DownloadProgress progress;
    MemoryZero(&progress, sizeof(progress));
    progress.window = window;
    progress.totalBytes = entry->sizeBytes;
    progress.cancelFlag = cancelFlag;
    progress.cancelAfterBytes = cancelAfterBytes;
    progress.startTick = GetTickCount();
    progress.lastReportTick = (LONG)progress.startTick;
    ReportStatus(window, L"正在下载 0%，下载速度 0.0 MB/s");
    // A cancel that came before the start stops every transfer at its first check.
    if (cancelFlag && AtomicIsSet(cancelFlag))
        progress.stopFlag = 1;

    // At most 2047 units of the URL are used, whatever the entry holds.
    WCHAR url[URL_CAPACITY];
    CopyWide(url, URL_CAPACITY, entry->urlWide);
    StreamedDigest digest;
    MemoryZero(&digest, sizeof(digest));
    BOOL ranges = ServerServesRanges(url);
    // With the channel's reuse, a server with ranges: the package built from the bases where it can be.
    if (ranges && entry->reuse) {
        ReuseOutcome reused = DownloadReusing(entry, url, cacheDir, packagePath, mergedPath, upgradeDir,
                                              window, cancelFlag, cancelAfterBytes);
        if (reused == REUSE_FAILED)
            return FALSE;
        if (reused == REUSE_DONE) {
            DeletePartFiles(mergedPath);
            PostComplete(window);
            return TRUE;
        }
    }
    BOOL transferred = ranges ? SegmentedTransfer(entry, url, mergedPath, &progress, &digest)
                              : SingleStreamTransfer(entry, url, mergedPath, &progress, &digest);
    if (!transferred)
        return FALSE;

    ReportStatus(window, L"正在校验完整包大小和 SHA-256…");
    // The digest was taken while the file was merged or written; only without it is the file read again. Only
    // a real mismatch deletes the merged file; one that cannot be read now stays as it is.
    PackageCheck merged;
    if (digest.obtained)
        merged = StreamedPackageMatches(digest.digest, digest.bytes, QueryFileSize(mergedPath), entry)
                     ? PACKAGE_MATCHES
                     : PACKAGE_DIFFERS;
    else
        merged = CheckPackageFile(mergedPath, entry, nullptr);
    if (merged == PACKAGE_UNREADABLE)
        return FALSE;
    if (merged == PACKAGE_DIFFERS) {
        DeleteFileW(mergedPath);
        return FailWith(ERROR_CRC);
    }
    if (!MoveFileWhileHeld(mergedPath, packagePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return FALSE;
    PostComplete(window);
    return TRUE;
}

BOOL DownloadPackage(const ManifestEntry* entry, const char* channel, const WCHAR* cacheDir, HWND window,
                     volatile LONG* cancelFlag, UINT64 cancelAfterBytes, WCHAR* packagePath,
                     const WCHAR* upgradeDir) {
    // Every name in the cache must fit whole before any file is touched: a cut name is another file.
    WCHAR mergedPath[PATH_CAPACITY];
    WCHAR lastPartPath[PATH_CAPACITY];
    if (!ComposePath(packagePath, PATH_CAPACITY, L"%s\\package-%S-%S.zip", cacheDir, entry->latestVersion,
                     channel) ||
        !ComposePath(mergedPath, PATH_CAPACITY, L"%s.partial", packagePath) ||
        !ComposePath(lastPartPath, PATH_CAPACITY, L"%s.part%d", mergedPath, (int)(SEGMENT_COUNT - 1)))
        return FALSE;
    // A second run on the same cache would write the same part files: it leaves them to this one.
    HANDLE lock = AcquireRunLock(L"cache", packagePath);
    if (!lock)
        return FALSE;
    BOOL ok = DownloadLocked(entry, cacheDir, packagePath, mergedPath, upgradeDir, window, cancelFlag,
                             cancelAfterBytes);
    ReleaseRunLock(lock);
    return ok;
}
