// The install folder's checks against a table of contents, for what the end-to-end rows do not reach:
// folders, files in use that the package does not list, and names that do not fit.
#include "install/contents.h"
#include "install_test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

PayloadEntry Entry(const std::wstring& path, const std::string& data, bool folder = false) {
    PayloadEntry entry = {};
    CopyWide(entry.path, PATH_CAPACITY, path.c_str());
    entry.size = data.size();
    entry.crc32 = (UINT32)crc32(0, (const Bytef*)data.data(), (uInt)data.size());
    entry.folder = folder;
    return entry;
}

FILETIME WriteTime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

TEST(Verify, FoldersFilesInUseAndNamesThatDoNotFit) {
    const std::string big(2621440 + 7, 'b'); // more than two reads of the check
    struct Case {
        const char* label;
        bool installed;      // CheckPayloadInstalled, else CheckPayloadReplaceable
        const wchar_t* held; // opened without sharing by this test during the check
        PayloadEntry extra;  // listed besides the payload
        DWORD code;          // 0: the check passes
    } cases[] = {
        {"installed whole", true, nullptr, Entry(L"empty.txt", ""), 0},
        {"a listed folder missing", true, nullptr, Entry(L"lib\\gone", "", true), ERROR_INSTALL_FAILURE},
        {"a listed file is a folder", true, nullptr, Entry(L"lib\\core", ""), ERROR_INSTALL_FAILURE},
        {"a name that does not fit", true, nullptr, Entry(std::wstring(250, L'n'), ""),
         ERROR_FILENAME_EXCED_RANGE},
        {"nothing in use", false, nullptr, Entry(L"new\\file.bin", "x"), 0},
        {"an unlisted file in use", false, L"notes.txt", Entry(L"empty.txt", ""), 0},
        {"a listed file in use", false, L"lib\\core\\big.bin", Entry(L"empty.txt", ""),
         ERROR_SHARING_VIOLATION},
        {"a name that does not fit, before any file is opened", false, L"lib\\core\\big.bin",
         Entry(std::wstring(250, L'n'), ""), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::wstring dest = Join(FreshDir(L"verify"), L"dest");
        ASSERT_TRUE(MakeDirs(Join(dest, L"lib\\core")));
        ASSERT_TRUE(WriteBytes(Join(dest, L"lib\\core\\big.bin"), big));
        ASSERT_TRUE(WriteBytes(Join(dest, L"empty.txt"), "") && WriteBytes(Join(dest, L"notes.txt"), "mine"));
        std::vector<PayloadEntry> entries = {Entry(L"lib", "", true), Entry(L"lib\\core", "", true),
                                             Entry(L"lib\\core\\big.bin", big), c.extra};
        HANDLE held = c.held ? CreateFileW(Join(dest, c.held).c_str(), GENERIC_READ, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr)
                             : nullptr;
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        FILETIME before = WriteTime(Join(dest, L"lib\\core\\big.bin"));
        PayloadContents contents = {entries.data(), (UINT32)entries.size(), FALSE};
        SetLastError(0);
        BOOL ok = (c.installed ? CheckPayloadInstalled : CheckPayloadReplaceable)(dest.c_str(), &contents);
        DWORD code = GetLastError();
        if (held)
            CloseHandle(held);
        EXPECT_EQ(ok != FALSE, c.code == 0);
        EXPECT_EQ(ok ? 0u : code, c.code);
        FILETIME after = WriteTime(Join(dest, L"lib\\core\\big.bin"));
        EXPECT_EQ(CompareFileTime(&before, &after), 0) << "the check changes no time";
    }
}

} // namespace
