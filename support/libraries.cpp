// Loading of the non-KnownDLL system libraries from the system directory, and the tables that the
// program calls them through. No locks: a table's slots are written with atomic exchanges, always with
// the same addresses, and its loaded flag is set last.
#include "support/libraries.h"

WinHttpFunctions winHttp;
Crypt32Functions crypt32;
CommonControlsFunctions commonControls;

static volatile LONG winHttpLoaded;
static volatile LONG crypt32Loaded;
static volatile LONG commonControlsLoaded;

static const char* const WINHTTP_NAMES[] = {
    "WinHttpCrackUrl",        "WinHttpOpen",         "WinHttpSetTimeouts",       "WinHttpSetOption",
    "WinHttpConnect",         "WinHttpOpenRequest",  "WinHttpAddRequestHeaders", "WinHttpSendRequest",
    "WinHttpReceiveResponse", "WinHttpQueryHeaders", "WinHttpReadData",          "WinHttpCloseHandle"};
static const char* const CRYPT32_NAMES[] = {"CryptStringToBinaryA", "CryptBinaryToStringW",
                                            "CryptDecodeObjectEx", "CryptImportPublicKeyInfo"};
static const char* const COMCTL32_NAMES[] = {"InitCommonControlsEx"};

static_assert(sizeof(WinHttpFunctions) == sizeof(WINHTTP_NAMES) / sizeof(WINHTTP_NAMES[0]) * sizeof(void*),
              "one name per WinHTTP entry");
static_assert(sizeof(Crypt32Functions) == sizeof(CRYPT32_NAMES) / sizeof(CRYPT32_NAMES[0]) * sizeof(void*),
              "one name per crypt32 entry");
static_assert(sizeof(CommonControlsFunctions) ==
                  sizeof(COMCTL32_NAMES) / sizeof(COMCTL32_NAMES[0]) * sizeof(void*),
              "one name per comctl32 entry");

HMODULE LoadLibraryFromSystemDirectory(const WCHAR* fileName) {
    WCHAR system[PATH_CAPACITY];
    UINT length = GetSystemDirectoryW(system, PATH_CAPACITY);
    if (length == 0)
        return nullptr;
    if (length >= PATH_CAPACITY) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    WCHAR path[PATH_CAPACITY];
    if (!ComposePath(path, PATH_CAPACITY, L"%s\\%s", system, fileName))
        return nullptr;
    // With a full path, the library's own dependencies are looked for in its folder first.
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE LoadSystemLibrary(const WCHAR* fileName) {
    HMODULE module = LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;
    return LoadLibraryFromSystemDirectory(fileName); // the flag is unknown to this system
}

BOOL LoadSystemFunctions(const SystemLibrary* library) {
    if (AtomicRead32(library->loaded))
        return TRUE;
    // The module is never freed: the table points into it for the rest of the process.
    HMODULE module = LoadSystemLibrary(library->fileName);
    if (!module)
        return FALSE;
    for (UINT32 i = 0; i < library->count; ++i) {
        FARPROC entry = GetProcAddress(module, library->entryNames[i]);
        if (!entry)
            return FALSE;
        InterlockedExchangePointer(&library->slots[i], (void*)entry);
    }
    AtomicSet32(library->loaded, 1);
    return TRUE;
}

BOOL LoadWinHttp(void) {
    SystemLibrary library = {L"winhttp.dll", WINHTTP_NAMES, sizeof(WINHTTP_NAMES) / sizeof(WINHTTP_NAMES[0]),
                             (void**)&winHttp, &winHttpLoaded};
    return LoadSystemFunctions(&library);
}

BOOL LoadCrypt32(void) {
    SystemLibrary library = {L"crypt32.dll", CRYPT32_NAMES, sizeof(CRYPT32_NAMES) / sizeof(CRYPT32_NAMES[0]),
                             (void**)&crypt32, &crypt32Loaded};
    return LoadSystemFunctions(&library);
}

BOOL LoadCommonControls(void) {
    SystemLibrary library = {L"comctl32.dll", COMCTL32_NAMES,
                             sizeof(COMCTL32_NAMES) / sizeof(COMCTL32_NAMES[0]), (void**)&commonControls,
                             &commonControlsLoaded};
    return LoadSystemFunctions(&library);
}

BOOL RestrictDllSearch(void) {
    // Looked up at run time: Windows 7 has these only with KB2533623 (SetDllDirectoryW since XP SP1).
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel)
        return FALSE;
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD);
    typedef BOOL(WINAPI * SetDllDirectoryProc)(const WCHAR*);
    SetDefaultDllDirectoriesProc setDefault =
        (SetDefaultDllDirectoriesProc)(void*)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return TRUE;
    // The empty text takes the current directory out of the search order.
    SetDllDirectoryProc setDirectory = (SetDllDirectoryProc)(void*)GetProcAddress(kernel, "SetDllDirectoryW");
    return setDirectory && setDirectory(L"");
}
