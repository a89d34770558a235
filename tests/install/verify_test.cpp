// The install folder's checks against a table of contents: what the extraction left, files in use before
// it, and names that do not fit.
#include "install/contents.h"
#include "install_test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

const std::string BIG(2621440 + 7, 'b'); // more than two reads of the check

PayloadEntry Entry(const std::wstring& path, const std::string& data, bool folder = false) {
    PayloadEntry entry = {};
    CopyWide(entry.path, PATH_CAPACITY, path.c_str());
    entry.size = data.size();
    entry.crc32 = (UINT32)crc32(0, (const Bytef*)data.data(), (uInt)data.size());
    entry.folder = folder;
    return entry;
}

// An installed payload: three files, one empty, and nested folders.
std::wstring Installed(std::vector<PayloadEntry>* entries) {
    std::wstring work = FreshDir(L"verify");
    std::wstring dest = Join(work, L"dest");
    EXPECT_TRUE(MakeDirs(Join(dest, L"lib\\core")));
    EXPECT_TRUE(WriteBytes(Join(dest, L"lib\\core\\big.bin"), BIG));
    EXPECT_TRUE(WriteBytes(Join(dest, L"empty.txt"), ""));
    EXPECT_TRUE(WriteBytes(Join(dest, L"\u540d\u524d.txt"), "utf-8 name"));
    *entries = {Entry(L"lib", "", true), Entry(L"lib\\core", "", true), Entry(L"lib\\core\\big.bin", BIG),
                Entry(L"empty.txt", ""), Entry(L"\u540d\u524d.txt", "utf-8 name")};
    return dest;
}

BOOL Check(BOOL (*check)(const WCHAR*, const PayloadContents*), const std::wstring& dest,
           std::vector<PayloadEntry> entries, DWORD* code) {
    PayloadContents contents = {entries.data(), (UINT32)entries.size(), FALSE};
    SetLastError(0);
    BOOL ok = check(dest.c_str(), &contents);
    *code = GetLastError();
    return ok;
}

TEST(VerifyInstalled, EveryListedFileAndFolderMustBeThere) {
    const std::wstring longName(250, L'n');
    struct Case {
        const char* label;
        std::wstring write, data; // a file (re)written after the install; data "-" deletes it
        PayloadEntry extra;       // listed besides the payload (empty path: nothing)
        DWORD code;               // 0: the check passes
    } cases[] = {
        {"whole", L"", L"", {}, 0},
        {"a file cut to half", L"lib\\core\\big.bin", L"half", {}, ERROR_INSTALL_FAILURE},
        {"same size, other bytes", L"\u540d\u524d.txt", L"UTF-8 name", {}, ERROR_INSTALL_FAILURE},
        {"a file missing", L"empty.txt", L"-", {}, ERROR_INSTALL_FAILURE},
        {"a listed folder missing", L"", L"", Entry(L"lib\\gone", "", true), ERROR_INSTALL_FAILURE},
        {"a listed file is a folder", L"", L"", Entry(L"lib\\core", ""), ERROR_INSTALL_FAILURE},
        {"a path that does not fit", L"", L"", Entry(longName, ""), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<PayloadEntry> entries;
        std::wstring dest = Installed(&entries);
        if (c.data == L"-") {
            ASSERT_TRUE(DeleteFileW(Join(dest, c.write).c_str()));
        } else if (!c.write.empty()) {
            ASSERT_TRUE(WriteBytes(Join(dest, c.write),
                                   c.data == L"half" ? BIG.substr(BIG.size() / 2) : WideToUtf8(c.data)));
        }
        if (c.extra.path[0])
            entries.push_back(c.extra);
        DWORD code = 0;
        EXPECT_EQ(Check(CheckPayloadInstalled, dest, entries, &code), c.code == 0);
        if (c.code) {
            EXPECT_EQ(code, c.code);
        }
    }
}

FILETIME WriteTime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

TEST(VerifyReplaceable, OnlyAListedFileInUseStopsTheExtraction) {
    struct Case {
        const char* label;
        const wchar_t* held; // opened without sharing by this test for the check (relative to dest)
        PayloadEntry extra;
        DWORD code;
    } cases[] = {
        {"nothing in use", nullptr, {}, 0},
        {"a listed file in use", L"lib\\core\\big.bin", {}, ERROR_SHARING_VIOLATION},
        {"an unlisted file in use", L"notes.txt", {}, 0},
        {"not there yet", nullptr, Entry(L"new\\file.bin", "x"), 0},
        {"a path that does not fit", L"lib\\core\\big.bin", Entry(std::wstring(250, L'n'), ""),
         ERROR_FILENAME_EXCED_RANGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<PayloadEntry> entries;
        std::wstring dest = Installed(&entries);
        ASSERT_TRUE(WriteBytes(Join(dest, L"notes.txt"), "mine"));
        if (c.extra.path[0])
            entries.push_back(c.extra);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.held) {
            held =
                CreateFileW(Join(dest, c.held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        FILETIME before = WriteTime(Join(dest, L"lib\\core\\big.bin"));
        DWORD code = 0;
        EXPECT_EQ(Check(CheckPayloadReplaceable, dest, entries, &code), c.code == 0);
        if (c.code) {
            EXPECT_EQ(code, c.code);
        }
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        FILETIME after = WriteTime(Join(dest, L"lib\\core\\big.bin"));
        EXPECT_EQ(CompareFileTime(&before, &after), 0) << "the check changes no time";
        std::string bytes;
        EXPECT_TRUE(ReadBytes(Join(dest, L"lib\\core\\big.bin"), &bytes) && bytes == BIG);
    }
}

} // namespace
