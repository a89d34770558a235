// The installed version against the manifest's: an upgrade never silently replaces a newer TOV Kinemo
// installation with an older version (a stale mirror or cache, a replayed old manifest).
#include "job/job.h"
#include "job/version.h"
#include "trust/trust.h"

// Reads at most capacity + 1 bytes of the record, so that a longer file shows as too long. FALSE when it
// cannot be read; the check then has nothing to compare.
static BOOL ReadVersionRecord(const WCHAR* installPath, char* bytes, DWORD capacity, DWORD* length) {
    WCHAR path[PATH_CAPACITY];
    if (!ComposePath(path, PATH_CAPACITY, L"%s\\current-version.txt", installPath))
        return FALSE;
    // A record a scanner holds for a moment is waited for, so that it still protects the installation.
    HANDLE file =
        OpenFileWhileHeld(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    *length = 0;
    BOOL ok = TRUE;
    while (ok && *length < capacity + 1) {
        DWORD got = 0;
        ok = ReadFile(file, bytes + *length, capacity + 1 - *length, &got, nullptr);
        if (got == 0)
            break;
        *length += got;
    }
    CloseHandle(file);
    return ok;
}

BOOL CheckInstalledVersion(HWND statusWindow, const WCHAR* installPath, InstallKind kind,
                           const ManifestEntry* entry) {
    // A fresh install has nothing to compare, and a Pikora installation counts another product's versions.
    if (kind != Upgrade || !IsKinemoInstallation(installPath))
        return TRUE;
    char record[VERSION_RECORD_CAPACITY + 2];
    DWORD length = 0;
    if (!ReadVersionRecord(installPath, record, (DWORD)VERSION_RECORD_CAPACITY, &length))
        return TRUE;
    size_t start = 0, installedLength = 0;
    if (!RefusesDowngrade(record, length, entry->latestVersion, ByteLength(entry->latestVersion),
                          entry->allowDowngrade, &start, &installedLength))
        return TRUE;
    // Only digits and dots remain to be shown.
    record[start + installedLength] = 0;
    WCHAR message[ERROR_TEXT_CAPACITY];
    FormatText(message, ERROR_TEXT_CAPACITY, L"已安装 V%S，比清单中的 V%S 新，未做任何更改。", record + start,
               entry->latestVersion);
    ReportStatus(statusWindow, message);
    return FailWith(ERROR_PRODUCT_VERSION);
}
