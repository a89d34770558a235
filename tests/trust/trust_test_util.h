// Helpers shared by the trust tests: the generated data directory, files in a scratch directory
// of the Wine prefix, and byte ranges that end right before an inaccessible page.
#pragma once

#include <windows.h>

#include <string>

namespace trusttest {

// A Unix path of the build tree as Wine sees it (drive Z: is the Unix root).
std::wstring WinPath(const std::string& unixPath);
// A file of the generated trust data (signatures, packages, their digests).
std::wstring DataPath(const char* name);
std::string ReadData(const char* name);
// A fresh scratch directory of this test program, removed again at exit.
std::wstring ScratchDir();
std::wstring ScratchFile(const wchar_t* name, const std::string& content);

// Two pages, the second one PAGE_NOACCESS; the bytes end exactly at the page boundary.
struct GuardedRange {
    void* base;
    const char* start;
    const char* end;
};
GuardedRange PlaceBeforeGuard(const std::string& bytes);
const wchar_t* PlaceWideBeforeGuard(const std::wstring& textWithTerminator, void** base);
void ReleaseGuard(void* base);
bool FollowedByGuard(const void* end);

} // namespace trusttest
