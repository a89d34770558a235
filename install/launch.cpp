// Application launch: starts the installed program through the Shell and returns at once.
#include "install/install.h"
#include <shellapi.h>

// A candidate is usable only as a file: a directory of that name, or a missing path (whose
// INVALID_FILE_ATTRIBUTES has every bit set), is not.
static BOOL IsUsableFile(const WCHAR* path) {
    return (GetFileAttributesW(path) & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

BOOL LaunchApplication(const WCHAR* installDir) {
    WCHAR candidate[PATH_CAPACITY];
    FormatText(candidate, PATH_CAPACITY, L"%s\\%s", installDir, L"TOVKinemo.exe");
    if (!IsUsableFile(candidate)) {
        FormatText(candidate, PATH_CAPACITY, L"%s\\%s", installDir, L"PikoraSTM32F103.exe");
        if (!IsUsableFile(candidate)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
    }
    HINSTANCE started = ShellExecuteW(nullptr, L"open", candidate, nullptr, installDir, SW_SHOWNORMAL);
    return (INT_PTR)started > 32;
}
