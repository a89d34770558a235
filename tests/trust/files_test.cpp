// Local files: the whole-file read with its 4 MiB limit, and the 64-bit size query.
#include "download/download.h"
#include "trust_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct ReadCase {
    const char* name;
    size_t size; // bytes of the file written
    bool read;
};

class ReadFileCases : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadFileCases, ReadsUpToTheLimit) {
    const ReadCase& c = GetParam();
    std::string content(c.size, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = (char)(i * 7 + i / 4096);
    std::wstring path = trusttest::ScratchFile(L"read.bin", content);
    BYTE* buffer = (BYTE*)1;
    UINT32 length = 77;
    SetLastError(0);
    BOOL read = ReadFileToBuffer(path.c_str(), &buffer, &length);
    ASSERT_EQ(read != FALSE, c.read);
    if (read) {
        ASSERT_EQ(length, c.size);
        EXPECT_EQ(memcmp(buffer, content.data(), c.size), 0);
        EXPECT_EQ(buffer[c.size], 0);
        HeapFree(GetProcessHeap(), 0, buffer);
    } else {
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_INVALID);
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(length, 0u);
    }
}

const ReadCase READ_CASES[] = {
    {"Empty", 0, true},
    {"Small", 5, true},
    {"Exactly4MiB", 4194304, true},
    {"Above4MiB", 4194305, false},
};

INSTANTIATE_TEST_SUITE_P(Sizes, ReadFileCases, ::testing::ValuesIn(READ_CASES),
                         [](const ::testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

TEST(ReadFileToBuffer, UnreadableAttributesGiveFileInvalid) {
    const std::wstring paths[] = {trusttest::ScratchDir() + L"\\missing.json", L"", L"Q:\\nowhere\\x.json"};
    for (const std::wstring& path : paths) {
        BYTE* buffer = (BYTE*)1;
        UINT32 length = 5;
        EXPECT_FALSE(ReadFileToBuffer(path.c_str(), &buffer, &length));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_INVALID);
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(length, 0u);
    }
}

TEST(ReadFileToBuffer, OpenFailureKeepsThePlatformCode) {
    std::wstring path = trusttest::ScratchFile(L"locked.json", "{}");
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    BYTE* buffer = (BYTE*)1;
    UINT32 length = 5;
    EXPECT_FALSE(ReadFileToBuffer(path.c_str(), &buffer, &length));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, 0u);
    CloseHandle(holder);

    std::wstring dir = trusttest::ScratchDir() + L"\\folder.json";
    CreateDirectoryW(dir.c_str(), nullptr);
    EXPECT_FALSE(ReadFileToBuffer(dir.c_str(), &buffer, &length));
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(buffer, nullptr);
    RemoveDirectoryW(dir.c_str());
}

TEST(QueryFileSize, ReportsSizeOrAllOnes) {
    EXPECT_EQ(QueryFileSize(trusttest::ScratchFile(L"five.bin", "12345").c_str()), 5u);
    EXPECT_EQ(QueryFileSize(trusttest::ScratchFile(L"zero.bin", "").c_str()), 0u);
    EXPECT_EQ(QueryFileSize((trusttest::ScratchDir() + L"\\missing.bin").c_str()), ~0ull);
    EXPECT_EQ(QueryFileSize(L""), ~0ull);
    EXPECT_EQ(QueryFileSize(trusttest::ScratchDir().c_str()), 0u);
}

TEST(QueryFileSize, SizesAbove4GiB) {
    // A sparse file: the size needs the high word.
    std::wstring path = trusttest::ScratchFile(L"large.bin", "");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = 0x100000003ll;
    ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file));
    CloseHandle(file);
    EXPECT_EQ(QueryFileSize(path.c_str()), 0x100000003ull);
    // Far above the read limit, whatever the low word says.
    BYTE* buffer = nullptr;
    UINT32 length = 0;
    EXPECT_FALSE(ReadFileToBuffer(path.c_str(), &buffer, &length));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_INVALID);
    DeleteFileW(path.c_str());
}

} // namespace
