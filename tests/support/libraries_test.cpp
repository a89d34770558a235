// Loading of the system libraries the executable does not import, and the process's DLL search. That
// every table resolves in the real libraries is shown by every end-to-end run.
#include <gtest/gtest.h>
#include <string>
#include "support/libraries.h"

TEST(SystemLibraries, AMissingLibraryOrEntryFailsWithTheLoadersCode) {
    static const char* const good[] = {"WinHttpOpen"};
    static const char* const bad[] = {"WinHttpOpen", "WinHttpNoSuchEntry"};
    struct Case {
        const WCHAR* file;
        const char* const* names;
        UINT32 count;
        DWORD code; // 0: loads
    } cases[] = {{L"winhttp.dll", good, 1, 0},
                 {L"winhttp.dll", bad, 2, ERROR_PROC_NOT_FOUND},
                 {L"tovnosuchlibrary.dll", good, 1, ERROR_MOD_NOT_FOUND}};
    for (const Case& c : cases) {
        void* slots[2] = {};
        volatile LONG loaded = 0;
        SystemLibrary library = {c.file, c.names, c.count, slots, &loaded};
        EXPECT_EQ(c.code == 0, !!LoadSystemFunctions(&library)) << c.count;
        EXPECT_EQ(c.code, c.code ? GetLastError() : 0u) << c.count;
        EXPECT_EQ(c.code == 0 ? 1 : 0, loaded);
    }
    // Where LOAD_LIBRARY_SEARCH_SYSTEM32 is refused: the full system path, or a fit failure before any load.
    EXPECT_EQ(GetModuleHandleW(L"winhttp.dll"), LoadLibraryFromSystemDirectory(L"winhttp.dll"));
    EXPECT_EQ(nullptr, LoadLibraryFromSystemDirectory(std::wstring(300, L'a').c_str()));
    EXPECT_EQ((DWORD)ERROR_FILENAME_EXCED_RANGE, GetLastError());
}

// A look-alike in the current directory that would end this process with 97 when loaded.
TEST(RestrictDllSearch, TheCurrentDirectoryIsNoLongerSearched) {
    const char* build = getenv("TOV_BUILD_DIR");
    ASSERT_NE(nullptr, build);
    std::wstring plant = L"Z:" + std::wstring(build, build + strlen(build)) + L"/tests/plant/winhttp.dll";
    for (WCHAR& c : plant)
        c = c == L'/' ? L'\\' : c;
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    ASSERT_TRUE(SetCurrentDirectoryW(temp));
    ASSERT_TRUE(CopyFileW(plant.c_str(), L"tovsearchprobe.dll", FALSE)) << GetLastError();
    EXPECT_TRUE(RestrictDllSearch());
    EXPECT_EQ(nullptr, LoadLibraryW(L"tovsearchprobe.dll"));
    DeleteFileW(L"tovsearchprobe.dll");
}
