// Message trace of the downloader's UI thread, for the window tests. The driver installs these hooks on
// that thread; Wine then loads this DLL into the downloader's process, where the hooks append one line
// per interesting message, in the order the UI thread handled them, to the file named by the
// environment variable TOV_GUI_TRACE (UTF-8, LF-terminated, \n \r \\ escaped):
//   text <id> <text>        WM_SETTEXT on a child of the main window (edit box, status line, ...)
//   pos <n>                 PBM_SETPOS on the progress bar
//   enable <id> <0|1>       WM_ENABLE on a child of the main window
//   command <id>            WM_COMMAND sent to the main window, once its handling has returned
//   posted-command <id>     WM_COMMAND posted to the main window, as it is taken from the queue
//   posted <msg> <w> <l>    WMU_STATUS / WMU_PROGRESS / WMU_DONE taken from the queue (l of WMU_STATUS: 0 or
//   1) box <text>              a message box initialised (text of its static 0xFFFF) show <0|1> WM_SHOWWINDOW
//   on the main window destroy                 WM_DESTROY on the main window
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>

static const wchar_t MAIN_CLASS[] = L"TOVKinemoDownloaderWindow";

static bool HasClass(HWND window, const wchar_t* name) {
    wchar_t actual[64];
    return window && GetClassNameW(window, actual, 64) && lstrcmpiW(actual, name) == 0;
}

static bool IsMain(HWND window) {
    return HasClass(window, MAIN_CLASS);
}
static bool IsMainChild(HWND window) {
    return window && IsMain(GetAncestor(window, GA_PARENT));
}

static void Append(const char* prefix, const wchar_t* text) {
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"TOV_GUI_TRACE", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    char line[4096];
    int used = lstrlenA(prefix);
    if (used > 1000)
        return;
    lstrcpyA(line, prefix);
    if (text) {
        char utf8[2048];
        int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
        for (int i = 0; i + 1 < bytes && used < (int)sizeof(line) - 4; ++i) {
            char c = utf8[i];
            if (c == '\n' || c == '\r' || c == '\\') {
                line[used++] = '\\';
                c = c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
            }
            line[used++] = c;
        }
    }
    line[used++] = '\n';
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line, (DWORD)used, &written, nullptr);
    CloseHandle(file);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK TraceSentProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const CWPRETSTRUCT* sent = (const CWPRETSTRUCT*)lParam;
        char prefix[128];
        HWND window = sent->hwnd;
        switch (sent->message) {
        case WM_SETTEXT:
            if (IsMainChild(window)) {
                snprintf(prefix, sizeof(prefix), "text %d ", GetDlgCtrlID(window));
                Append(prefix, (const wchar_t*)sent->lParam);
            }
            break;
        case PBM_SETPOS:
            if (IsMainChild(window)) {
                snprintf(prefix, sizeof(prefix), "pos %d", (int)sent->wParam);
                Append(prefix, nullptr);
            }
            break;
        case WM_ENABLE:
            if (IsMainChild(window)) {
                snprintf(prefix, sizeof(prefix), "enable %d %d", GetDlgCtrlID(window), sent->wParam ? 1 : 0);
                Append(prefix, nullptr);
            }
            break;
        case WM_COMMAND:
            if (IsMain(window)) {
                snprintf(prefix, sizeof(prefix), "command %d", (int)LOWORD(sent->wParam));
                Append(prefix, nullptr);
            }
            break;
        case WM_INITDIALOG:
            if (HasClass(window, L"#32770") && GetDlgItem(window, 0xFFFF)) {
                wchar_t text[1024] = {0};
                GetWindowTextW(GetDlgItem(window, 0xFFFF), text, 1024);
                Append("box ", text);
            }
            break;
        case WM_SHOWWINDOW:
            if (IsMain(window))
                Append(sent->wParam ? "show 1" : "show 0", nullptr);
            break;
        case WM_DESTROY:
            if (IsMain(window))
                Append("destroy", nullptr);
            break;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK TracePostedProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && wParam == PM_REMOVE) {
        const MSG* message = (const MSG*)lParam;
        if (message->message == WM_COMMAND && IsMain(message->hwnd)) {
            char prefix[64];
            snprintf(prefix, sizeof(prefix), "posted-command %d", (int)LOWORD(message->wParam));
            Append(prefix, nullptr);
        }
        if (message->message >= WM_APP + 1 && message->message <= WM_APP + 3 && IsMain(message->hwnd)) {
            char prefix[128];
            long long l = (long long)message->lParam;
            if (message->message == WM_APP + 1)
                l = l ? 1 : 0; // a heap text: only whether there is one
            snprintf(prefix, sizeof(prefix), "posted 0x%x %lld %lld", message->message,
                     (long long)message->wParam, l);
            Append(prefix, nullptr);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
