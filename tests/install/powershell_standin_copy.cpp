// The PowerShell stand-in's copy of the zip's "Payload" items into the destination, the fault switches that
// harm that copy as the Shell can, the hold a test uses to catch a run part-way, and the shortcut.
#include "powershell_standin.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstring>

// ---- files ----

std::wstring JoinPath(const std::wstring& directory, const std::wstring& child) {
    if (!directory.empty() && (directory.back() == L'\\' || directory.back() == L'/'))
        return directory + child;
    return directory + L"\\" + child;
}

static bool IsDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeDirectories(const std::wstring& path) {
    int result = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    if (!IsDirectory(path))
        Finish(EXIT_STATEMENT_FAILED, L"cannot create directory " + path + CodeText(result));
}

// Splits an entry name below "Payload/" into components; refuses names that would leave the destination.
static std::vector<std::wstring> SafeComponents(const std::wstring& relative) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t slash = relative.find(L'/', start);
        if (slash == std::wstring::npos)
            slash = relative.size();
        std::wstring part = relative.substr(start, slash - start);
        if (part.empty() && slash != relative.size())
            Finish(EXIT_STATEMENT_FAILED, L"empty component in " + relative);
        if (part == L"." || part == L".." || part.find(L':') != std::wstring::npos)
            Finish(EXIT_STATEMENT_FAILED, L"unsafe entry name Payload/" + relative);
        if (!part.empty())
            parts.push_back(part);
        start = slash + 1;
    }
    return parts;
}

static void WriteWholeFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        Finish(EXIT_STATEMENT_FAILED, L"cannot write " + path + CodeText(GetLastError()));
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) &&
                                written == bytes.size());
    CloseHandle(file);
    if (!ok)
        Finish(EXIT_STATEMENT_FAILED, L"short write to " + path);
}

static bool IsPayloadName(const std::wstring& name, std::wstring* relative) {
    static const std::wstring top = L"payload";
    if (name.size() < top.size() + 1 || name[top.size()] != L'/')
        return false;
    if (CompareStringOrdinal(name.data(), (int)top.size(), L"Payload", (int)top.size(), TRUE) != CSTR_EQUAL)
        return false;
    *relative = name.substr(top.size() + 1);
    return true;
}

// Set when a held run is let go with "cut" in the hold file: the stand-in then writes only the program
// file and the root marker and ends as a PowerShell killed part-way would, leaving "<hold>.cut".
std::wstring g_cutMark;

static bool KeptWhenCut(const std::wstring& relative) {
    return CompareStringOrdinal(relative.c_str(), -1, L"TOVKinemo.exe", -1, TRUE) == CSTR_EQUAL ||
           CompareStringOrdinal(relative.c_str(), -1, L"tovkinemo.root", -1, TRUE) == CSTR_EQUAL;
}

// Harm the Shell can do to a copy and still end with 0, named by TOV_STANDIN_FAULT as "cut:NAME" (the
// file written with half its bytes), "skip:NAME" (the entry and any below it not copied) or "keep:NAME"
// (a file already in the destination left as it was); NAME is a path below "Payload/", in any case.
std::wstring g_fault;

static bool Faulted(const wchar_t* kind, std::wstring relative) {
    std::wstring named = std::wstring(kind) + L":";
    if (!relative.empty() && relative.back() == L'/')
        relative.pop_back();
    for (size_t end = 0; end != std::wstring::npos; end = relative.find(L'/', end + 1)) {
        std::wstring path = named + (end ? relative.substr(0, end) : relative);
        if (CompareStringOrdinal(g_fault.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

void CopyPayload(const Script& script) {
    std::vector<uint8_t> archive;
    std::vector<ZipEntry> entries;
    if (!ReadWholeFile(script.zip, archive) || !ReadCentralDirectory(archive, entries))
        Finish(EXIT_CANNOT_OPEN, L"cannot open the archive");
    if (!IsDirectory(script.dest))
        Finish(EXIT_CANNOT_OPEN, L"cannot open the destination");
    bool found = false;
    std::wstring relative;
    for (const ZipEntry& entry : entries)
        found = found || IsPayloadName(entry.name, &relative);
    if (!found)
        Finish(EXIT_NO_PAYLOAD, L"no top-level Payload folder");
    for (const ZipEntry& entry : entries) {
        if (!IsPayloadName(entry.name, &relative) || relative.empty() || Faulted(L"skip", relative))
            continue;
        std::vector<std::wstring> parts = SafeComponents(relative);
        bool isDirectory = relative.back() == L'/';
        std::wstring path = script.dest;
        for (size_t i = 0; i + (isDirectory ? 0 : 1) < parts.size(); ++i) {
            path = JoinPath(path, parts[i]);
            if (!IsDirectory(path) && !CreateDirectoryW(path.c_str(), nullptr))
                Finish(EXIT_STATEMENT_FAILED, L"cannot create " + path + CodeText(GetLastError()));
        }
        if (isDirectory || (!g_cutMark.empty() && !KeptWhenCut(relative)))
            continue;
        std::vector<uint8_t> bytes;
        if (!ExtractEntry(archive, entry, bytes))
            Finish(EXIT_STATEMENT_FAILED, L"corrupt entry " + entry.name);
        if (Faulted(L"cut", relative))
            bytes.resize(bytes.size() / 2);
        if (!(Faulted(L"keep", relative) && Exists(JoinPath(path, parts.back()))))
            WriteWholeFile(JoinPath(path, parts.back()), bytes);
    }
}

void WriteShortcut(const Script& script) {
    std::wstring directory = script.shortcutDir;
    if (script.desktopDefault) {
        wchar_t desktop[MAX_PATH];
        HRESULT result =
            SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop);
        if (FAILED(result))
            Finish(EXIT_STATEMENT_FAILED, L"no Desktop folder" + CodeText((DWORD)result));
        directory = desktop;
    }
    if (!IsDirectory(directory))
        Finish(EXIT_STATEMENT_FAILED, L"shortcut directory does not exist: " + directory);
    std::wstring target = JoinPath(script.dest, L"TOVKinemo.exe");
    std::wstring icon = JoinPath(script.dest, L"Assets\\AppIcon.ico");
    if (!Exists(icon))
        icon = target;
    std::wstring linkPath = JoinPath(directory, L"TOV Kinemo.lnk");

    HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(result))
        Finish(EXIT_STATEMENT_FAILED, L"COM start failed" + CodeText((DWORD)result));
    IShellLinkW* link = nullptr;
    result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void**)&link);
    if (FAILED(result))
        Finish(EXIT_STATEMENT_FAILED, L"no ShellLink object" + CodeText((DWORD)result));
    IPersistFile* file = nullptr;
    if (SUCCEEDED(result = link->SetPath(target.c_str())) &&
        SUCCEEDED(result = link->SetWorkingDirectory(script.dest.c_str())) &&
        SUCCEEDED(result = link->SetIconLocation(icon.c_str(), 0)) &&
        SUCCEEDED(result = link->QueryInterface(IID_IPersistFile, (void**)&file))) {
        result = file->Save(linkPath.c_str(), TRUE);
        file->Release();
    }
    link->Release();
    CoUninitialize();
    if (FAILED(result))
        Finish(EXIT_STATEMENT_FAILED, L"cannot save " + linkPath + CodeText((DWORD)result));
}

// Window tests catch a run during its extraction: with TOV_STANDIN_HOLD naming a file, the stand-in
// makes "<file>.waiting" and waits (up to two minutes) until the test makes the file itself.
void HoldIfAsked() {
    wchar_t hold[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"TOV_STANDIN_HOLD", hold, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    HANDLE waiting = CreateFileW((std::wstring(hold) + L".waiting").c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (waiting != INVALID_HANDLE_VALUE)
        CloseHandle(waiting);
    for (int i = 0; i < 1200 && !Exists(hold); ++i)
        Sleep(100);
    std::vector<uint8_t> content;
    if (ReadWholeFile(hold, content) && content.size() >= 3 && std::memcmp(content.data(), "cut", 3) == 0)
        g_cutMark = std::wstring(hold) + L".cut";
}
