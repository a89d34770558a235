// Status lines: always to the log, and as a heap copy posted to the window when there is one.
#include "app/app.h"

void ReportStatus(HWND window, const WCHAR* text) {
    AppendLog(text);
    if (!window)
        return;
    UINT32 length = WideLength(text);
    WCHAR* copy = (WCHAR*)HeapAlloc(GetProcessHeap(), 0, ((SIZE_T)length + 1) * sizeof(WCHAR));
    if (!copy)
        return;
    MemoryCopy(copy, text, ((SIZE_T)length + 1) * sizeof(WCHAR));
    // A copy whose post fails (the window is gone) would never be freed by the window: free it here.
    if (!PostMessageW(window, WMU_STATUS, 0, (LPARAM)copy))
        HeapFree(GetProcessHeap(), 0, copy);
}
