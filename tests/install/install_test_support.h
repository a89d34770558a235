// Helpers shared by the installation tests: scratch directories, files, zip packages, child processes
// and the PowerShell stand-in's log.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct ZipItem {
    std::string name; // UTF-8, '/' separated; a name ending in '/' is a directory entry
    std::string data;
    bool deflate;
};

// A fresh, empty directory under the Wine temp directory, unique per call.
std::wstring FreshDir(const std::wstring& name);
std::wstring Join(const std::wstring& directory, const std::wstring& child);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool ReadBytes(const std::wstring& path, std::string* bytes);
bool IsFile(const std::wstring& path);
bool IsDir(const std::wstring& path);
bool MakeDirs(const std::wstring& path);
bool WriteZip(const std::wstring& path, const std::vector<ZipItem>& items);
// The directory holding the test executables (and the payload program and stand-in).
std::wstring TestBinDir();
// Runs a program with the given application name and command line; returns its exit code or -1, and its
// process id through processId when given.
long RunAndWait(const std::wstring& application, const std::wstring& commandLine, DWORD* processId = nullptr);
// The stand-in's last log line that mentions the given text (UTF-8 decoded), or "" when none does.
std::wstring LastStandInLine(const std::wstring& mentioning);
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
// The shortcut's target, working directory and icon as IShellLinkW reads them back.
struct ShortcutInfo {
    bool loaded;
    std::wstring target, workingDirectory, icon;
    int iconIndex;
};
ShortcutInfo ReadShortcut(const std::wstring& path);
