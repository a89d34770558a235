#include <gtest/gtest.h>
#include <string>
#include <thread>
#include "support/support.h"

namespace {

std::wstring Format(UINT32 capacity, const WCHAR* format, ...) {
    WCHAR buffer[256];
    for (auto& c : buffer) c = L'#';
    va_list arguments;
    va_start(arguments, format);
    FormatTextV(buffer, capacity, format, arguments);
    va_end(arguments);
    return buffer;
}

struct Case {
    const char* name;
    std::wstring got;
    std::wstring expected;
};

TEST(FormatText, DirectivesAndPadding) {
    const INT64 most_negative = INT64_MIN;
    const Case cases[] = {
        {"plain", Format(64, L"abc"), L"abc"},
        {"%05d negative", Format(64, L"%05d", -42), L"-0042"},
        {"%5d negative", Format(64, L"%5d", -42), L"  -42"},
        {"%02u small", Format(64, L"%02u", 7u), L"07"},
        {"%02u wider", Format(64, L"%02u", 123u), L"123"},
        {"%04u", Format(64, L"%04u", 7u), L"0007"},
        {"%004u is zero pad width 4", Format(64, L"%004u", 7u), L"0007"},
        {"%u max 32", Format(64, L"%u", 0xFFFFFFFFu), L"4294967295"},
        {"%llu max 64", Format(64, L"%llu", UINT64_MAX), L"18446744073709551615"},
        {"%lld min 64", Format(64, L"%lld", most_negative), L"-9223372036854775808"},
        {"%d min 32", Format(64, L"%d", INT32_MIN), L"-2147483648"},
        {"%lu is 32-bit", Format(64, L"%lu|%lu", 1u, 2u), L"1|2"},
        {"%ld is %d", Format(64, L"%ld", -5), L"-5"},
        {"%d zero", Format(64, L"%d", 0), L"0"},
        {"%% literal", Format(64, L"100%%"), L"100%"},
        {"unsupported takes no argument", Format(64, L"%x|%d", 5), L"|5"},
        {"%c and %f write nothing", Format(64, L"a%cb%fc%d", 9), L"abc9"},
        {"%5% writes nothing", Format(64, L"a%5%b%0%c"), L"abc"},
        {"%5s never pads", Format(64, L"[%5s]", L"ab"), L"[ab]"},
        {"%ls is %s", Format(64, L"%ls", L"w"), L"w"},
        {"%s null", Format(64, L"%s", (const WCHAR*)nullptr), L"(null)"},
        {"%S null", Format(64, L"%S", (const char*)nullptr), L"(null)"},
        {"%S widens bytes", Format(64, L"%S", "\xC3\xA9"), std::wstring{L'\x00C3', L'\x00A9'}},
        {"%S ascii", Format(64, L"v%S", "2.1.0"), L"v2.1.0"},
        {"speed text", Format(160, L"正在下载 %d%%，下载速度 %llu.%llu MB/s", 50, 2ull, 5ull),
         L"正在下载 50%，下载速度 2.5 MB/s"},
        {"range header", Format(128, L"Range: bytes=%llu-%llu\r\n", 12ull, 24ull), L"Range: bytes=12-24\r\n"},
        {"part name", Format(260, L"%s.part%d", L"p.zip.partial", 7), L"p.zip.partial.part7"},
        {"unfinished directive at end", Format(64, L"ab%05"), L"ab"},
        {"lone percent at end", Format(64, L"ab%"), L"ab"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, c.got) << c.name;
}

TEST(FormatText, TruncationKeepsTerminatorAndArgumentOrder) {
    const Case cases[] = {
        {"capacity 1 is empty", Format(1, L"%d abc", 5), L""},
        {"capacity 4 keeps three letters", Format(4, L"abcdef"), L"abc"},
        {"%% with one unit left writes nothing", Format(3, L"ab%%"), L"ab"},
        {"number cut by capacity", Format(4, L"%u", 123456u), L"123"},
        {"text cut", Format(5, L"%s", L"abcdefgh"), L"abcd"},
        // After the cut, directives still take their arguments in order: nothing shifts.
        {"arguments consumed after cut", Format(3, L"%s%d%s", L"abcdef", 7, L"x"), L"ab"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, c.got) << c.name;

}

TEST(ComposePath, FitsWholeOrFailsEmpty) {
    struct {
        UINT32 capacity;
        const WCHAR* name;
        BOOL fits;
    } cases[] = {{9, L"abcdefgh", TRUE}, {8, L"abcdefgh", FALSE}, {1, L"", TRUE}, {1, L"a", FALSE}};
    for (const auto& c : cases) {
        WCHAR path[16];
        SetLastError(0);
        BOOL fits = ComposePath(path, c.capacity, L"%s", c.name);
        EXPECT_EQ(c.fits, fits) << c.capacity;
        EXPECT_EQ(std::wstring(c.fits ? c.name : L""), path) << c.capacity;
        EXPECT_EQ(c.fits ? 0u : (DWORD)ERROR_FILENAME_EXCED_RANGE, GetLastError()) << c.capacity;
    }
}

TEST(RunLock, NameFromTheFullPathAsTheFileSystemComparesIt) {
    WCHAR a[RUN_LOCK_NAME_CAPACITY], b[RUN_LOCK_NAME_CAPACITY];
    struct {
        const WCHAR *first, *second;
        bool same;
    } pairs[] = {{L"C:\\Cache\\package-2.1.0-win10.zip", L"c:\\CACHE\\Package-2.1.0-WIN10.ZIP", true},
                 {L"C:\\Install\\TOV", L"C:\\Install\\TOV\\", true},
                 {L"C:\\Install\\TOV", L"C:/Install/TOV", true},
                 {L"C:\\Install\\Ä", L"C:\\Install\\ä", true},
                 {L"C:\\Install\\TOV", L"C:\\Install\\TOV2", false},
                 {L"C:\\Install\\ab", L"C:\\Install\\ba", false},
                 {L"C:\\a\\b", L"C:\\a\\c", false}};
    for (const auto& pair : pairs) {
        RunLockName(a, RUN_LOCK_NAME_CAPACITY, L"install", pair.first);
        RunLockName(b, RUN_LOCK_NAME_CAPACITY, L"install", pair.second);
        EXPECT_EQ(pair.same, std::wstring(a) == std::wstring(b)) << a << L" " << b;
    }
    RunLockName(a, RUN_LOCK_NAME_CAPACITY, L"install", L"C:\\Install\\TOV");
    RunLockName(b, RUN_LOCK_NAME_CAPACITY, L"cache", L"C:\\Install\\TOV");
    EXPECT_NE(std::wstring(a), std::wstring(b));
    // Only the namespace's backslash: kernel object names allow no other.
    std::wstring name(a);
    EXPECT_EQ(0u, name.find(L"Local\\TOVKinemoDownloader.install."));
    EXPECT_EQ(std::wstring::npos, name.find(L'\\', 6));
    EXPECT_TRUE(RunLockWaitAcquired(WAIT_OBJECT_0) && RunLockWaitAcquired(WAIT_ABANDONED));
    EXPECT_FALSE(RunLockWaitAcquired(WAIT_TIMEOUT) || RunLockWaitAcquired(WAIT_FAILED));
}

TEST(HeldFileRetries, RenameAndDeleteWaitForAShortHold) {
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring from = std::wstring(temp) + L"tov-held-from.bin", to = std::wstring(temp) + L"tov-held-to.bin";
    for (const std::wstring& path : {from, to}) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        CloseHandle(file);
    }
    // The target, then the renamed file, held without sharing for 300 ms each.
    for (int step = 0; step < 2; ++step) {
        HANDLE held = CreateFileW(to.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        std::thread release([held] {
            Sleep(300);
            CloseHandle(held);
        });
        BOOL done = step == 0 ? MoveFileWhileHeld(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)
                              : DeleteFileWhileHeld(to.c_str());
        DWORD code = GetLastError();
        release.join();
        EXPECT_TRUE(done) << step << " " << code;
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(to.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(from.c_str()));
}

TEST(FormatText, CapacityZeroWritesNothing) {
    WCHAR buffer[4] = {L'x', L'y', L'z', 0};
    FormatText(buffer, 0, L"abc");
    EXPECT_EQ(std::wstring(L"xyz"), buffer);
}

TEST(FormatText, NeverWritesPastCapacity) {
    WCHAR buffer[16];
    for (auto& c : buffer) c = L'#';
    FormatText(buffer, 8, L"%s and more text %llu", L"0123456789", 1234567890123ull);
    EXPECT_EQ(std::wstring(L"0123456"), buffer);
    for (int i = 8; i < 16; ++i) EXPECT_EQ(L'#', buffer[i]) << i;
}

} // namespace
