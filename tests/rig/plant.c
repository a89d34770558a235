/* A planted system DLL for the search-order tests: when any process loads it, it leaves
 * "<its own path>.loaded" holding the loading program's path, and ends that process with code 97,
 * before the program's own entry point could do anything. No C runtime. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    WCHAR marker[MAX_PATH + 8];
    WCHAR program[MAX_PATH];
    DWORD length = GetModuleFileNameW(instance, marker, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        lstrcatW(marker, L".loaded");
        DWORD programLength = GetModuleFileNameW(NULL, program, MAX_PATH);
        HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, program, programLength * sizeof(WCHAR), &written, NULL);
            CloseHandle(file);
        }
    }
    ExitProcess(97);
    return FALSE;
}
