// Test payload program, packed into test packages as "TOVKinemo.exe" (or the sibling's name). When it
// starts it appends one line, "<working directory>|<command line>", as UTF-8 to launch-record.txt in its
// own directory, so tests can tell which executable was started and where.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH], current[MAX_PATH];
    DWORD selfLength = GetModuleFileNameW(nullptr, self, MAX_PATH);
    DWORD currentLength = GetCurrentDirectoryW(MAX_PATH, current);
    if (selfLength == 0 || selfLength >= MAX_PATH || currentLength == 0 || currentLength >= MAX_PATH)
        return 2;
    std::wstring record(self);
    record.resize(record.find_last_of(L'\\') + 1);
    record += L"launch-record.txt";
    std::wstring line = std::wstring(current) + L"|" + GetCommandLineW() + L"\r\n";
    int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), (int)line.size(), nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), (int)line.size(), &bytes[0], size, nullptr, nullptr);
    HANDLE file = CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(file);
    return ok ? 0 : 1;
}
