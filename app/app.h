// Application shell: process entry, command line, install request, main window, status messages.
#pragma once

#include "support/support.h"
#include <objbase.h>

// The settings of one run. Copied by value; an all-zero record is a valid request.
struct InstallRequest {
    WCHAR installDir[260];
    WCHAR cacheDir[260];
    WCHAR shortcutDir[260];
    WCHAR manifestPath[260];
    WCHAR signaturePath[260];
    WCHAR packagePath[260];
    UINT32 createShortcut;
    UINT32 noLaunch;
    UINT32 testMode;
    UINT64 cancelAfterBytes;
    char channel[16];
};

// Private window messages, always posted.
static const UINT WMU_STATUS = WM_APP + 1;
static const UINT WMU_PROGRESS = WM_APP + 2;
static const UINT WMU_DONE = WM_APP + 3;

// Control ids of the main window.
static const int IDC_INSTALL_DIR = 1001;
static const int IDC_BROWSE = 1002;
static const int IDC_SHORTCUT = 1003;
static const int IDC_START = 1004;
static const int IDC_CANCEL = 1005;
static const int IDC_PROGRESS = 1006;
static const int IDC_STATUS = 1007;

// The one global record of window mode.
struct AppState {
    HWND mainWindow;
    HWND installDirEdit;
    HWND browseButton;
    HWND shortcutCheck;
    HWND startButton;
    HWND cancelButton;
    HWND progressBar;
    HWND statusText;
    HANDLE workerThread;
    InstallRequest request;
    volatile LONG cancelRequested;
};

extern "C" void ProcessEntry(void);
int AppMain(HINSTANCE instance);
void ParseCommandLine(int argumentCount, WCHAR** arguments, InstallRequest* request);
// Parses a decimal count: leading digits only, wrapping modulo 2^64.
UINT64 ParseDecimalCount(const WCHAR* text);

// Window mode, the second half of AppMain. comResult is the COM initialisation result to undo.
int RunWindowMode(HINSTANCE instance, HRESULT comResult);

// Main window (app/window.cpp).
enum RunOutcome { RUN_SUCCEEDED, RUN_CANCELLED, RUN_FAILED };
// Fills the request for a window run from the edit box text and the check box; FALSE (request
// untouched) when the text is empty.
BOOL FillWindowRequest(InstallRequest* request, const WCHAR* directoryText, BOOL shortcutChecked);
// "<folder>\TOV Kinemo" into a PATH_CAPACITY buffer; FALSE (buffer empty, ERROR_FILENAME_EXCED_RANGE)
// when it does not fit whole.
BOOL ComposeInstallDir(WCHAR* output, const WCHAR* folder);
// What the end of a run shows, from WMU_DONE's job result and failure code.
RunOutcome DecideRunOutcome(WPARAM jobResult, LPARAM failureCode);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void SetControlsEnabled(BOOL enabled);
BOOL CALLBACK SetChildFont(HWND child, LPARAM font);
DWORD WINAPI JobThreadProc(LPVOID parameter);

void ReportStatus(HWND window, const WCHAR* text);
