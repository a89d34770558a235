// Loading of the system libraries the executable does not import, and the process's DLL search.
#include <gtest/gtest.h>
#include <string>
#include "support/libraries.h"

namespace {

std::wstring SystemFolder() {
    WCHAR folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length);
}

std::wstring ModuleFolder(HMODULE module) {
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.rfind(L'\\'));
}

TEST(SystemLibraries, EveryTableResolvesFromTheSystemDirectory) {
    EXPECT_TRUE(LoadWinHttp());
    EXPECT_TRUE(LoadCrypt32());
    EXPECT_TRUE(LoadCommonControls());
    EXPECT_TRUE(LoadWinHttp()) << "loading again";
    for (const WCHAR* name : {L"winhttp.dll", L"crypt32.dll", L"comctl32.dll"})
        EXPECT_EQ(0, lstrcmpiW(SystemFolder().c_str(), ModuleFolder(GetModuleHandleW(name)).c_str())) << name;
    EXPECT_EQ((void*)GetProcAddress(GetModuleHandleW(L"winhttp.dll"), "WinHttpReadData"), (void*)winHttp.readData);
}

TEST(SystemLibraries, AMissingLibraryOrEntryFailsWithTheLoadersCode) {
    static const char* const good[] = {"WinHttpOpen"};
    static const char* const bad[] = {"WinHttpOpen", "WinHttpNoSuchEntry"};
    std::wstring longName(300, L'a');
    struct Case {
        const WCHAR* file;
        const char* const* names;
        UINT32 count;
        DWORD code; // 0: loads
    } cases[] = {
        {L"winhttp.dll", good, 1, 0},
        {L"winhttp.dll", bad, 2, ERROR_PROC_NOT_FOUND},
        {L"tovnosuchlibrary.dll", good, 1, ERROR_MOD_NOT_FOUND},
    };
    for (const Case& c : cases) {
        void* slots[2] = {};
        volatile LONG loaded = 0;
        SystemLibrary library = {c.file, c.names, c.count, slots, &loaded};
        SetLastError(0);
        EXPECT_EQ(c.code == 0, !!LoadSystemFunctions(&library)) << c.count;
        EXPECT_EQ(c.code, c.code ? GetLastError() : 0u) << c.count;
        EXPECT_EQ(c.code == 0 ? 1 : 0, loaded);
    }
    // The fallback for systems that refuse LOAD_LIBRARY_SEARCH_SYSTEM32: the full system path, or a fit
    // failure before any load.
    HMODULE module = LoadLibraryFromSystemDirectory(L"winhttp.dll");
    EXPECT_EQ(GetModuleHandleW(L"winhttp.dll"), module);
    EXPECT_EQ(nullptr, LoadLibraryFromSystemDirectory(longName.c_str()));
    EXPECT_EQ((DWORD)ERROR_FILENAME_EXCED_RANGE, GetLastError());
    EXPECT_EQ(nullptr, LoadLibraryFromSystemDirectory(L"tovnosuchlibrary.dll"));
    EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
}

// A look-alike in the current directory that would end this process with 97 when loaded.
TEST(RestrictDllSearch, TheCurrentDirectoryIsNoLongerSearched) {
    const char* build = getenv("TOV_BUILD_DIR");
    ASSERT_NE(nullptr, build);
    std::wstring plant = L"Z:" + std::wstring(build, build + strlen(build)) + L"\\tests\\plant\\winhttp.dll";
    for (WCHAR& c : plant)
        if (c == L'/')
            c = L'\\';
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    ASSERT_TRUE(SetCurrentDirectoryW(temp));
    ASSERT_TRUE(CopyFileW(plant.c_str(), L"tovsearchprobe.dll", FALSE)) << GetLastError();
    EXPECT_TRUE(RestrictDllSearch());
    EXPECT_EQ(nullptr, LoadLibraryW(L"tovsearchprobe.dll"));
    DeleteFileW(L"tovsearchprobe.dll");
}

} // namespace
