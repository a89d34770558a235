// The system libraries that are not KnownDLLs (winhttp, crypt32, comctl32). The executable never imports
// them: Windows would look for them beside the executable first, where anyone can drop a DLL of the same
// name. They are loaded from the system directory only, by the step that needs them, and called through
// these tables.
#pragma once

#include "support/support.h"
#include <winhttp.h>
#include <wincrypt.h>
#include <commctrl.h>

struct WinHttpFunctions {
    decltype(&WinHttpCrackUrl) crackUrl;
    decltype(&WinHttpOpen) open;
    decltype(&WinHttpSetTimeouts) setTimeouts;
    decltype(&WinHttpSetOption) setOption;
    decltype(&WinHttpConnect) connect;
    decltype(&WinHttpOpenRequest) openRequest;
    decltype(&WinHttpAddRequestHeaders) addRequestHeaders;
    decltype(&WinHttpSendRequest) sendRequest;
    decltype(&WinHttpReceiveResponse) receiveResponse;
    decltype(&WinHttpQueryHeaders) queryHeaders;
    decltype(&WinHttpReadData) readData;
    decltype(&WinHttpCloseHandle) closeHandle;
};

struct Crypt32Functions {
    decltype(&CryptStringToBinaryA) stringToBinaryA;
    decltype(&CryptBinaryToStringW) binaryToStringW;
    decltype(&CryptDecodeObjectEx) decodeObjectEx;
    decltype(&CryptImportPublicKeyInfo) importPublicKeyInfo;
};

struct CommonControlsFunctions {
    decltype(&InitCommonControlsEx) initCommonControlsEx;
};

// Filled by the Load functions below; valid once one of them has succeeded in this process.
extern WinHttpFunctions winHttp;
extern Crypt32Functions crypt32;
extern CommonControlsFunctions commonControls;

// Each loads its library from the system directory and resolves every entry of its table. Loading again
// (from any thread) is harmless: the same module gives the same addresses. On failure the table is not
// to be used and the loader's code stands (ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND, ...).
BOOL LoadWinHttp(void);
BOOL LoadCrypt32(void);
BOOL LoadCommonControls(void);

// One library's table: the DLL's file name, the entry point names in the order of the table's members,
// and the table seen as an array of count function pointers.
struct SystemLibrary {
    const WCHAR* fileName;
    const char* const* entryNames;
    UINT32 count;
    void** slots;
    volatile LONG* loaded;
};
BOOL LoadSystemFunctions(const SystemLibrary* library);
// The library from the system directory: with LOAD_LIBRARY_SEARCH_SYSTEM32, or by its full path where
// that flag is refused (Windows 7 without KB2533623).
HMODULE LoadSystemLibrary(const WCHAR* fileName);
HMODULE LoadLibraryFromSystemDirectory(const WCHAR* fileName);
// The process's own DLL search, for every later load by name (the Shell, COM, WinHTTP's dependencies):
// the system directory only, or at least without the current directory. FALSE when neither is possible.
BOOL RestrictDllSearch(void);
