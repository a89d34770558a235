// Window mode: the main window, its controls, and the one worker thread that runs the install job.
// Only the UI thread touches windows; the worker and the download threads reach the window by posting.
#include "app/app.h"
#include "job/job.h"
#include <commctrl.h>
#include <shlobj.h>

static const WCHAR WINDOW_CLASS[] = L"TOVKinemoDownloaderWindow";
static const WCHAR WINDOW_TITLE[] = L"TOV Kinemo Downloader";
static const DWORD MAIN_WINDOW_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX; // 0x00CA0000
static const int MAIN_WINDOW_WIDTH = 650;
static const int MAIN_WINDOW_HEIGHT = 300;
static const DWORD CLOSE_WAIT_MILLISECONDS = 35000;
static const UINT BROWSE_FLAGS = 0x51;          // BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE
static const int LOCAL_APPDATA_CREATE = 0x801C; // CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE

// The program's one global variable: zeroed when window mode begins.
static AppState appState;

// The child controls, in creation order.
struct ControlSpec {
    const WCHAR* className;
    const WCHAR* text;
    int id;
    int x, y, width, height;
    DWORD style;
    DWORD extendedStyle;
};

static const ControlSpec CONTROLS[] = {
    {L"STATIC", L"安装目录：", 0, 24, 28, 90, 24, WS_CHILD | WS_VISIBLE, 0},
    {L"EDIT", L"", IDC_INSTALL_DIR, 105, 24, 405, 27, WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
     WS_EX_CLIENTEDGE},
    {L"BUTTON", L"浏览…", IDC_BROWSE, 520, 23, 90, 29, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0},
    {L"BUTTON", L"在桌面创建快捷方式", IDC_SHORTCUT, 105, 67, 250, 26,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0},
    {PROGRESS_CLASSW, L"", IDC_PROGRESS, 24, 112, 586, 24, WS_CHILD | WS_VISIBLE, 0},
    {L"STATIC", L"", IDC_STATUS, 24, 149, 586, 48, WS_CHILD | WS_VISIBLE | SS_LEFT, 0},
    {L"BUTTON", L"开始下载", IDC_START, 405, 207, 100, 32,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
    {L"BUTTON", L"取消", IDC_CANCEL, 510, 207, 100, 32, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
     0},
};

// ---- decisions, as functions of values ----

BOOL FillWindowRequest(InstallRequest* request, const WCHAR* directoryText, BOOL shortcutChecked) {
    if (directoryText[0] == 0)
        return FALSE; // spaces alone count as a directory
    MemoryZero(request, sizeof(*request));
    CopyWideClearing(request->installDir, PATH_CAPACITY, directoryText);
    request->createShortcut = shortcutChecked ? 1 : 0;
    return TRUE;
}

BOOL ComposeInstallDir(WCHAR* output, const WCHAR* folder) {
    // The separator is added blindly: a drive root gives a doubled backslash.
    return ComposePath(output, PATH_CAPACITY, L"%s\\TOV Kinemo", folder);
}

RunOutcome DecideRunOutcome(WPARAM jobResult, LPARAM failureCode) {
    if (jobResult == 0)
        return RUN_SUCCEEDED;
    if ((DWORD)failureCode == ERROR_CANCELLED)
        return RUN_CANCELLED;
    return RUN_FAILED;
}

// ---- the window ----

static void ShowBox(HWND owner, const WCHAR* text, UINT type) {
    MessageBoxW(owner, text, WINDOW_TITLE, type);
}

void SetControlsEnabled(BOOL enabled) {
    EnableWindow(appState.installDirEdit, enabled);
    EnableWindow(appState.browseButton, enabled);
    EnableWindow(appState.shortcutCheck, enabled);
    EnableWindow(appState.startButton, enabled);
    EnableWindow(appState.cancelButton, !enabled);
}

BOOL CALLBACK SetChildFont(HWND child, LPARAM font) {
    SendMessageW(child, WM_SETFONT, (WPARAM)font, TRUE);
    return TRUE;
}

DWORD WINAPI JobThreadProc(LPVOID parameter) {
    AppState* state = (AppState*)parameter;
    // The launch's ShellExecuteW may run the verb through shell extensions, which need COM on this thread.
    HRESULT comResult = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    int result = RunInstallJob(&state->request, state->mainWindow, &state->cancelRequested);
    DWORD code = GetLastError();
    if (SUCCEEDED(comResult))
        CoUninitialize();
    PostMessageW(state->mainWindow, WMU_DONE, (WPARAM)result, (LPARAM)code);
    return (DWORD)result;
}

static void StartRun(void) {
    // The start button is disabled during a run; a start that still arrives (a posted command) must not
    // rewrite the request the running job reads, nor start a second worker.
    if (appState.workerThread)
        return;
    WCHAR directory[PATH_CAPACITY];
    directory[0] = 0;
    GetWindowTextW(appState.installDirEdit, directory, PATH_CAPACITY);
    directory[PATH_CAPACITY - 1] = 0;
    BOOL checked = SendMessageW(appState.shortcutCheck, BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (!FillWindowRequest(&appState.request, directory, checked)) {
        ShowBox(appState.mainWindow, L"请选择安装目录。", MB_ICONWARNING);
        return;
    }
    AtomicSet32(&appState.cancelRequested, 0);
    SendMessageW(appState.progressBar, PBM_SETPOS, 0, 0);
    SetWindowTextW(appState.statusText, L"正在准备首次下载…");
    SetControlsEnabled(FALSE);
    appState.workerThread = CreateThread(nullptr, 0, JobThreadProc, &appState, 0, nullptr);
    if (!appState.workerThread) {
        SetControlsEnabled(TRUE);
        ShowBox(appState.mainWindow, L"无法启动下载任务。", MB_ICONERROR);
    }
}

static void BrowseForDirectory(void) {
    BROWSEINFOW browse;
    MemoryZero(&browse, sizeof(browse));
    browse.hwndOwner = appState.mainWindow;
    browse.lpszTitle = L"请选择 TOV Kinemo 安装目录";
    browse.ulFlags = BROWSE_FLAGS;
    PIDLIST_ABSOLUTE items = SHBrowseForFolderW(&browse);
    if (!items)
        return;
    WCHAR folder[MAX_PATH];
    if (SHGetPathFromIDListW(items, folder)) {
        // A folder too long for "<folder>\TOV Kinemo" leaves the edit box unchanged.
        WCHAR directory[PATH_CAPACITY];
        if (ComposeInstallDir(directory, folder))
            SetWindowTextW(appState.installDirEdit, directory);
    }
    CoTaskMemFree(items);
}

static void CloseDuringRun(HWND window) {
    int answer =
        MessageBoxW(window, L"下载正在进行。确定取消并关闭吗？", WINDOW_TITLE, MB_YESNO | MB_ICONQUESTION);
    if (answer != IDYES)
        return;
    AtomicSet32(&appState.cancelRequested, 1);
    ShowWindow(window, SW_HIDE);
    // The run may have ended while the question was open; then there is nothing left to wait for.
    if (appState.workerThread)
        WaitForSingleObject(appState.workerThread, CLOSE_WAIT_MILLISECONDS);
    DestroyWindow(window);
}

static void EndRun(HWND window, WPARAM jobResult, LPARAM failureCode) {
    if (appState.workerThread) {
        CloseHandle(appState.workerThread);
        appState.workerThread = nullptr;
    }
    SetControlsEnabled(TRUE);
    RunOutcome outcome = DecideRunOutcome(jobResult, failureCode);
    if (outcome == RUN_SUCCEEDED) {
        ShowBox(window, L"TOV Kinemo 已下载并安装完成。", MB_ICONINFORMATION);
    } else if (outcome == RUN_FAILED) {
        WCHAR text[ERROR_TEXT_CAPACITY];
        FormatErrorText(text, L"下载或安装失败", (DWORD)failureCode);
        ShowBox(window, text, MB_ICONERROR);
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_CANCEL:
            AtomicSet32(&appState.cancelRequested, 1);
            EnableWindow(appState.cancelButton, FALSE);
            SetWindowTextW(appState.statusText, L"正在取消…");
            return 0;
        case IDC_START:
            StartRun();
            return 0;
        case IDC_BROWSE:
            BrowseForDirectory();
            return 0;
        }
        break;
    case WM_CLOSE:
        if (appState.workerThread)
            CloseDuringRun(window);
        else
            DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WMU_STATUS:
        if (lParam) {
            SetWindowTextW(appState.statusText, (const WCHAR*)lParam);
            HeapFree(GetProcessHeap(), 0, (void*)lParam);
        }
        return 0;
    case WMU_PROGRESS:
        SendMessageW(appState.progressBar, PBM_SETPOS, wParam, 0);
        return 0;
    case WMU_DONE:
        EndRun(window, wParam, lParam);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static void CreateControls(HINSTANCE instance) {
    HWND* handles[] = {nullptr,
                       &appState.installDirEdit,
                       &appState.browseButton,
                       &appState.shortcutCheck,
                       &appState.progressBar,
                       &appState.statusText,
                       &appState.startButton,
                       &appState.cancelButton};
    for (UINT32 i = 0; i < sizeof(CONTROLS) / sizeof(CONTROLS[0]); ++i) {
        const ControlSpec* spec = &CONTROLS[i];
        HWND control = CreateWindowExW(spec->extendedStyle, spec->className, spec->text, spec->style, spec->x,
                                       spec->y, spec->width, spec->height, appState.mainWindow,
                                       (HMENU)(INT_PTR)spec->id, instance, nullptr);
        if (handles[i])
            *handles[i] = control;
        if (spec->id == IDC_SHORTCUT)
            SendMessageW(control, BM_SETCHECK, BST_CHECKED, 0);
        if (spec->id == IDC_PROGRESS)
            SendMessageW(control, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        if (spec->id == IDC_CANCEL)
            EnableWindow(control, FALSE);
    }
}

int RunWindowMode(HINSTANCE instance, HRESULT comResult) {
    MemoryZero(&appState, sizeof(appState));

    HICON largeIcon =
        (HICON)LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                          GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR);
    if (!largeIcon)
        largeIcon = LoadIconW(nullptr, IDI_APPLICATION);
    HICON smallIcon =
        (HICON)LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                          GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
    if (!smallIcon)
        smallIcon = largeIcon;

    WNDCLASSEXW windowClass;
    MemoryZero(&windowClass, sizeof(windowClass));
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = largeIcon;
    windowClass.hIconSm = smallIcon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(INT_PTR)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = WINDOW_CLASS;
    if (RegisterClassExW(&windowClass)) {
        appState.mainWindow =
            CreateWindowExW(0, WINDOW_CLASS, WINDOW_TITLE, MAIN_WINDOW_STYLE, CW_USEDEFAULT, CW_USEDEFAULT,
                            MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
    }
    if (!appState.mainWindow) {
        ShowBox(nullptr, L"无法创建首次下载器窗口。", MB_ICONERROR);
        if (SUCCEEDED(comResult))
            CoUninitialize();
        return 1;
    }

    CreateControls(instance);
    EnumChildWindows(appState.mainWindow, SetChildFont, (LPARAM)GetStockObject(DEFAULT_GUI_FONT));

    WCHAR folder[MAX_PATH];
    if (SHGetFolderPathW(nullptr, LOCAL_APPDATA_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK) {
        // A folder too long for "<folder>\TOV Kinemo" proposes nothing: the edit box stays empty.
        WCHAR directory[PATH_CAPACITY];
        if (ComposeInstallDir(directory, folder))
            SetWindowTextW(appState.installDirEdit, directory);
    }

    ShowWindow(appState.mainWindow, SW_SHOW);
    UpdateWindow(appState.mainWindow);

    // The loop ends on the quit message (exit code its wParam, 0) or when GetMessageW fails (-1): the
    // window can then no longer be served, and the process reports that with exit code 1.
    int exitCode = 0;
    MSG message;
    for (;;) {
        BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            exitCode = (int)message.wParam;
            break;
        }
        if (got == -1) {
            exitCode = 1;
            break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (SUCCEEDED(comResult))
        CoUninitialize();
    return exitCode;
}
