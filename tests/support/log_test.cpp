#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>
#include "support/support.h"

namespace {

std::wstring LogPath() {
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"TOVKinemoDownloader.log";
}

std::string ReadAll(const std::wstring& path) {
    std::string data;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return data;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, got);
    fclose(f);
    return data;
}

class LogFile : public ::testing::Test {
  protected:
    void SetUp() override { DeleteFileW(LogPath().c_str()); }
    void TearDown() override { DeleteFileW(LogPath().c_str()); }
};

bool HasTimestampForm(const std::string& entry) {
    // "YYYY-MM-DD HH:MM:SS "
    if (entry.size() < 20) return false;
    const char* form = "dddd-dd-dd dd:dd:dd ";
    for (int i = 0; i < 20; ++i) {
        if (form[i] == 'd' ? !isdigit((unsigned char)entry[i]) : entry[i] != form[i]) return false;
    }
    return true;
}

TEST_F(LogFile, EntriesAreUtf8WithTimestampAndCrLf) {
    AppendLog(L"安装完成。");
    AppendLog(L"second");
    std::string data = ReadAll(LogPath());
    ASSERT_FALSE(data.empty());
    size_t first_end = data.find("\r\n");
    ASSERT_NE(std::string::npos, first_end);
    std::string first = data.substr(0, first_end);
    ASSERT_TRUE(HasTimestampForm(first)) << first;
    // Each of the five characters takes three bytes in UTF-8.
    EXPECT_EQ("\xE5\xAE\x89\xE8\xA3\x85\xE5\xAE\x8C\xE6\x88\x90\xE3\x80\x82", first.substr(20));
    std::string second = data.substr(first_end + 2);
    ASSERT_TRUE(HasTimestampForm(second));
    EXPECT_EQ("second\r\n", second.substr(20));
    EXPECT_EQ(std::string::npos, data.find("\xEF\xBB\xBF")) << "no byte-order mark";
}

TEST_F(LogFile, LineFeedInsideTextIsKeptAndAppendOnly) {
    AppendLog(L"a\nb");
    std::string once = ReadAll(LogPath());
    EXPECT_EQ("a\nb\r\n", once.substr(20));
    AppendLog(L"c");
    std::string twice = ReadAll(LogPath());
    EXPECT_EQ(once, twice.substr(0, once.size())) << "earlier entries stay as they were";
}

TEST_F(LogFile, OverlongEntryIsCutWithoutCrLf) {
    std::wstring longText(3000, L'x');
    AppendLog(longText.c_str());
    std::string data = ReadAll(LogPath());
    EXPECT_EQ(2047u, data.size()) << "entry cut to 2047 units";
    EXPECT_NE("\r\n", data.substr(data.size() - 2));
}

TEST_F(LogFile, TemporaryFolderTooLongForTheNameLosesTheEntry) {
    // 236 units + "TOVKinemoDownloader.log" fits exactly; at 237 the name would be cut.
    const std::wstring saved = LogPath().substr(0, LogPath().size() - 23);
    for (size_t length : {236, 237}) {
        std::wstring folder = saved + L"tov-long-temp";
        CreateDirectoryW(folder.c_str(), nullptr);
        // Parts of at most 60 units, none empty whatever the temporary folder's own length.
        while (folder.size() + 1 < length) {
            size_t room = length - folder.size() - 2;
            folder += L"\\" + std::wstring(room == 61 ? 59 : std::min<size_t>(60, room), L't');
            CreateDirectoryW(folder.c_str(), nullptr);
        }
        folder += L"\\";
        ASSERT_EQ(length, folder.size());
        SetEnvironmentVariableW(L"TMP", folder.c_str());
        AppendLog(L"entry");
        SetEnvironmentVariableW(L"TMP", saved.c_str());
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"TOV*").c_str(), &found);
        EXPECT_EQ(length == 236, search != INVALID_HANDLE_VALUE) << length;
        if (search != INVALID_HANDLE_VALUE) {
            EXPECT_STREQ(L"TOVKinemoDownloader.log", found.cFileName);
            FindClose(search);
        }
        DeleteFileW((folder + L"TOVKinemoDownloader.log").c_str());
    }
}

TEST_F(LogFile, ConcurrentEntriesLandWhole) {
    const int threads = 4, per_thread = 50;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i) {
                WCHAR text[64];
                FormatText(text, 64, L"thread %d entry %d 正在下载", t, i);
                AppendLog(text);
            }
        });
    for (auto& w : workers) w.join();
    std::string data = ReadAll(LogPath());
    int count = 0;
    size_t start = 0;
    for (size_t end; (end = data.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string entry = data.substr(start, end - start);
        ASSERT_TRUE(HasTimestampForm(entry)) << entry;
        EXPECT_EQ(0u, entry.find("thread ", 20) - 20) << entry;
        ++count;
    }
    EXPECT_EQ(threads * per_thread, count);
    EXPECT_EQ(data.size(), start);
}

TEST(LogEntry, TimestampIsZeroPadded) {
    SYSTEMTIME t = {};
    t.wYear = 987;
    t.wMonth = 1;
    t.wDay = 2;
    t.wHour = 3;
    t.wMinute = 4;
    t.wSecond = 5;
    WCHAR entry[LOG_ENTRY_CAPACITY];
    BuildLogEntry(entry, LOG_ENTRY_CAPACITY, &t, L"x");
    EXPECT_EQ(std::wstring(L"0987-01-02 03:04:05 x\r\n"), entry);
}

struct ErrorCase {
    const char* name;
    const WCHAR* description; // null: no system description
    const WCHAR* expected;
};

TEST(ErrorText, BothFormsAndStripping) {
    const ErrorCase cases[] = {
        {"no description", nullptr, L"首次下载失败（错误 3758161921）"},
        {"full stop kept, CR LF stripped", L"Access denied.\r\n", L"首次下载失败（错误 3758161921：Access denied.）"},
        {"only breaks and spaces", L"\r\n \n", L"首次下载失败（错误 3758161921：）"},
        {"inner break kept", L"a\nb ", L"首次下载失败（错误 3758161921：a\nb）"},
    };
    for (const ErrorCase& c : cases) {
        WCHAR description[ERROR_DESCRIPTION_CAPACITY] = {};
        if (c.description) CopyWide(description, ERROR_DESCRIPTION_CAPACITY, c.description);
        StripTrailingBreaks(description);
        WCHAR out[ERROR_TEXT_CAPACITY];
        ComposeErrorText(out, L"首次下载失败", ERROR_MANIFEST_SIGNATURE, description, c.description != nullptr);
        EXPECT_EQ(std::wstring(c.expected), out) << c.name;
    }
}

TEST(ErrorText, SystemCodesAndPrivateCode) {
    WCHAR out[ERROR_TEXT_CAPACITY];
    FormatErrorText(out, L"首次下载失败", ERROR_MANIFEST_SIGNATURE);
    EXPECT_EQ(std::wstring(L"首次下载失败（错误 3758161921）"), out);

    FormatErrorText(out, L"下载或安装失败", ERROR_DIR_NOT_EMPTY);
    std::wstring text = out;
    EXPECT_EQ(0u, text.find(L"下载或安装失败（错误 145："));
    EXPECT_EQ(L'）', text.back());
    EXPECT_EQ(std::wstring::npos, text.find(L"\r\n）"));
    EXPECT_NE(L' ', text[text.size() - 2]);
}

TEST(ErrorText, LongTextCutAtCapacity) {
    std::wstring prefix(800, L'p');
    WCHAR out[ERROR_TEXT_CAPACITY + 8];
    for (auto& c : out) c = L'#';
    FormatErrorText(out, prefix.c_str(), 5);
    EXPECT_EQ(ERROR_TEXT_CAPACITY - 1, wcslen(out));
    EXPECT_EQ(L'#', out[ERROR_TEXT_CAPACITY]);
}

TEST(CrashTrace, LineExitCodeAndDumpNames) {
    struct {
        DWORD code;
        UINT64 address;
        const WCHAR* line;
        DWORD exitCode;
    } lines[] = {
        {0xC000001D, 0x140002050, L"程序意外终止（异常 0xC000001D，位置 TOVKinemoDownloader.exe+0x2050）",
         0xC000001D},
        {0xC0000005, 0x140000000, L"程序意外终止（异常 0xC0000005，位置 TOVKinemoDownloader.exe+0x0）",
         0xC0000005},
        {0x80000003, 0x140020000, L"程序意外终止（异常 0x80000003，位置 0x0000000140020000）", 0x80000003},
        {1, 0x7FFB00001234, L"程序意外终止（异常 0x00000001，位置 0x00007FFB00001234）",
         UNHANDLED_EXCEPTION_CODE},
        {0, 0x13FFFFFFF, L"程序意外终止（异常 0x00000000，位置 0x000000013FFFFFFF）",
         UNHANDLED_EXCEPTION_CODE},
    };
    for (const auto& c : lines) {
        WCHAR line[ERROR_TEXT_CAPACITY];
        ComposeCrashLine(line, ERROR_TEXT_CAPACITY, c.code, c.address, 0x140000000, 0x20000);
        EXPECT_EQ(std::wstring(c.line), line);
        EXPECT_EQ(c.exitCode, CrashExitCode(c.code)) << c.code;
    }
    SYSTEMTIME time = {};
    time.wYear = 2026, time.wMonth = 1, time.wDay = 2, time.wHour = 3, time.wMinute = 4, time.wSecond = 5;
    WCHAR path[PATH_CAPACITY];
    ASSERT_TRUE(ComposeDumpPath(path, PATH_CAPACITY, L"C:\\Temp\\", &time, 4242));
    EXPECT_EQ(std::wstring(L"C:\\Temp\\TOVKinemoDownloader-20260102-030405-4242.dmp"), path);
    EXPECT_TRUE(IsDumpName(path + 8));
    // Only the names the program makes are ever removed.
    for (const WCHAR* other :
         {L"TOVKinemoDownloader-notes.dmp", L"TOVKinemoDownloader-2026010-030405-1.dmp",
          L"TOVKinemoDownloader-20260102-030405-.dmp", L"TOVKinemoDownloader-20260102-030405-1.dmp.txt",
          L"tovkinemodownloader-20260102-030405-1.dmp", L"TOVKinemoDownloader.log"})
        EXPECT_FALSE(IsDumpName(other)) << std::wstring(other).size();
}

} // namespace
