// Application launch: starts the installed program through the Shell and returns at once.
#include "install/install.h"
#include <shellapi.h>

BOOL LaunchApplication(const WCHAR* installDir) {
    // A candidate is usable only as a file: a directory of that name, or a missing path, is not.
    WCHAR candidate[PATH_CAPACITY];
    // A candidate that does not fit whole would start another file: the launch fails with
    // ERROR_FILENAME_EXCED_RANGE instead.
    if (!ComposePath(candidate, PATH_CAPACITY, L"%s\\%s", installDir, L"TOVKinemo.exe"))
        return FALSE;
    if (!PathIsFile(candidate)) {
        if (!ComposePath(candidate, PATH_CAPACITY, L"%s\\%s", installDir, L"PikoraSTM32F103.exe"))
            return FALSE;
        if (!PathIsFile(candidate))
            return FailWith(ERROR_FILE_NOT_FOUND);
    }
    HINSTANCE started = ShellExecuteW(nullptr, L"open", candidate, nullptr, installDir, SW_SHOWNORMAL);
    return (INT_PTR)started > 32;
}
