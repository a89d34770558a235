// Install job: the fixed sequence of one run, the platform check and the install directory rules.
#pragma once

#include "app/app.h"

enum InstallKind { Fresh = 0, Upgrade = 1 };

static const UINT32 STATUS_LINE_CAPACITY = 256;

int RunInstallJob(const InstallRequest* request, HWND statusWindow, volatile LONG* cancelFlag);

// The default manifest and signature URLs, built from the configured download host.
const WCHAR* DefaultManifestUrl(void);
const WCHAR* DefaultSignatureUrl(void);

// Channel decision from values: returns TRUE when accepted; fills channel (16 bytes) and the status line.
// versionKnown is FALSE when the version query was unavailable or failed.
BOOL DecidePlatform(WORD architecture, BOOL versionKnown, DWORD major, DWORD minor, DWORD build,
                    char* channel, WCHAR* statusLine, UINT32 statusCapacity);
BOOL CheckPlatform(HWND statusWindow, const char* requestChannel, char* selectedChannel);

// FALSE after a refusal (ERROR_DIR_NOT_EMPTY, refusal text reported), or with ERROR_FILENAME_EXCED_RANGE
// and no text when a marker path inside the folder would not fit.
BOOL CheckInstallDir(HWND statusWindow, const WCHAR* fullInstallPath, InstallKind* kind);
// TRUE when the folder holds TOV Kinemo's marker pair (TOVKinemo.exe and tovkinemo.root, both files).
BOOL IsKinemoInstallation(const WCHAR* installPath);

// After the manifest is accepted: FALSE with ERROR_PRODUCT_VERSION, its line reported, when the upgrade
// of a TOV Kinemo installation would install an older version than the one it holds and the manifest does
// not allow that. A record that cannot be read or is not a version lets the run go on.
struct ManifestEntry;
BOOL CheckInstalledVersion(HWND statusWindow, const WCHAR* installPath, InstallKind kind,
                           const ManifestEntry* entry);

// The mark of a fresh install that has not finished: written before the extraction, deleted after its
// success. A folder holding it is taken as a fresh install again by the next run.
static const WCHAR UNFINISHED_INSTALL_MARK[] = L"tovkinemo.unfinished";
BOOL MarkInstallUnfinished(const WCHAR* installPath);
// TRUE when the mark is gone (also when there was none).
BOOL ClearInstallUnfinished(const WCHAR* installPath);
// After a failed extraction that wrote nothing, the folder goes back to how it was: the mark is removed
// when it is all the folder holds. Keeps the last-error value.
void ForgetMarkIfNothingWritten(const WCHAR* installPath);

// The directory listing calls, so that a listing that breaks off can be reproduced in tests.
struct DirectoryLister {
    HANDLE(WINAPI* findFirst)(LPCWSTR, LPWIN32_FIND_DATAW);
    BOOL(WINAPI* findNext)(HANDLE, LPWIN32_FIND_DATAW);
    BOOL(WINAPI* findClose)(HANDLE);
};
// TRUE only when the listing completes showing nothing but "." and "..", or the directory has no entries
// at all (ERROR_FILE_NOT_FOUND). A listing that fails part-way is not proof of emptiness.
BOOL ListingShowsEmpty(const WCHAR* directory, const DirectoryLister* lister);
// The same, with the unfinished-install mark (any case) not counted.
BOOL ListingShowsOnlyUnfinishedMark(const WCHAR* directory, const DirectoryLister* lister);
