// Test helper: prints a shortcut's target, working directory and icon location (one per line, UTF-8) as
// IShellLinkW reads them back, so script tests can check shortcuts written in the prefix.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include <cstdio>
#include <string>

static void PrintLine(const wchar_t* text) {
    char bytes[4 * MAX_PATH];
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes), nullptr, nullptr);
    if (size > 0)
        fwrite(bytes, 1, (size_t)size - 1, stdout);
    fputc('\n', stdout);
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: shortcut-info <file.lnk>\n");
        return 64;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 2;
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    int result = 1;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   (void**)&link)) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void**)&file)) &&
        SUCCEEDED(file->Load(argv[1], STGM_READ))) {
        wchar_t target[MAX_PATH] = L"", directory[MAX_PATH] = L"", icon[MAX_PATH] = L"";
        int index = -1;
        link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
        link->GetWorkingDirectory(directory, MAX_PATH);
        link->GetIconLocation(icon, MAX_PATH, &index);
        PrintLine(target);
        PrintLine(directory);
        PrintLine((std::wstring(icon) + L"," + std::to_wstring(index)).c_str());
        result = 0;
    }
    if (file)
        file->Release();
    if (link)
        link->Release();
    CoUninitialize();
    return result;
}
