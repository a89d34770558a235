// Package download: HTTPS requests, whole-resource fetch, the segmented resumable download.
#pragma once

#include "support/support.h"
#include "trust/trust.h"
#include "support/libraries.h"

static const WCHAR USER_AGENT[] = L"TOVKinemoDownloader/1.0";
static const UINT32 SEGMENT_COUNT = 8;
static const UINT32 SEGMENT_ATTEMPTS = 3;
static const DWORD SPEED_REPORT_INTERVAL_MS = 250;

BOOL OpenHttpRequest(const WCHAR* url, const WCHAR* extraHeaders, HINTERNET* session, HINTERNET* connection,
                     HINTERNET* request);
BOOL SendHttpRequest(HINTERNET request, DWORD* statusCode);
void CloseHttpHandles(HINTERNET session, HINTERNET connection, HINTERNET request);

// Next buffer capacity of the whole-resource fetch, or 0 when it cannot grow.
UINT32 NextFetchCapacity(UINT32 capacity);
BOOL FetchUrlToBuffer(const WCHAR* url, BYTE** buffer, UINT32* length);
// Failure code for a response whose status is not the one the caller needs: ERROR_FILE_NOT_FOUND for
// 404 and 410, ERROR_WINHTTP_INVALID_SERVER_RESPONSE (12152) for every other status.
DWORD HttpStatusFailureCode(DWORD statusCode);
BOOL ReadFileToBuffer(const WCHAR* path, BYTE** buffer, UINT32* length);
// All ones when the file cannot be queried (a missing file too).
static const UINT64 NO_FILE_SIZE = ~(UINT64)0;
UINT64 QueryFileSize(const WCHAR* path);

struct DownloadProgress {
    HWND window;
    volatile LONG stopFlag;
    volatile LONG failedFlag;
    volatile UINT64 downloadedBytes;
    volatile LONG lastReportTick;
    volatile LONG* cancelFlag;
    UINT64 cancelAfterBytes;
    UINT64 totalBytes;
    UINT64 baselineBytes;
    DWORD startTick;
    // The first local write failure's code (a full disk, say); 0 while none. It stops every segment.
    volatile LONG localFailure;
};

struct DownloadSegment {
    WCHAR packageUrl[2048];
    WCHAR partPath[260];
    UINT64 firstByte;
    UINT64 lastByte;
    DownloadProgress* progress;
    DWORD lastError;
    volatile LONG done;
    // Raised by one before and one after the thread deletes its part file to start it over, so a reader
    // of the part sees an odd or changed count when what it read may have been thrown away.
    volatile LONG discards;
};

// Pure decisions, kept apart from the platform calls.
void SegmentBounds(UINT64 totalBytes, UINT32 index, UINT64* firstByte, UINT64* lastByte);
int ProgressPercent(UINT64 downloaded, UINT64 total);
// Bytes per second over this run; 0 when nothing new or no time elapsed.
UINT64 SpeedBytesPerSecond(UINT64 downloaded, UINT64 baseline, DWORD elapsedMs);
void FormatSpeedText(WCHAR* buffer, UINT32 capacity, int percent, UINT64 bytesPerSecond);
// Milliseconds from one tick count to a later one, right across the counter's wrap-around.
DWORD TickElapsed(DWORD now, DWORD since);
// TRUE when at least SPEED_REPORT_INTERVAL_MS passed since the last speed text.
BOOL SpeedReportDue(DWORD now, DWORD lastReport);
// Segment length from inclusive bounds; 0 for the empty segments of packages below eight bytes.
UINT64 SegmentLength(UINT64 firstByte, UINT64 lastByte);
// Failure code of a single stream whose size is not the package size: ERROR_HANDLE_EOF when short,
// ERROR_FILE_INVALID when long.
DWORD StreamSizeFailureCode(UINT64 receivedBytes, UINT64 expectedBytes);

// The digest of the bytes written to the merged file, taken while they were written.
struct StreamedDigest {
    BYTE digest[32];
    UINT64 bytes;
    BOOL obtained;
};

// Chunks in order to a hashing thread through two buffers. Start fails only for want of buffers
// (ERROR_OUTOFMEMORY); without a thread or a hash it still serves one buffer and obtains no digest.
struct HashFeed {
    BYTE* buffers[2];
    volatile DWORD lengths[2];
    HANDLE ready[2];
    HANDLE idle[2];
    HANDLE thread;
    UINT32 slot;
    BOOL held;
    PackageHash hash;
    StreamedDigest result;
};
BOOL StartHashFeed(HashFeed* feed);
// The buffer to fill next; waits until the hashing thread is done with it.
BYTE* HashFeedBuffer(HashFeed* feed);
// Hands the filled buffer's first length bytes to the hashing thread (the buffer stays readable for
// the writer) and moves on to the other buffer.
void HashFeedSubmit(HashFeed* feed, DWORD length);
// Ends the thread, releases everything and gives the digest (result may be null); keeps the last error.
void FinishHashFeed(HashFeed* feed, StreamedDigest* result);

// The merge's digest, taken from the part files in index order by a thread of its own that starts with
// the segment threads: it hashes each part's bytes as they reach the disk and takes the next part once a
// part is complete, so what the download finishes last is hashed while the merge copies it. No digest when
// the thread cannot start, a part is thrown away while it is read, or a part stays short.
struct PartsHash {
    DownloadSegment* segments; // the eight records, read only
    volatile LONG ended;       // every segment thread has ended: no part grows any more
    volatile LONG abandoned;   // nobody wants the digest: stop at the next chunk
    HANDLE thread;
    StreamedDigest result;
};
void StartPartsHash(PartsHash* parts, DownloadSegment* segments);
void EndPartsDownload(PartsHash* parts);
// Waits for the thread and gives the digest; with a null result the thread is stopped instead. Keeps the
// last-error value.
void FinishPartsHash(PartsHash* parts, StreamedDigest* result);

// Code of a refused or short write to a local file: the platform's own code when the write failed
// with one, ERROR_WRITE_FAULT otherwise.
DWORD LocalWriteFailureCode(BOOL writeSucceeded, DWORD lastError);
// Writes all of data, going on after a short write (a disk filling up takes part of a write first and
// refuses the rest with its own code); on failure *code is LocalWriteFailureCode's.
BOOL WriteWholeBuffer(HANDLE file, const BYTE* data, DWORD size, DWORD* code);
// TRUE for the codes of a full disk, which the next attempt would meet again.
BOOL IsDiskFullCode(DWORD code);
// The segmented transfer's failure code after the join, or 0 when it succeeded: a local write failure
// first (it is what stopped the others), then a stop (cancel), then a failed segment.
DWORD SegmentedOutcomeCode(DWORD localFailure, BOOL stopped, BOOL failed);

DWORD WINAPI SegmentThreadProc(LPVOID parameter);
void ReportDownloadProgress(DownloadProgress* progress);

BOOL GetDefaultCacheDir(WCHAR* cacheDir);
BOOL EnsureDirectory(const WCHAR* path);
// upgradeDir: the install folder of an upgrade (its files may serve a reuse), else null.
BOOL DownloadPackage(const ManifestEntry* entry, const char* channel, const WCHAR* cacheDir, HWND window,
                     volatile LONG* cancelFlag, UINT64 cancelAfterBytes, WCHAR* packagePath,
                     const WCHAR* upgradeDir);
