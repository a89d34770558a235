// Download decisions from values (segment bounds, percent, speed, tick arithmetic, texts, buffer growth,
// failure codes) and the parts of the worker and the progress reporter that need no network.
#include "download/download.h"
#include "app/app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// floor(S * i / 8) in 128-bit arithmetic, the reference for the 64-bit computation.
UINT64 ReferenceBoundary(UINT64 total, UINT32 index) {
    return (UINT64)(((unsigned __int128)total * index) / SEGMENT_COUNT);
}

void ExpectPartition(UINT64 total) {
    SCOPED_TRACE(total);
    UINT64 expectedFirst = 0;
    UINT64 shortest = ~(UINT64)0, longest = 0;
    for (UINT32 i = 0; i < SEGMENT_COUNT; ++i) {
        UINT64 first = 0, last = 0;
        SegmentBounds(total, i, &first, &last);
        EXPECT_EQ(first, ReferenceBoundary(total, i)) << "segment " << i;
        EXPECT_EQ(last + 1, ReferenceBoundary(total, i + 1)) << "segment " << i;
        EXPECT_EQ(first, expectedFirst) << "segments must be contiguous at " << i;
        UINT64 length = SegmentLength(first, last);
        shortest = length < shortest ? length : shortest;
        longest = length > longest ? length : longest;
        expectedFirst = first + length;
    }
    EXPECT_EQ(expectedFirst, total);
    EXPECT_LE(longest - shortest, 1u);
}

TEST(SegmentBoundsTest, HundredBytesGiveTheDocumentedRanges) {
    const UINT64 expected[SEGMENT_COUNT][2] = {{0, 11},  {12, 24}, {25, 36}, {37, 49},
                                               {50, 61}, {62, 74}, {75, 86}, {87, 99}};
    for (UINT32 i = 0; i < SEGMENT_COUNT; ++i) {
        UINT64 first = 0, last = 0;
        SegmentBounds(100, i, &first, &last);
        EXPECT_EQ(first, expected[i][0]) << "segment " << i;
        EXPECT_EQ(last, expected[i][1]) << "segment " << i;
    }
}

TEST(SegmentBoundsTest, PartitionsEverySizeExactly) {
    const UINT64 sizes[] = {8,
                            9,
                            15,
                            16,
                            17,
                            100,
                            65536,
                            4194303,
                            3 * 1048576 + 5,
                            (UINT64)1 << 40,
                            ((UINT64)1 << 61) - 1,
                            ((UINT64)1 << 61) + 7,
                            ~(UINT64)0 / 3,
                            ~(UINT64)0 - 8,
                            ~(UINT64)0 - 1,
                            ~(UINT64)0};
    for (UINT64 size : sizes)
        ExpectPartition(size);
}

TEST(SegmentBoundsTest, TinyPackagesHaveExactlySizeNonEmptySegments) {
    for (UINT64 total = 1; total < SEGMENT_COUNT; ++total) {
        SCOPED_TRACE(total);
        ExpectPartition(total);
        UINT32 nonEmpty = 0;
        for (UINT32 i = 0; i < SEGMENT_COUNT; ++i) {
            UINT64 first = 0, last = 0;
            SegmentBounds(total, i, &first, &last);
            UINT64 length = SegmentLength(first, last);
            EXPECT_LE(length, 1u);
            if (length == 1) {
                ++nonEmpty;
                EXPECT_EQ(first, last);
            }
        }
        EXPECT_EQ(nonEmpty, total);
    }
}

TEST(ProgressPercentTest, TruncatesAndClampsToNinetyNine) {
    struct Case {
        UINT64 downloaded, total;
        int percent;
    };
    const Case cases[] = {
        {0, 100, 0},
        {1, 1000, 0},
        {9, 1000, 0},
        {10, 1000, 1},
        {50, 100, 50},
        {989, 1000, 98},
        {990, 1000, 99},
        {999, 1000, 99},
        {100, 100, 99},
        {250, 100, 99},
        {3, 7, 42},
        {0, 0, 0},
        {5, 0, 0},
        {1ull << 40, 1ull << 41, 50},
        {123456789, 123456789 * 4ull, 25},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProgressPercent(c.downloaded, c.total), c.percent) << c.downloaded << "/" << c.total;
}

TEST(SpeedTest, CountsOnlyThisRunsBytes) {
    struct Case {
        UINT64 downloaded, baseline;
        DWORD elapsed;
        UINT64 speed;
    };
    const Case cases[] = {
        {10ull << 20, 0, 4000, 2621440},           // 10 MiB in 4 s: 2.5 MiB/s
        {(10ull << 20) + 777, 777, 4000, 2621440}, // resumed bytes do not count
        {500, 500, 1000, 0},                       // nothing new
        {400, 500, 1000, 0},                       // below the baseline
        {1000, 0, 0, 0},                           // no time elapsed
        {1, 0, 1000, 1},
        {999, 0, 1000, 999},
        {1000, 0, 3, 333333},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SpeedBytesPerSecond(c.downloaded, c.baseline, c.elapsed), c.speed)
            << c.downloaded << " " << c.baseline << " " << c.elapsed;
}

TEST(TickTest, DifferencesSurviveWrapAround) {
    struct Case {
        DWORD now, since, elapsed;
        bool due;
    };
    const Case cases[] = {
        {1000, 1000, 0, false},          {1249, 1000, 249, false},       {1250, 1000, 250, true},
        {100, 0xFFFFFF00u, 356, true},   {0x10, 0xFFFFFFF0u, 32, false}, {0xF9, 0xFFFFFFFFu, 250, true},
        {0xF8, 0xFFFFFFFFu, 249, false}, {0, 0xFFFFFFFFu, 1, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TickElapsed(c.now, c.since), c.elapsed) << c.now << " " << c.since;
        EXPECT_EQ(SpeedReportDue(c.now, c.since) != FALSE, c.due) << c.now << " " << c.since;
    }
    // Speed over an interval that spans the wrap.
    EXPECT_EQ(SpeedBytesPerSecond(10ull << 20, 0, TickElapsed(3000, 0xFFFFFFFFu - 999)), 2621440u);
}

TEST(FormatSpeedTextTest, WholeAndTruncatedTenthOfMebibytes) {
    struct Case {
        int percent;
        UINT64 speed;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0, 0, L"正在下载 0%，下载速度 0.0 MB/s"},
        {50, 2621440, L"正在下载 50%，下载速度 2.5 MB/s"},
        {99, 1048575, L"正在下载 99%，下载速度 0.9 MB/s"},
        {7, 1048576ull * 1234 + 0x19999, L"正在下载 7%，下载速度 1234.0 MB/s"},
        {7, 1048576ull * 1234 + 0x1999A, L"正在下载 7%，下载速度 1234.1 MB/s"},
        {12, 104857, L"正在下载 12%，下载速度 0.0 MB/s"},
        {12, 104858, L"正在下载 12%，下载速度 0.1 MB/s"},
    };
    for (const Case& c : cases) {
        WCHAR buffer[160];
        FormatSpeedText(buffer, 160, c.percent, c.speed);
        EXPECT_EQ(std::wstring(buffer), std::wstring(c.text));
    }
    WCHAR small[8];
    FormatSpeedText(small, 8, 50, 2621440);
    EXPECT_EQ(std::wstring(small), std::wstring(L"正在下载 50"));
}

TEST(NextFetchCapacityTest, DoublesFromSixtyFourKibibytesToFourMebibytes) {
    std::vector<UINT32> sequence;
    UINT32 capacity = 65536;
    while (capacity != 0 && sequence.size() < 20) {
        sequence.push_back(capacity);
        capacity = NextFetchCapacity(capacity);
    }
    const std::vector<UINT32> expected = {65536, 131072, 262144, 524288, 1048576, 2097152, 4194304};
    EXPECT_EQ(sequence, expected);
    EXPECT_EQ(NextFetchCapacity(3u << 20), 4u << 20);
    EXPECT_EQ(NextFetchCapacity(5u << 20), 0u);
    EXPECT_EQ(NextFetchCapacity(0xFFFFFFFFu), 0u);
}

TEST(FailureCodeTest, UnexpectedStatusAndStreamSize) {
    const std::pair<DWORD, DWORD> statuses[] = {
        {404, ERROR_FILE_NOT_FOUND},
        {410, ERROR_FILE_NOT_FOUND},
        {500, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {403, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {206, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {302, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {0, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
    };
    for (const auto& s : statuses)
        EXPECT_EQ(HttpStatusFailureCode(s.first), s.second) << s.first;
    EXPECT_EQ(StreamSizeFailureCode(0, 10), (DWORD)ERROR_HANDLE_EOF);
    EXPECT_EQ(StreamSizeFailureCode(9, 10), (DWORD)ERROR_HANDLE_EOF);
    EXPECT_EQ(StreamSizeFailureCode(11, 10), (DWORD)ERROR_FILE_INVALID);
    // A local write keeps the platform's code; a short write without one is a write fault.
    EXPECT_EQ(LocalWriteFailureCode(FALSE, ERROR_DISK_FULL), (DWORD)ERROR_DISK_FULL);
    EXPECT_EQ(LocalWriteFailureCode(FALSE, ERROR_HANDLE_DISK_FULL), (DWORD)ERROR_HANDLE_DISK_FULL);
    EXPECT_EQ(LocalWriteFailureCode(FALSE, ERROR_SUCCESS), (DWORD)ERROR_WRITE_FAULT);
    EXPECT_EQ(LocalWriteFailureCode(TRUE, ERROR_SUCCESS), (DWORD)ERROR_WRITE_FAULT);
    EXPECT_EQ(LocalWriteFailureCode(TRUE, ERROR_ALREADY_EXISTS), (DWORD)ERROR_WRITE_FAULT);
    EXPECT_TRUE(IsDiskFullCode(ERROR_DISK_FULL) && IsDiskFullCode(ERROR_HANDLE_DISK_FULL));
    EXPECT_FALSE(IsDiskFullCode(ERROR_ACCESS_DENIED) || IsDiskFullCode(ERROR_WRITE_FAULT));
    // After the join: the local failure that stopped everyone, then a stop, then a failed segment.
    const DWORD outcomes[][4] = {
        {0, FALSE, FALSE, ERROR_SUCCESS},          {0, TRUE, TRUE, ERROR_CANCELLED},
        {0, FALSE, TRUE, ERROR_READ_FAULT},        {ERROR_DISK_FULL, TRUE, TRUE, ERROR_DISK_FULL},
        {ERROR_HANDLE_DISK_FULL, TRUE, FALSE, 39},
    };
    for (const auto& o : outcomes)
        EXPECT_EQ(SegmentedOutcomeCode(o[0], o[1], o[2]), o[3]) << o[0] << " " << o[1] << " " << o[2];
}

// ---- the progress reporter, observed through a message-only window ----

struct Posted {
    std::vector<int> percents;
    std::vector<std::wstring> texts;
};

class ProgressWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The speed texts also go to the log: keep them out of the log that other suites read.
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        privateTemp =
            std::wstring(temp) + L"tov-progress-test-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
        CreateDirectoryW(privateTemp.c_str(), nullptr);
        WCHAR saved[MAX_PATH];
        DWORD savedLength = GetEnvironmentVariableW(L"TMP", saved, MAX_PATH);
        hadTmp = savedLength > 0 && savedLength < MAX_PATH;
        if (hadTmp)
            savedTmp = saved;
        SetEnvironmentVariableW(L"TMP", privateTemp.c_str());
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        MemoryZero(&progress, sizeof(progress));
        progress.window = window;
    }
    void TearDown() override {
        Drain();
        DestroyWindow(window);
        SetEnvironmentVariableW(L"TMP", hadTmp ? savedTmp.c_str() : nullptr);
        DeleteFileW((privateTemp + L"TOVKinemoDownloader.log").c_str());
        RemoveDirectoryW(privateTemp.c_str());
    }
    Posted Drain() {
        Posted posted;
        MSG message;
        while (PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
            if (message.message == WMU_PROGRESS)
                posted.percents.push_back((int)message.wParam);
            if (message.message == WMU_STATUS) {
                posted.texts.push_back((const WCHAR*)message.lParam);
                HeapFree(GetProcessHeap(), 0, (void*)message.lParam);
            }
        }
        return posted;
    }
    std::string ReadLog() {
        std::string content;
        HANDLE file = CreateFileW((privateTemp + L"TOVKinemoDownloader.log").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return content;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
            content.append(buffer, got);
        CloseHandle(file);
        return content;
    }
    HWND window = nullptr;
    DownloadProgress progress;
    std::wstring privateTemp, savedTmp;
    bool hadTmp = false;
};

TEST_F(ProgressWindowTest, NoTotalPostsNothing) {
    progress.totalBytes = 0;
    progress.downloadedBytes = 50;
    progress.lastReportTick = (LONG)(GetTickCount() - 10000);
    progress.startTick = GetTickCount() - 10000;
    ReportDownloadProgress(&progress);
    Posted posted = Drain();
    EXPECT_TRUE(posted.percents.empty());
    EXPECT_TRUE(posted.texts.empty());
}

TEST_F(ProgressWindowTest, OpenGateMakesOneSpeedTextAndMovesTheTick) {
    DWORD now = GetTickCount();
    progress.totalBytes = 20ull << 20;
    progress.downloadedBytes = 10ull << 20;
    progress.startTick = now - 4000;
    progress.lastReportTick = (LONG)(now - 1000);
    ReportDownloadProgress(&progress);
    Posted posted = Drain();
    ASSERT_EQ(posted.percents, std::vector<int>({50}));
    ASSERT_EQ(posted.texts.size(), 1u);
    // 10 MiB over a little more than 4 s: 2.4 or 2.5 MB/s depending on the elapsed milliseconds.
    EXPECT_EQ(posted.texts[0].rfind(L"正在下载 50%，下载速度 2.", 0), 0u)
        << std::string(posted.texts[0].begin(), posted.texts[0].end());
    // The gate moved to the time of the text (it was 1000 ms back).
    EXPECT_LT(TickElapsed((DWORD)progress.lastReportTick, now), 1000u);

    // The same text reached the log.
    std::string log = ReadLog();
    std::string expectedUtf8(posted.texts[0].size() * 3 + 1, '\0');
    expectedUtf8.resize(WideCharToMultiByte(CP_UTF8, 0, posted.texts[0].c_str(), (int)posted.texts[0].size(),
                                            &expectedUtf8[0], (int)expectedUtf8.size(), nullptr, nullptr));
    EXPECT_NE(log.find(expectedUtf8), std::string::npos);

    // Straight after: percent again, no text, tick unchanged.
    LONG tick = progress.lastReportTick;
    progress.downloadedBytes = 15ull << 20;
    ReportDownloadProgress(&progress);
    posted = Drain();
    EXPECT_EQ(posted.percents, std::vector<int>({75}));
    EXPECT_TRUE(posted.texts.empty());
    EXPECT_EQ(progress.lastReportTick, tick);
}

TEST_F(ProgressWindowTest, ResumedBytesShowZeroSpeedAndClampedPercent) {
    DWORD now = GetTickCount();
    progress.totalBytes = 1000;
    progress.downloadedBytes = 1000;
    progress.baselineBytes = 1000;
    progress.startTick = now - 2000;
    progress.lastReportTick = (LONG)(now - 2000);
    ReportDownloadProgress(&progress);
    Posted posted = Drain();
    EXPECT_EQ(posted.percents, std::vector<int>({99}));
    ASSERT_EQ(posted.texts.size(), 1u);
    EXPECT_EQ(posted.texts[0], std::wstring(L"正在下载 99%，下载速度 0.0 MB/s"));
}

TEST_F(ProgressWindowTest, ConcurrentCallersMakeAtMostOneText) {
    DWORD now = GetTickCount();
    progress.totalBytes = 100;
    progress.downloadedBytes = 30;
    progress.startTick = now - 5000;
    progress.lastReportTick = (LONG)(now - 5000);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < 8) {
            }
            for (int k = 0; k < 20; ++k)
                ReportDownloadProgress(&progress);
        });
    for (auto& thread : threads)
        thread.join();
    Posted posted = Drain();
    EXPECT_EQ(posted.percents.size(), 160u);
    EXPECT_EQ(posted.texts.size(), 1u);
}

// ---- the segment worker without a server ----

class SegmentWorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        directory = std::wstring(temp) + L"tov-segment-test-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(directory.c_str(), nullptr);
        MemoryZero(&progress, sizeof(progress));
        MemoryZero(&segment, sizeof(segment));
        segment.progress = &progress;
        std::wstring part = directory + L"\\package.zip.partial.part3";
        CopyWide(segment.partPath, 260, part.c_str());
        DeleteFileW(segment.partPath);
    }
    void TearDown() override {
        DeleteFileW(segment.partPath);
        RemoveDirectoryW(directory.c_str());
    }
    void WritePart(size_t bytes) {
        HANDLE file = CreateFileW(segment.partPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        std::string data(bytes, 'x');
        DWORD written = 0;
        WriteFile(file, data.data(), (DWORD)data.size(), &written, nullptr);
        CloseHandle(file);
    }
    std::wstring directory;
    DownloadProgress progress;
    DownloadSegment segment;
};

TEST_F(SegmentWorkerTest, CompleteOrEmptySegmentsNeedNoRequest) {
    // An unusable URL proves that no request is made: any attempt would fail.
    CopyWide(segment.packageUrl, 2048, L"http://localhost:1/never");
    struct Case {
        UINT64 first, last;
        size_t onDisk;
        bool createsFile;
    };
    const Case cases[] = {{100, 149, 50, true}, {0, 0, 1, true}, {5, 4, 0, false}, {0, ~(UINT64)0, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        DeleteFileW(segment.partPath);
        if (c.onDisk)
            WritePart(c.onDisk);
        segment.firstByte = c.first;
        segment.lastByte = c.last;
        segment.done = 0;
        EXPECT_EQ(SegmentThreadProc(&segment), 0u);
        EXPECT_EQ(segment.done, 1);
        EXPECT_EQ(progress.failedFlag, 0);
        EXPECT_EQ(QueryFileSize(segment.partPath), c.createsFile ? (UINT64)c.onDisk : ~(UINT64)0);
    }
}

TEST_F(SegmentWorkerTest, StopFlagGivesUpAfterOneAttemptAndDropsAnOverlongPart) {
    CopyWide(segment.packageUrl, 2048, L"http://localhost:1/never");
    segment.firstByte = 0;
    segment.lastByte = 9;
    WritePart(11);
    progress.stopFlag = 1;
    DWORD start = GetTickCount();
    EXPECT_EQ(SegmentThreadProc(&segment), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_LT(GetTickCount() - start, 400u);
    EXPECT_EQ(segment.done, 0);
    EXPECT_EQ(segment.lastError, (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(progress.failedFlag, 1);
    EXPECT_EQ(QueryFileSize(segment.partPath), ~(UINT64)0);
    EXPECT_EQ(segment.discards, 2); // raised around the delete, so a reader of the part can tell
}

TEST_F(SegmentWorkerTest, ThreeFailedAttemptsWithGrowingPausesKeepThePart) {
    CopyWide(segment.packageUrl, 2048, L"http://localhost:1/never");
    segment.firstByte = 1000;
    segment.lastByte = 1999;
    WritePart(300);
    DWORD start = GetTickCount();
    EXPECT_EQ(SegmentThreadProc(&segment), (DWORD)ERROR_INVALID_PARAMETER);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 2900u); // 500 + 1000 + 1500 ms between and after the attempts
    EXPECT_LT(elapsed, 6000u);
    EXPECT_EQ(segment.done, 0);
    EXPECT_EQ(progress.failedFlag, 1);
    EXPECT_EQ(progress.stopFlag, 0);
    EXPECT_EQ(QueryFileSize(segment.partPath), 300u);
}

// ---- the merge's digest, taken while a writer plays the segment threads ----

void AppendBytes(const WCHAR* path, const std::string& bytes) {
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(file);
}

TEST_F(SegmentWorkerTest, PartsHashFollowsThePartsAsTheyAreWritten) {
    std::string package(8 * 300001 + 3, '\0'); // parts of two and more reads each
    for (size_t i = 0; i < package.size(); ++i)
        package[i] = (char)(i * 2654435761u >> 13);
    PackageHash reference;
    BYTE expected[32];
    ASSERT_TRUE(BeginPackageHash(&reference) &&
                AddPackageHashData(&reference, (const BYTE*)package.data(), (DWORD)package.size()) &&
                FinishPackageHash(&reference, expected));
    EndPackageHash(&reference);
    // {thrown, short}: segment file "thrown" is thrown away half-written with other bytes and written
    // again (a digest, if any, must be the final bytes'); segment file "short" stays short. Segment files
    // 5 (whole) and 0 (1000 bytes) are left by an earlier run; the writer finishes segment 2 before
    // segments 0 and 1.
    const int cases[][2] = {{-1, -1}, {0, -1}, {-1, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0] * 10 + c[1]);
        DownloadSegment segments[SEGMENT_COUNT];
        MemoryZero(segments, sizeof(segments));
        std::string parts[SEGMENT_COUNT];
        for (UINT32 i = 0; i < SEGMENT_COUNT; ++i) {
            SegmentBounds(package.size(), i, &segments[i].firstByte, &segments[i].lastByte);
            parts[i] = package.substr(segments[i].firstByte,
                                      SegmentLength(segments[i].firstByte, segments[i].lastByte));
            CopyWide(segments[i].partPath, 260, (directory + L"\\part" + std::to_wstring(i)).c_str());
            DeleteFileW(segments[i].partPath);
        }
        AppendBytes(segments[5].partPath, parts[5]);
        AppendBytes(segments[0].partPath, parts[0].substr(0, 1000));
        PartsHash follower;
        StartPartsHash(&follower, segments);
        for (int i : {0, 2, 1, 3, 4, 5, 6, 7}) {
            size_t have = i == 5 ? parts[5].size() : i == 0 ? 1000 : 0;
            if (i == c[0]) {
                AppendBytes(segments[i].partPath, std::string(150000, 'x'));
                Sleep(100); // the follower reads it meanwhile
                InterlockedIncrement(&segments[i].discards);
                DeleteFileW(segments[i].partPath);
                InterlockedIncrement(&segments[i].discards);
                have = 0;
            }
            size_t end = i == c[1] ? parts[i].size() / 2 : parts[i].size();
            for (size_t step = (end - have + 2) / 3; have < end; have += step, Sleep(10))
                AppendBytes(segments[i].partPath, parts[i].substr(have, std::min(step, end - have)));
            InterlockedExchange(&segments[i].done, end == parts[i].size());
        }
        EndPartsDownload(&follower);
        StreamedDigest digest;
        FinishPartsHash(&follower, &digest);
        EXPECT_TRUE(c[0] >= 0 || (digest.obtained != FALSE) == (c[1] < 0));
        if (digest.obtained) {
            EXPECT_TRUE(digest.bytes == package.size() && memcmp(digest.digest, expected, 32) == 0);
        }
        for (const DownloadSegment& segment : segments)
            DeleteFileW(segment.partPath);
    }
}

// ---- cache directory helpers ----

TEST(CacheDirectoryTest, EnsureDirectoryMakesEveryLevelAndRefusesAFile) {
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring root = std::wstring(temp) + L"tov-ensure-" + std::to_wstring(GetCurrentProcessId());
    std::wstring deep = root + L"\\a\\b\\c";
    EXPECT_TRUE(EnsureDirectory(deep.c_str()));
    EXPECT_TRUE(EnsureDirectory(deep.c_str()));
    DWORD attributes = GetFileAttributesW(deep.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);

    std::wstring file = root + L"\\plain.txt";
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    SetLastError(0);
    EXPECT_FALSE(EnsureDirectory(file.c_str()));
    DWORD code = GetLastError();
    EXPECT_NE(code, 0u);
    EXPECT_NE(code, (DWORD)ERROR_CANCELLED);

    DeleteFileW(file.c_str());
    RemoveDirectoryW(deep.c_str());
    RemoveDirectoryW((root + L"\\a\\b").c_str());
    RemoveDirectoryW((root + L"\\a").c_str());
    RemoveDirectoryW(root.c_str());
}

TEST(CacheDirectoryTest, DefaultCacheLivesInLocalAppData) {
    WCHAR cache[260];
    ASSERT_TRUE(GetDefaultCacheDir(cache));
    std::wstring path(cache);
    const std::wstring tail = L"\\TOVKinemoDownloader\\Cache";
    ASSERT_GT(path.size(), tail.size());
    EXPECT_EQ(path.substr(path.size() - tail.size()), tail);
    DWORD attributes = GetFileAttributesW(cache);
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace
