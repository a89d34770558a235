// Install directory rules: missing or empty means a fresh install; a non-empty directory is accepted only
// when it holds an earlier installation (a marker pair plus the version record), which is upgraded.
#include "job/job.h"

// Every name a run probes or writes directly in the install folder.
static const WCHAR* const MARKER_NAMES[] = {L"TOVKinemo.exe",       L"tovkinemo.root",
                                            L"PikoraSTM32F103.exe", L"pikora.root",
                                            L"current-version.txt", UNFINISHED_INSTALL_MARK};

static BOOL IsFile(const WCHAR* directory, const WCHAR* name) {
    WCHAR path[PATH_CAPACITY];
    return ComposePath(path, PATH_CAPACITY, L"%s\\%s", directory, name) && PathIsFile(path);
}

BOOL IsKinemoInstallation(const WCHAR* installPath) {
    return IsFile(installPath, L"TOVKinemo.exe") && IsFile(installPath, L"tovkinemo.root");
}

// TRUE when every marker path fits whole; else ERROR_FILENAME_EXCED_RANGE.
static BOOL MarkerPathsFit(const WCHAR* directory) {
    WCHAR path[PATH_CAPACITY];
    for (UINT32 i = 0; i < sizeof(MARKER_NAMES) / sizeof(MARKER_NAMES[0]); ++i)
        if (!ComposePath(path, PATH_CAPACITY, L"%s\\%s", directory, MARKER_NAMES[i]))
            return FALSE;
    return TRUE;
}

static BOOL IsDotName(const WCHAR* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// TRUE when the listing shows nothing but ignoredName (null: nothing at all). A listing that cannot be
// read completely is not taken as proof of emptiness: the directory is then judged by its markers.
static BOOL ListingShowsOnly(const WCHAR* directory, const WCHAR* ignoredName,
                             const DirectoryLister* lister) {
    // A pattern that does not fit lists nothing, which is no proof of emptiness.
    WCHAR pattern[PATH_CAPACITY];
    if (!ComposePath(pattern, PATH_CAPACITY, L"%s\\*", directory))
        return FALSE;
    WIN32_FIND_DATAW found;
    HANDLE search = lister->findFirst(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    for (;;) {
        BOOL ignored = ignoredName && WideEqualsAsciiNoCase(found.cFileName, ignoredName);
        if (!IsDotName(found.cFileName) && !ignored) {
            lister->findClose(search);
            return FALSE;
        }
        if (!lister->findNext(search, &found)) {
            BOOL complete = GetLastError() == ERROR_NO_MORE_FILES;
            lister->findClose(search);
            return complete;
        }
    }
}

BOOL ListingShowsEmpty(const WCHAR* directory, const DirectoryLister* lister) {
    return ListingShowsOnly(directory, nullptr, lister);
}

BOOL ListingShowsOnlyUnfinishedMark(const WCHAR* directory, const DirectoryLister* lister) {
    return ListingShowsOnly(directory, UNFINISHED_INSTALL_MARK, lister);
}

static const DirectoryLister SYSTEM_LISTER = {FindFirstFileW, FindNextFileW, FindClose};

BOOL CheckInstallDir(HWND statusWindow, const WCHAR* fullInstallPath, InstallKind* kind) {
    // A folder too long for the names an installation keeps in it could neither be judged now nor
    // upgraded later: refused before anything is read.
    if (!MarkerPathsFit(fullInstallPath))
        return FALSE;
    DWORD attributes = GetFileAttributesW(fullInstallPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        ListingShowsEmpty(fullInstallPath, &SYSTEM_LISTER)) {
        *kind = Fresh;
        return TRUE;
    }
    // A fresh install of ours that did not finish is finished by this run, as a fresh install again.
    if (IsFile(fullInstallPath, UNFINISHED_INSTALL_MARK)) {
        *kind = Fresh;
        return TRUE;
    }
    BOOL installation =
        IsKinemoInstallation(fullInstallPath) ||
        (IsFile(fullInstallPath, L"PikoraSTM32F103.exe") && IsFile(fullInstallPath, L"pikora.root"));
    if (installation && IsFile(fullInstallPath, L"current-version.txt")) {
        *kind = Upgrade;
        return TRUE;
    }
    WCHAR message[ERROR_TEXT_CAPACITY];
    FormatText(message, ERROR_TEXT_CAPACITY, L"安装目录不是空目录：%s\n请选择新的空目录。", fullInstallPath);
    ReportStatus(statusWindow, message);
    return FailWith(ERROR_DIR_NOT_EMPTY);
}

static BOOL ComposeMarkPath(WCHAR* path, const WCHAR* installPath) {
    return ComposePath(path, PATH_CAPACITY, L"%s\\%s", installPath, UNFINISHED_INSTALL_MARK);
}

BOOL MarkInstallUnfinished(const WCHAR* installPath) {
    WCHAR path[PATH_CAPACITY];
    if (!ComposeMarkPath(path, installPath))
        return FALSE;
    HANDLE mark = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (mark == INVALID_HANDLE_VALUE)
        return FALSE;
    // Written through, so that a power loss during the extraction still finds the mark.
    FlushFileBuffers(mark);
    CloseHandle(mark);
    return TRUE;
}

BOOL ClearInstallUnfinished(const WCHAR* installPath) {
    WCHAR path[PATH_CAPACITY];
    if (!ComposeMarkPath(path, installPath))
        return FALSE;
    if (DeleteFileWhileHeld(path))
        return TRUE;
    DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND ? TRUE : FailWith(code);
}

void ForgetMarkIfNothingWritten(const WCHAR* installPath) {
    DWORD code = GetLastError();
    if (ListingShowsOnlyUnfinishedMark(installPath, &SYSTEM_LISTER))
        ClearInstallUnfinished(installPath);
    SetLastError(code);
}
