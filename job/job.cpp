// The install job: one run's fixed sequence of steps, stopping at the first failure with one final
// status line built from the failure code.
#include "job/job.h"
#include "trust/trust.h"
#include "download/download.h"
#include "install/install.h"
#include "install/contents.h"

#define TOV_MANIFEST_URL L"https://" TOV_DOWNLOAD_HOST_W L"/stable/update.json"

const WCHAR* DefaultManifestUrl(void) {
    return TOV_MANIFEST_URL;
}
const WCHAR* DefaultSignatureUrl(void) {
    return TOV_MANIFEST_URL L".sig";
}

static const WCHAR CANCEL_TEXT[] = L"下载已取消，已完成的分段会保留以便下次继续。";

struct JobBuffers {
    BYTE* manifest;
    UINT32 manifestLength;
    BYTE* signature;
    UINT32 signatureLength;
    HANDLE installLock;
};

static void ReleaseBuffers(JobBuffers* buffers) {
    HeapRelease(buffers->signature);
    HeapRelease(buffers->manifest);
    buffers->signature = nullptr;
    buffers->manifest = nullptr;
    ReleaseRunLock(buffers->installLock);
    buffers->installLock = nullptr;
}

// The extraction, judged by the package's own table of contents: a listed file in use fails with
// ERROR_SHARING_VIOLATION before PowerShell starts and before the folder changes, and the script's exit
// code 0 counts only when every listed file and folder is in place (else ERROR_INSTALL_FAILURE). A
// package whose contents cannot be listed, or that names a path outside the folder, still goes to the
// script as it always did, but cannot be shown whole. A fresh install keeps its mark on failure.
static BOOL ExtractWhole(const InstallRequest* request, const WCHAR* packagePath, const WCHAR* installPath,
                         InstallKind kind) {
    PayloadContents contents;
    MemoryZero(&contents, sizeof(contents));
    BOOL listed = ReadPackageContents(packagePath, &contents);
    BOOL ok = !listed || CheckPayloadReplaceable(installPath, &contents);
    if (ok) {
        // A folder that takes no mark (read-only media, say) fails in the extraction as it always did.
        if (kind == Fresh)
            (void)MarkInstallUnfinished(installPath);
        ok = ExtractPayload(packagePath, installPath, request->createShortcut != 0, request->shortcutDir);
        if (ok)
            ok = listed && !contents.unsafe ? CheckPayloadInstalled(installPath, &contents)
                                            : FailWith(ERROR_INSTALL_FAILURE);
        if (!ok && kind == Fresh)
            ForgetMarkIfNothingWritten(installPath);
    }
    DWORD code = GetLastError();
    if (listed)
        ReleasePackageContents(&contents);
    SetLastError(code);
    return ok;
}

// Steps 1 to 13; returns FALSE with the failure code as the last-error value.
static BOOL RunSteps(const InstallRequest* request, HWND statusWindow, volatile LONG* cancelFlag,
                     JobBuffers* buffers) {
    ReportStatus(statusWindow, L"正在检测 Windows 版本和系统架构…");

    char channel[16];
    MemoryZero(channel, sizeof(channel));
    if (!CheckPlatform(statusWindow, request->channel, channel))
        return FailWith(ERROR_OLD_WIN_VERSION);

    // A full path that would need more than the buffer is refused like one that cannot be made.
    WCHAR installPath[PATH_CAPACITY];
    DWORD fullLength = GetFullPathNameW(request->installDir, PATH_CAPACITY, installPath, nullptr);
    if (fullLength == 0 || fullLength >= PATH_CAPACITY)
        return FailWith(ERROR_INVALID_NAME);

    // From the directory check to the end of the extraction the folder is this run's alone.
    buffers->installLock = AcquireRunLock(L"install", installPath);
    if (!buffers->installLock)
        return FALSE;
    InstallKind kind = Fresh;
    // A refusal leaves ERROR_DIR_NOT_EMPTY; a folder whose names do not fit leaves
    // ERROR_FILENAME_EXCED_RANGE.
    if (!CheckInstallDir(statusWindow, installPath, &kind))
        return FALSE;

    ReportStatus(statusWindow, L"正在读取并验证签名更新清单…");
    if (request->manifestPath[0] != 0) {
        if (!ReadFileToBuffer(request->manifestPath, &buffers->manifest, &buffers->manifestLength))
            return FALSE;
        if (!ReadFileToBuffer(request->signaturePath, &buffers->signature, &buffers->signatureLength))
            return FALSE;
    } else {
        if (!FetchUrlToBuffer(DefaultManifestUrl(), &buffers->manifest, &buffers->manifestLength))
            return FALSE;
        if (!FetchUrlToBuffer(DefaultSignatureUrl(), &buffers->signature, &buffers->signatureLength))
            return FALSE;
    }

    if (!VerifyManifestSignature(buffers->manifest, buffers->manifestLength, (const char*)buffers->signature))
        return FailWith(ERROR_MANIFEST_SIGNATURE);

    ManifestEntry entry;
    if (!ReadManifest((const char*)buffers->manifest, buffers->manifestLength, channel, &entry))
        return FailWith(ERROR_INVALID_DATA);
    WCHAR message[ERROR_TEXT_CAPACITY];
    FormatText(message, ERROR_TEXT_CAPACITY, L"已验证 V%S 清单，准备下载 %S 完整包。", entry.latestVersion,
               channel);
    ReportStatus(statusWindow, message);
    // Before anything is fetched, written or started.
    if (!CheckInstalledVersion(statusWindow, installPath, kind, &entry))
        return FALSE;

    WCHAR packagePath[PATH_CAPACITY];
    if (request->packagePath[0] != 0) {
        CopyWide(packagePath, PATH_CAPACITY, request->packagePath);
        // A package that cannot be read now fails with the platform's code; only a mismatch is ERROR_CRC.
        PackageCheck local = CheckPackageFile(packagePath, &entry, nullptr);
        if (local == PACKAGE_UNREADABLE)
            return FALSE;
        if (local != PACKAGE_MATCHES)
            return FailWith(ERROR_CRC);
        if (statusWindow)
            PostMessageW(statusWindow, WMU_PROGRESS, 100, 0);
    } else {
        WCHAR cacheDir[PATH_CAPACITY];
        if (request->cacheDir[0] != 0) {
            CopyWide(cacheDir, PATH_CAPACITY, request->cacheDir);
        } else if (!GetDefaultCacheDir(cacheDir)) {
            return FALSE;
        }
        if (!EnsureDirectory(cacheDir))
            return FALSE;
        if (!DownloadPackage(&entry, channel, cacheDir, statusWindow, cancelFlag, request->cancelAfterBytes,
                             packagePath, kind == Upgrade ? installPath : nullptr))
            return FALSE;
    }

    if (cancelFlag && InterlockedCompareExchange(cancelFlag, 0, 0) != 0)
        return FailWith(ERROR_CANCELLED);

    if (!EnsureDirectory(installPath))
        return FALSE;

    ReportStatus(statusWindow, L"完整包验证通过，正在安全解压程序…");
    if (!ExtractWhole(request, packagePath, installPath, kind))
        return FALSE;
    if (kind == Fresh && !ClearInstallUnfinished(installPath))
        return FALSE;
    ReleaseRunLock(buffers->installLock);
    buffers->installLock = nullptr;

    ReportStatus(statusWindow, kind == Upgrade ? L"升级完成，原有数据已保留。" : L"安装完成。");
    if (request->noLaunch == 0 && !LaunchApplication(installPath))
        return FALSE;
    return TRUE;
}

int RunInstallJob(const InstallRequest* request, HWND statusWindow, volatile LONG* cancelFlag) {
    JobBuffers buffers;
    MemoryZero(&buffers, sizeof(buffers));
    if (RunSteps(request, statusWindow, cancelFlag, &buffers)) {
        ReleaseBuffers(&buffers);
        return 0;
    }
    DWORD code = GetLastError();
    WCHAR message[ERROR_TEXT_CAPACITY];
    if (code == ERROR_CANCELLED)
        CopyWide(message, ERROR_TEXT_CAPACITY, CANCEL_TEXT);
    else
        FormatErrorText(message, L"首次下载失败", code);
    ReportStatus(statusWindow, message);
    ReleaseBuffers(&buffers);
    SetLastError(code);
    return 1;
}
