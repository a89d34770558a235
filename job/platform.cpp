// Platform check: x64 only; "win7" for Windows 6.1-6.3, "win10" for 10 and later.
#include "job/job.h"

BOOL DecidePlatform(WORD architecture, BOOL versionKnown, DWORD major, DWORD minor, DWORD build,
                    char* channel, WCHAR* statusLine, UINT32 statusCapacity) {
    if (architecture != PROCESSOR_ARCHITECTURE_AMD64) {
        FormatText(statusLine, statusCapacity, L"当前程序仅支持64位 Windows；检测到的系统架构不是 x64。");
        return FALSE;
    }
    if (!versionKnown) {
        FormatText(statusLine, statusCapacity, L"无法读取 Windows 版本。");
        return FALSE;
    }
    if (major == 6 && minor != 0) {
        CopyNarrowClearing(channel, 16, "win7");
        FormatText(statusLine, statusCapacity, L"检测到 Windows %lu.%lu（使用 Win7 兼容包）", (UINT32)6,
                   (UINT32)minor);
        return TRUE;
    }
    if (major >= 10) {
        CopyNarrowClearing(channel, 16, "win10");
        FormatText(statusLine, statusCapacity, L"检测到 Windows %lu.%lu，Build %lu（使用 Win10/11 包）",
                   (UINT32)major, (UINT32)minor, (UINT32)build);
        return TRUE;
    }
    FormatText(statusLine, statusCapacity, L"不支持当前 Windows 版本 %lu.%lu。", (UINT32)major,
               (UINT32)minor);
    return FALSE;
}

typedef LONG(WINAPI* RtlGetVersionProc)(RTL_OSVERSIONINFOW*);

BOOL CheckPlatform(HWND statusWindow, const char* requestChannel, char* selectedChannel) {
    WCHAR statusLine[STATUS_LINE_CAPACITY];
    if (requestChannel[0] != 0) {
        CopyNarrowClearing(selectedChannel, 16, requestChannel);
        FormatText(statusLine, STATUS_LINE_CAPACITY, L"测试通道：%S", selectedChannel);
        ReportStatus(statusWindow, statusLine);
        return TRUE;
    }
    SYSTEM_INFO system;
    MemoryZero(&system, sizeof(system));
    GetNativeSystemInfo(&system);

    BOOL versionKnown = FALSE;
    RTL_OSVERSIONINFOW version;
    MemoryZero(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        RtlGetVersionProc query =
            ntdll ? (RtlGetVersionProc)(void*)GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
        versionKnown = query != nullptr && query(&version) == 0;
    }
    BOOL accepted = DecidePlatform(system.wProcessorArchitecture, versionKnown, version.dwMajorVersion,
                                   version.dwMinorVersion, version.dwBuildNumber, selectedChannel, statusLine,
                                   STATUS_LINE_CAPACITY);
    ReportStatus(statusWindow, statusLine);
    return accepted;
}
