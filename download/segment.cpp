// Segment worker (one byte range into its part file, resumable, three attempts) and the progress
// reporter shared by the segment threads and the single stream. All sharing is atomic, no locks.
#include "download/download.h"
#include "app/app.h"

static const UINT32 SPEED_TEXT_CAPACITY = 160;
static const UINT32 RANGE_HEADER_CAPACITY = 128;
static const DWORD RETRY_SLEEP_STEP_MS = 500;

// ---- decisions from values ----

void SegmentBounds(UINT64 totalBytes, UINT32 index, UINT64* firstByte, UINT64* lastByte) {
    // floor(S * i / 8) without forming S * i, which overflows for sizes near 2^64.
    UINT64 whole = totalBytes / SEGMENT_COUNT;
    UINT64 rest = totalBytes % SEGMENT_COUNT;
    UINT64 first = whole * index + (rest * index) / SEGMENT_COUNT;
    UINT64 next = whole * (index + 1) + (rest * (index + 1)) / SEGMENT_COUNT;
    *firstByte = first;
    *lastByte = next - 1; // first - 1 (wrapping) for an empty segment, so its length is 0
}

UINT64 SegmentLength(UINT64 firstByte, UINT64 lastByte) {
    return lastByte - firstByte + 1;
}

int ProgressPercent(UINT64 downloaded, UINT64 total) {
    if (total == 0)
        return 0;
    INT32 percent = (INT32)(UINT32)(downloaded * 100 / total);
    if (percent <= 0)
        return 0;
    if (percent >= 99)
        return 99; // 100 belongs to the finished, renamed package only
    return percent;
}

UINT64 SpeedBytesPerSecond(UINT64 downloaded, UINT64 baseline, DWORD elapsedMs) {
    // Bytes resumed from earlier runs are not this run's speed.
    if (elapsedMs == 0 || downloaded <= baseline)
        return 0;
    return (downloaded - baseline) * 1000 / elapsedMs;
}

void FormatSpeedText(WCHAR* buffer, UINT32 capacity, int percent, UINT64 bytesPerSecond) {
    UINT64 whole = bytesPerSecond >> 20;
    UINT64 tenth = ((bytesPerSecond & 0xFFFFF) * 10) >> 20;
    FormatText(buffer, capacity, L"正在下载 %d%%，下载速度 %llu.%llu MB/s", percent, whole, tenth);
}

DWORD TickElapsed(DWORD now, DWORD since) {
    return now - since;
}

BOOL SpeedReportDue(DWORD now, DWORD lastReport) {
    return TickElapsed(now, lastReport) >= SPEED_REPORT_INTERVAL_MS;
}

DWORD LocalWriteFailureCode(BOOL writeSucceeded, DWORD lastError) {
    return (!writeSucceeded && lastError != ERROR_SUCCESS) ? lastError : ERROR_WRITE_FAULT;
}

BOOL WriteWholeBuffer(HANDLE file, const BYTE* data, DWORD size, DWORD* code) {
    DWORD done = 0;
    while (done < size) {
        DWORD written = 0;
        if (!WriteFile(file, data + done, size - done, &written, nullptr)) {
            *code = LocalWriteFailureCode(FALSE, GetLastError());
            return FALSE;
        }
        if (written == 0) {
            *code = LocalWriteFailureCode(TRUE, ERROR_SUCCESS);
            return FALSE;
        }
        done += written;
    }
    return TRUE;
}

BOOL IsDiskFullCode(DWORD code) {
    return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
}

DWORD SegmentedOutcomeCode(DWORD localFailure, BOOL stopped, BOOL failed) {
    if (localFailure != ERROR_SUCCESS)
        return localFailure;
    if (stopped)
        return ERROR_CANCELLED;
    if (failed)
        return ERROR_READ_FAULT;
    return ERROR_SUCCESS;
}

// ---- progress ----

void ReportDownloadProgress(DownloadProgress* progress) {
    if (progress->totalBytes == 0)
        return;
    UINT64 downloaded = AtomicRead64(&progress->downloadedBytes);
    int percent = ProgressPercent(downloaded, progress->totalBytes);
    if (progress->window)
        PostMessageW(progress->window, WMU_PROGRESS, (WPARAM)percent, 0);

    DWORD now = GetTickCount();
    LONG last = AtomicRead32(&progress->lastReportTick);
    if (!SpeedReportDue(now, (DWORD)last))
        return;
    // Of several threads passing the gate together, only the one whose swap lands makes the text.
    if (InterlockedCompareExchange(&progress->lastReportTick, (LONG)now, last) != last)
        return;

    DWORD elapsed = TickElapsed(now, progress->startTick);
    if (elapsed == 0)
        return;
    WCHAR text[SPEED_TEXT_CAPACITY];
    FormatSpeedText(text, SPEED_TEXT_CAPACITY, percent,
                    SpeedBytesPerSecond(downloaded, progress->baselineBytes, elapsed));
    ReportStatus(progress->window, text);
}

// ---- segment worker ----

// A local failure does not clear in a second: keep the first one's code and stop every segment, so
// nobody fetches bytes that cannot be stored.
static void StopForLocalFailure(DownloadProgress* progress, DWORD code) {
    InterlockedCompareExchange(&progress->localFailure, (LONG)code, 0);
    AtomicSet32(&progress->stopFlag, 1);
}

// Reads the body into the part file; have counts the segment bytes on disk. Leaves the attempt's code
// in *code on failure.
static BOOL TransferSegmentBody(DownloadSegment* segment, HINTERNET request, HANDLE file, BYTE* buffer,
                                UINT64 have, DWORD* code) {
    DownloadProgress* progress = segment->progress;
    UINT64 length = SegmentLength(segment->firstByte, segment->lastByte);
    if (AtomicIsSet(&progress->stopFlag)) {
        *code = ERROR_CANCELLED;
        return FALSE;
    }
    for (;;) {
        if (progress->cancelFlag && AtomicIsSet(progress->cancelFlag)) {
            AtomicSet32(&progress->stopFlag, 1);
            *code = ERROR_CANCELLED;
            return FALSE;
        }
        DWORD got = 0;
        if (!winHttp.readData(request, buffer, IO_CHUNK_SIZE, &got)) {
            *code = GetLastError();
            return FALSE;
        }
        if (got == 0) {
            FlushFileBuffers(file);
            if (have == length)
                return TRUE;
            *code = ERROR_HANDLE_EOF;
            return FALSE;
        }
        if (!WriteWholeBuffer(file, buffer, got, code)) {
            StopForLocalFailure(progress, *code);
            return FALSE;
        }
        DWORD written = got;
        have += written;
        if (have > length) {
            // The surplus stays on disk; the next attempt finds the file too long and starts over.
            *code = ERROR_FILE_INVALID;
            return FALSE;
        }
        UINT64 before = AtomicAdd64(&progress->downloadedBytes, written);
        if (progress->cancelAfterBytes != 0 && before + written >= progress->cancelAfterBytes)
            AtomicSet32(&progress->stopFlag, 1);
        ReportDownloadProgress(progress);
        if (AtomicIsSet(&progress->stopFlag)) {
            *code = ERROR_CANCELLED;
            return FALSE;
        }
    }
}

// One attempt: request the missing tail of the segment and append it to the part file.
static BOOL RunSegmentAttempt(DownloadSegment* segment, UINT64 have) {
    WCHAR header[RANGE_HEADER_CAPACITY];
    FormatText(header, RANGE_HEADER_CAPACITY, L"Range: bytes=%llu-%llu\r\n", segment->firstByte + have,
               segment->lastByte);

    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    BYTE* buffer = nullptr;
    BOOL ok = FALSE;
    DWORD code = ERROR_SUCCESS;
    DWORD status = 0;

    if (!OpenHttpRequest(segment->packageUrl, header, &session, &connection, &request) ||
        !SendHttpRequest(request, &status) || status != 206) {
        code = GetLastError(); // a status other than 206 adds no code of its own
    } else {
        // Appending keeps the bytes that earlier attempts and runs left in the part file.
        file = CreateFileW(segment->partPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            code = GetLastError();
            if (IsDiskFullCode(code))
                StopForLocalFailure(segment->progress, code);
        } else {
            buffer = (BYTE*)HeapTake(IO_CHUNK_SIZE, FALSE);
            if (!buffer)
                code = ERROR_OUTOFMEMORY;
            else
                ok = TransferSegmentBody(segment, request, file, buffer, have, &code);
        }
    }

    segment->lastError = ok ? ERROR_SUCCESS : code;
    HeapRelease(buffer);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    CloseHttpHandles(session, connection, request);
    return ok;
}

DWORD WINAPI SegmentThreadProc(LPVOID parameter) {
    DownloadSegment* segment = (DownloadSegment*)parameter;
    DownloadProgress* progress = segment->progress;
    UINT64 length = SegmentLength(segment->firstByte, segment->lastByte);
    UINT32 failures = 0;
    for (;;) {
        UINT64 have = QueryFileSize(segment->partPath);
        if (have == NO_FILE_SIZE)
            have = 0;
        if (have > length) {
            // The parts' hashing thread may have read this file: the count tells it the bytes are gone.
            InterlockedIncrement(&segment->discards);
            DeleteFileW(segment->partPath);
            InterlockedIncrement(&segment->discards);
            have = 0;
        }
        // Also covers the empty segments of tiny packages: nothing to fetch, no part file needed.
        if (have == length) {
            AtomicSet32(&segment->done, 1);
            return 0;
        }
        if (RunSegmentAttempt(segment, have)) {
            AtomicSet32(&segment->done, 1);
            return 0;
        }
        if (AtomicIsSet(&progress->stopFlag))
            break;
        ++failures;
        Sleep(RETRY_SLEEP_STEP_MS * failures);
        if (failures >= SEGMENT_ATTEMPTS)
            break;
    }
    AtomicSet32(&progress->failedFlag, 1);
    return segment->lastError != ERROR_SUCCESS ? segment->lastError : ERROR_READ_FAULT;
}
