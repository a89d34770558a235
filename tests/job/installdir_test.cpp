#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "job/job.h"

namespace {

std::wstring TestRoot() {
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"tov-installdir-test";
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

struct DirCase {
    const char* name;
    std::vector<std::wstring> files;       // created as empty files
    std::vector<std::wstring> directories; // created as directories
    bool exists;
    bool accepted;
    InstallKind kind;
};

TEST(CheckInstallDir, MarkerRules) {
    const DirCase cases[] = {
        {"missing directory", {}, {}, false, true, Fresh},
        {"empty directory", {}, {}, true, true, Fresh},
        {"only an empty subdirectory", {}, {L"sub"}, true, false, Fresh},
        {"one unrelated file", {L"notes.txt"}, {}, true, false, Fresh},
        {"kinemo pair with version", {L"TOVKinemo.exe", L"tovkinemo.root", L"current-version.txt", L"user.dat"}, {L"data"}, true, true, Upgrade},
        {"kinemo pair without version", {L"TOVKinemo.exe", L"tovkinemo.root"}, {}, true, false, Fresh},
        {"pikora pair with version", {L"PikoraSTM32F103.exe", L"pikora.root", L"current-version.txt"}, {}, true, true, Upgrade},
        {"mixed pair", {L"TOVKinemo.exe", L"pikora.root", L"current-version.txt"}, {}, true, false, Fresh},
        {"other mixed pair", {L"PikoraSTM32F103.exe", L"tovkinemo.root", L"current-version.txt"}, {}, true, false, Fresh},
        {"root marker is a directory", {L"TOVKinemo.exe", L"current-version.txt"}, {L"tovkinemo.root"}, true, false, Fresh},
        {"root marker directory but sibling pair", {L"TOVKinemo.exe", L"current-version.txt", L"PikoraSTM32F103.exe", L"pikora.root"}, {L"tovkinemo.root"}, true, true, Upgrade},
        {"version record is a directory", {L"TOVKinemo.exe", L"tovkinemo.root"}, {L"current-version.txt"}, true, false, Fresh},
        {"exe is a directory", {L"tovkinemo.root", L"current-version.txt"}, {L"TOVKinemo.exe"}, true, false, Fresh},
        {"unfinished fresh install", {L"tovkinemo.unfinished", L"TOVKinemo.exe", L"tovkinemo.root"}, {}, true, true, Fresh},
        {"unfinished fresh install that got far", {L"TOVKINEMO.UNFINISHED", L"TOVKinemo.exe", L"tovkinemo.root", L"current-version.txt"}, {L"Data"}, true, true, Fresh},
        {"unfinished mark is a directory", {L"notes.txt"}, {L"tovkinemo.unfinished"}, true, false, Fresh},
    };
    const std::wstring root = TestRoot();
    for (const DirCase& c : cases) {
        RemoveTree(root);
        if (c.exists) {
            ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
            for (const auto& d : c.directories) CreateDirectoryW((root + L"\\" + d).c_str(), nullptr);
            for (const auto& f : c.files) {
                HANDLE h = CreateFileW((root + L"\\" + f).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
                ASSERT_NE(INVALID_HANDLE_VALUE, h) << c.name;
                CloseHandle(h);
            }
        }
        InstallKind kind = (InstallKind)7;
        BOOL accepted = CheckInstallDir(nullptr, root.c_str(), &kind);
        EXPECT_EQ(c.accepted, accepted != FALSE) << c.name;
        if (c.accepted) {
            EXPECT_EQ(c.kind, kind) << c.name;
        }
    }
    RemoveTree(root);
}

TEST(CheckInstallDir, HiddenAndReadOnlyMarkersCountAsFiles) {
    const std::wstring root = TestRoot();
    RemoveTree(root);
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    const WCHAR* names[] = {L"TOVKinemo.exe", L"tovkinemo.root", L"current-version.txt"};
    DWORD attributes[] = {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_SYSTEM};
    for (int i = 0; i < 3; ++i) {
        std::wstring path = root + L"\\" + names[i];
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        CloseHandle(h);
        SetFileAttributesW(path.c_str(), attributes[i]);
    }
    InstallKind kind = Fresh;
    EXPECT_TRUE(CheckInstallDir(nullptr, root.c_str(), &kind));
    EXPECT_EQ(Upgrade, kind);
    RemoveTree(root);
}

TEST(CheckInstallDir, PathNamingAFileIsFresh) {
    const std::wstring root = TestRoot();
    RemoveTree(root);
    HANDLE h = CreateFileW(root.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    InstallKind kind = Upgrade;
    EXPECT_TRUE(CheckInstallDir(nullptr, root.c_str(), &kind));
    EXPECT_EQ(Fresh, kind);
    DeleteFileW(root.c_str());
}

// A scripted listing: entries to return, then the code of the failing FindNextFileW.
struct Script {
    std::vector<std::wstring> entries;
    DWORD firstError; // non-zero: FindFirstFileW fails with it
    DWORD endError;
    size_t next;
    int closes;
};
Script g_script;

HANDLE WINAPI ScriptFirst(LPCWSTR, LPWIN32_FIND_DATAW data) {
    if (g_script.firstError) {
        SetLastError(g_script.firstError);
        return INVALID_HANDLE_VALUE;
    }
    g_script.next = 0;
    wcscpy(data->cFileName, g_script.entries[g_script.next++].c_str());
    return (HANDLE)(INT_PTR)0x1234;
}
BOOL WINAPI ScriptNext(HANDLE, LPWIN32_FIND_DATAW data) {
    if (g_script.next >= g_script.entries.size()) {
        SetLastError(g_script.endError);
        return FALSE;
    }
    wcscpy(data->cFileName, g_script.entries[g_script.next++].c_str());
    return TRUE;
}
BOOL WINAPI ScriptClose(HANDLE) {
    ++g_script.closes;
    return TRUE;
}

struct ListingCase {
    const char* name;
    std::vector<std::wstring> entries;
    DWORD firstError, endError;
    bool empty;
    bool onlyMark; // nothing but the unfinished-install mark
    std::wstring directory = L"C:\\x";
};

TEST(ListingShowsEmpty, OnlyACompleteListingProvesEmptiness) {
    const ListingCase cases[] = {
        {"dots then end", {L".", L".."}, 0, ERROR_NO_MORE_FILES, true, true},
        {"listing breaks off after the dots", {L".", L".."}, 0, ERROR_ACCESS_DENIED, false, false},
        {"listing breaks off with a network error", {L"."}, 0, ERROR_NETNAME_DELETED, false, false},
        {"an entry", {L".", L"..", L"a"}, 0, ERROR_NO_MORE_FILES, false, false},
        {"a name that only starts with a dot", {L".", L"..", L"...x"}, 0, ERROR_NO_MORE_FILES, false, false},
        {"first fails with not found", {}, ERROR_FILE_NOT_FOUND, 0, true, true},
        {"first denied", {}, ERROR_ACCESS_DENIED, 0, false, false},
        {"only the mark", {L".", L"..", L"tovkinemo.unfinished"}, 0, ERROR_NO_MORE_FILES, false, true},
        {"the mark first, in capitals", {L"TOVKINEMO.UNFINISHED", L".", L".."}, 0, ERROR_NO_MORE_FILES, false, true},
        {"the mark and a file", {L".", L"tovkinemo.unfinished", L"TOVKinemo.exe"}, 0, ERROR_NO_MORE_FILES, false, false},
        {"the mark, then the listing breaks off", {L"tovkinemo.unfinished"}, 0, ERROR_ACCESS_DENIED, false, false},
        // "<dir>\\*" needs 261 units: cut to "<dir>\\" it would list nothing and seem empty.
        {"pattern does not fit", {}, ERROR_FILE_NOT_FOUND, 0, false, false, L"C:\\" + std::wstring(255, L'd')},
    };
    const DirectoryLister lister = {ScriptFirst, ScriptNext, ScriptClose};
    for (const ListingCase& c : cases) {
        g_script = Script{c.entries, c.firstError, c.endError, 0, 0};
        EXPECT_EQ(c.empty, ListingShowsEmpty(c.directory.c_str(), &lister) != FALSE) << c.name;
        EXPECT_EQ(c.firstError ? 0 : 1, g_script.closes) << c.name;
        g_script = Script{c.entries, c.firstError, c.endError, 0, 0};
        EXPECT_EQ(c.onlyMark, ListingShowsOnlyUnfinishedMark(c.directory.c_str(), &lister) != FALSE) << c.name;
    }
}

} // namespace
