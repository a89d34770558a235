// Windows driver for the download integration tests: runs the program's own request layer, fetch and
// package download (real WinHTTP under Wine) and prints one JSON line with what happened.
//
//   dltool request URL [HEADER-LINE]          open and send; status, handles left on failure
//   dltool probes N URL [HEADER-LINE]        open, send and close N times; the seconds and status of each
//   dltool fetch URL OUTFILE                  FetchUrlToBuffer; the body is written to OUTFILE
//   dltool download --url U --sha H --size N --version V --channel C --cache DIR
//                   [--cancel-after N] [--cancel-preset] [--window]
//                                             DownloadPackage; with --window the posted percents and
//                                             status texts of a message-only window are listed
// With TOV_DLTOOL_TEMP set (a Windows path ending in a backslash) the log goes to that directory.
#include "download/download.h"
#include "app/app.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, nullptr, nullptr);
    return out;
}

std::string Quoted(const std::wstring& text) {
    std::string out = "\"";
    for (char c : Utf8(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if ((unsigned char)c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", (unsigned char)c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void Print(const std::string& json) {
    std::fwrite(json.data(), 1, json.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Turns the two characters "\r\n" written literally on a command line into CR LF.
std::wstring Unescape(const wchar_t* text) {
    std::wstring out;
    for (const wchar_t* p = text; *p; ++p) {
        if (p[0] == L'\\' && p[1] == L'r') {
            out += L'\r';
            ++p;
        } else if (p[0] == L'\\' && p[1] == L'n') {
            out += L'\n';
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

int Request(int argc, wchar_t** argv) {
    if (argc < 3)
        return 64;
    std::wstring header = argc > 3 ? Unescape(argv[3]) : std::wstring();
    HINTERNET session = (HINTERNET)1, connection = (HINTERNET)1, request = (HINTERNET)1;
    SetLastError(0);
    BOOL opened =
        OpenHttpRequest(argv[2], argc > 3 ? header.c_str() : nullptr, &session, &connection, &request);
    DWORD openError = opened ? 0 : GetLastError();
    bool handlesNull = session == nullptr && connection == nullptr && request == nullptr;
    DWORD status = 0;
    BOOL sent = FALSE;
    DWORD sendError = 0;
    if (opened) {
        sent = SendHttpRequest(request, &status);
        if (!sent)
            sendError = GetLastError();
        CloseHttpHandles(session, connection, request);
    }
    char line[256];
    std::snprintf(line, sizeof(line),
                  "{\"opened\":%d,\"openError\":%lu,\"handlesNull\":%d,\"sent\":%d,\"sendError\":%lu,"
                  "\"status\":%lu}",
                  opened ? 1 : 0, openError, handlesNull ? 1 : 0, sent ? 1 : 0, sendError, status);
    Print(line);
    return 0;
}

// The request layer's open, send and close N times in one process, each timed: the first pays the
// process's one-time TLS set-up, the others show what a probe itself costs.
int Probes(int argc, wchar_t** argv) {
    if (argc < 4)
        return 64;
    int count = _wtoi(argv[2]);
    std::wstring header = argc > 4 ? Unescape(argv[4]) : std::wstring();
    std::string out = "{\"seconds\":[";
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    for (int i = 0; i < count; ++i) {
        QueryPerformanceCounter(&start);
        HINTERNET session = nullptr, connection = nullptr, request = nullptr;
        DWORD status = 0;
        if (OpenHttpRequest(argv[3], argc > 4 ? header.c_str() : nullptr, &session, &connection, &request)) {
            SendHttpRequest(request, &status);
            CloseHttpHandles(session, connection, request);
        }
        QueryPerformanceCounter(&end);
        char item[64];
        std::snprintf(item, sizeof(item), "%s[%.4f,%lu]", i ? "," : "",
                      (double)(end.QuadPart - start.QuadPart) / frequency.QuadPart, status);
        out += item;
    }
    Print(out + "]}");
    return 0;
}

int Fetch(int argc, wchar_t** argv) {
    if (argc < 4)
        return 64;
    BYTE* buffer = (BYTE*)1;
    UINT32 length = 77;
    SetLastError(0);
    BOOL ok = FetchUrlToBuffer(argv[2], &buffer, &length);
    DWORD error = ok ? 0 : GetLastError();
    bool terminated = ok && buffer && buffer[length] == 0;
    if (ok) {
        FILE* out = _wfopen(argv[3], L"wb");
        if (out) {
            std::fwrite(buffer, 1, length, out);
            std::fclose(out);
        }
        HeapFree(GetProcessHeap(), 0, buffer);
    }
    char line[256];
    std::snprintf(line, sizeof(line),
                  "{\"ok\":%d,\"error\":%lu,\"length\":%u,\"bufferNull\":%d,\"terminated\":%d}", ok ? 1 : 0,
                  error, length, buffer == nullptr ? 1 : 0, terminated ? 1 : 0);
    Print(line);
    return 0;
}

int Download(int argc, wchar_t** argv) {
    ManifestEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    std::wstring cache, upgradeDir;
    std::string channel = "win10";
    UINT64 cancelAfter = 0;
    bool cancelPreset = false, useWindow = false;
    for (int i = 2; i < argc; ++i) {
        std::wstring name = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : L"";
        if (name == L"--cancel-preset") {
            cancelPreset = true;
            continue;
        }
        if (name == L"--window") {
            useWindow = true;
            continue;
        }
        ++i;
        std::string narrow = Utf8(value);
        if (name == L"--url") {
            wcsncpy(entry.urlWide, value, 2047);
            std::strncpy(entry.url, narrow.c_str(), 2047);
        } else if (name == L"--sha") {
            std::strncpy(entry.sha256, narrow.c_str(), 64);
        } else if (name == L"--size") {
            entry.sizeBytes = std::wcstoull(value, nullptr, 10);
        } else if (name == L"--version") {
            std::strncpy(entry.latestVersion, narrow.c_str(), 31);
        } else if (name == L"--channel") {
            channel = narrow;
        } else if (name == L"--cache") {
            cache = value;
        } else if (name == L"--upgrade-dir") {
            upgradeDir = value;
        } else if (name == L"--reuse") {
            entry.reuse = narrow == "true";
        } else if (name == L"--cancel-after") {
            cancelAfter = std::wcstoull(value, nullptr, 10);
        } else {
            return 64;
        }
    }

    HWND window = nullptr;
    if (useWindow) {
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        if (!window)
            return 65;
    }
    volatile LONG cancelFlag = cancelPreset ? 1 : 0;
    WCHAR packagePath[260];
    packagePath[0] = 0;
    SetLastError(0);
    BOOL ok =
        DownloadPackage(&entry, channel.c_str(), cache.c_str(), window, cancelPreset ? &cancelFlag : nullptr,
                        cancelAfter, packagePath, upgradeDir.empty() ? nullptr : upgradeDir.c_str());
    DWORD error = ok ? 0 : GetLastError();

    std::string percents = "[", texts = "[";
    if (window) {
        MSG message;
        while (PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
            if (message.message == WMU_PROGRESS) {
                if (percents.size() > 1)
                    percents += ",";
                percents += std::to_string((int)message.wParam);
            } else if (message.message == WMU_STATUS) {
                if (texts.size() > 1)
                    texts += ",";
                texts += Quoted((const WCHAR*)message.lParam);
                HeapFree(GetProcessHeap(), 0, (void*)message.lParam);
            }
        }
        DestroyWindow(window);
    }
    percents += "]";
    texts += "]";
    Print("{\"ok\":" + std::to_string(ok ? 1 : 0) + ",\"error\":" + std::to_string(error) +
          ",\"path\":" + Quoted(packagePath) + ",\"percents\":" + percents + ",\"texts\":" + texts + "}");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return 64;
    // Status lines go to the log in the temporary directory; the tests give this driver its own, so
    // that other suites sharing the prefix never see its lines.
    const wchar_t* logDir = _wgetenv(L"TOV_DLTOOL_TEMP");
    if (logDir && *logDir)
        SetEnvironmentVariableW(L"TMP", logDir);
    std::wstring command = argv[1];
    if (command == L"request")
        return Request(argc, argv);
    if (command == L"fetch")
        return Fetch(argc, argv);
    if (command == L"probes")
        return Probes(argc, argv);
    if (command == L"download")
        return Download(argc, argv);
    return 64;
}
