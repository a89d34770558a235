#include "trust_test_util.h"

#include <cstring>
#include <fstream>
#include <sstream>

namespace trusttest {

std::wstring WinPath(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path += c == '/' ? L'\\' : (wchar_t)(unsigned char)c;
    return path;
}

std::wstring DataPath(const char* name) {
    return WinPath(std::string(TOV_TRUST_DATA_DIR) + "/" + name);
}

std::string ReadData(const char* name) {
    std::ifstream in(std::string(TOV_TRUST_DATA_DIR) + "/" + name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

static std::wstring g_scratch;

static void RemoveScratch() {
    if (g_scratch.empty())
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((g_scratch + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring child = g_scratch + L"\\" + found.cFileName;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(child.c_str());
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(g_scratch.c_str());
}

std::wstring ScratchDir() {
    if (g_scratch.empty()) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        g_scratch = std::wstring(temp) + L"tov-trust-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(g_scratch.c_str(), nullptr);
        atexit(RemoveScratch);
    }
    return g_scratch;
}

std::wstring ScratchFile(const wchar_t* name, const std::string& content) {
    std::wstring path = ScratchDir() + L"\\" + name;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
        if (!content.empty())
            WriteFile(file, content.data(), (DWORD)content.size(), &written, nullptr);
        CloseHandle(file);
    }
    return path;
}

static char* GuardedEnd(void** base) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    char* pages = (char*)VirtualAlloc(nullptr, 2 * info.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old = 0;
    VirtualProtect(pages + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &old);
    *base = pages;
    return pages + info.dwPageSize;
}

GuardedRange PlaceBeforeGuard(const std::string& bytes) {
    GuardedRange range;
    char* end = GuardedEnd(&range.base);
    char* start = end - bytes.size();
    if (!bytes.empty())
        std::memcpy(start, bytes.data(), bytes.size());
    range.start = start;
    range.end = end;
    return range;
}

const wchar_t* PlaceWideBeforeGuard(const std::wstring& textWithTerminator, void** base) {
    char* end = GuardedEnd(base);
    size_t size = textWithTerminator.size() * sizeof(wchar_t);
    std::memcpy(end - size, textWithTerminator.data(), size);
    return (const wchar_t*)(end - size);
}

void ReleaseGuard(void* base) {
    VirtualFree(base, 0, MEM_RELEASE);
}

bool FollowedByGuard(const void* end) {
    MEMORY_BASIC_INFORMATION info;
    return VirtualQuery(end, &info, sizeof(info)) == sizeof(info) && info.Protect == PAGE_NOACCESS;
}

} // namespace trusttest
