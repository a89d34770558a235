#include "install_test_support.h"
#include "zip_builder.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdint>

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size);
    return out;
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring Join(const std::wstring& directory, const std::wstring& child) {
    if (!directory.empty() && directory.back() == L'\\')
        return directory + child;
    return directory + L"\\" + child;
}

bool IsFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsDir(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeDirs(const std::wstring& path) {
    SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    return IsDir(path);
}

std::wstring FreshDir(const std::wstring& name) {
    static unsigned counter = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"tov-install-tests\\" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(++counter) + L"-" + name;
    MakeDirs(path);
    return path;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) &&
                                written == bytes.size());
    CloseHandle(file);
    return ok;
}

bool ReadBytes(const std::wstring& path, std::string* bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes->clear();
    char chunk[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof(chunk), &got, nullptr) != 0) && got > 0)
        bytes->append(chunk, got);
    CloseHandle(file);
    return ok;
}

bool WriteZip(const std::wstring& path, const std::vector<ZipItem>& items) {
    ZipSpec spec;
    for (const ZipItem& item : items) {
        spec.entries.push_back(ZipFile(item.name, item.data));
        spec.entries.back().deflate = item.deflate;
    }
    return WriteBytes(path, BuildZip(spec));
}

std::wstring TestBinDir() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.find_last_of(L'\\'));
}

long RunAndWait(const std::wstring& application, const std::wstring& commandLine, DWORD* processId) {
    std::wstring writable = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(application.c_str(), &writable[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process))
        return -1;
    if (processId)
        *processId = process.dwProcessId;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (long)code;
}

namespace {
std::wstring StandInLogPath() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"powershell-standin.log";
}

std::vector<std::wstring> SplitLines(const std::string& bytes) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos)
            end = bytes.size();
        lines.push_back(Utf8ToWide(bytes.substr(start, end - start)));
        start = end + 2;
    }
    return lines;
}
} // namespace

std::wstring LastStandInLine(const std::wstring& mentioning) {
    std::string bytes;
    if (!ReadBytes(StandInLogPath(), &bytes))
        return std::wstring();
    std::wstring found;
    for (const std::wstring& line : SplitLines(bytes))
        if (line.find(mentioning) != std::wstring::npos)
            found = line;
    return found;
}

ShortcutInfo ReadShortcut(const std::wstring& path) {
    ShortcutInfo info = {false, L"", L"", L"", -1};
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   (void**)&link))) {
        IPersistFile* file = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void**)&file))) {
            if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
                wchar_t text[MAX_PATH] = L"";
                info.loaded = true;
                if (SUCCEEDED(link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH)))
                    info.target = text;
                text[0] = 0;
                if (SUCCEEDED(link->GetWorkingDirectory(text, MAX_PATH)))
                    info.workingDirectory = text;
                text[0] = 0;
                if (SUCCEEDED(link->GetIconLocation(text, MAX_PATH, &info.iconIndex)))
                    info.icon = text;
            }
            file->Release();
        }
        link->Release();
    }
    CoUninitialize();
    return info;
}
