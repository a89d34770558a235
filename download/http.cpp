// The HTTP request layer: every network access is one synchronous HTTPS GET through WinHTTP with fixed
// client settings. Callers judge the status and read the body themselves.
#include "download/download.h"

static const UINT32 HOST_CAPACITY = 512;
static const UINT32 URL_PATH_CAPACITY = 4096;
static const UINT32 EXTRA_INFO_CAPACITY = 2048;
static const UINT32 OBJECT_NAME_CAPACITY = 6144;

static const int RESOLVE_TIMEOUT_MS = 15000;
static const int CONNECT_TIMEOUT_MS = 15000;
static const int SEND_TIMEOUT_MS = 30000;
static const int RECEIVE_TIMEOUT_MS = 30000;

// Cuts a cracked component at its reported length; a length that does not fit the buffer is refused.
static BOOL TerminateComponent(WCHAR* buffer, UINT32 capacity, DWORD length) {
    if (length >= capacity)
        return FALSE;
    buffer[length] = 0;
    return TRUE;
}

BOOL OpenHttpRequest(const WCHAR* url, const WCHAR* extraHeaders, HINTERNET* session, HINTERNET* connection,
                     HINTERNET* request) {
    *session = nullptr;
    *connection = nullptr;
    *request = nullptr;
    if (!LoadWinHttp())
        return FALSE;

    // Large component buffers: the caller's stack is 16 MiB, so these stay local.
    WCHAR host[HOST_CAPACITY];
    WCHAR path[URL_PATH_CAPACITY];
    WCHAR extra[EXTRA_INFO_CAPACITY];
    host[0] = 0;
    path[0] = 0;
    extra[0] = 0;

    URL_COMPONENTS parts;
    MemoryZero(&parts, sizeof(parts));
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = HOST_CAPACITY;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = URL_PATH_CAPACITY;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = EXTRA_INFO_CAPACITY;

    // Only https URLs are ever requested; anything else is refused before the network is touched.
    if (!url || !winHttp.crackUrl(url, 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS ||
        !TerminateComponent(host, HOST_CAPACITY, parts.dwHostNameLength) ||
        !TerminateComponent(path, URL_PATH_CAPACITY, parts.dwUrlPathLength) ||
        !TerminateComponent(extra, EXTRA_INFO_CAPACITY, parts.dwExtraInfoLength)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // The query (and fragment) travels as part of the object name.
    WCHAR objectName[OBJECT_NAME_CAPACITY];
    FormatText(objectName, OBJECT_NAME_CAPACITY, L"%s%s", path, extra);

    HINTERNET openedSession = winHttp.open(USER_AGENT, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!openedSession)
        return FALSE;

    // Best effort: a platform that refuses one of these still gets its own defaults.
    winHttp.setTimeouts(openedSession, RESOLVE_TIMEOUT_MS, CONNECT_TIMEOUT_MS, SEND_TIMEOUT_MS,
                        RECEIVE_TIMEOUT_MS);
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    winHttp.setOption(openedSession, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    winHttp.setOption(openedSession, WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy, sizeof(redirectPolicy));
    // The wait for the response head is a separate setting (90 s on Windows, unbounded under Wine):
    // bound it like every other receive, or a server that never answers holds a segment forever.
    DWORD responseTimeout = RECEIVE_TIMEOUT_MS;
    winHttp.setOption(openedSession, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                      sizeof(responseTimeout));

    HINTERNET openedConnection = winHttp.connect(openedSession, host, parts.nPort, 0);
    if (!openedConnection) {
        DWORD code = GetLastError();
        winHttp.closeHandle(openedSession);
        SetLastError(code);
        return FALSE;
    }

    HINTERNET openedRequest =
        winHttp.openRequest(openedConnection, L"GET", objectName, nullptr, WINHTTP_NO_REFERER,
                            WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (!openedRequest) {
        DWORD code = GetLastError();
        winHttp.closeHandle(openedConnection);
        winHttp.closeHandle(openedSession);
        SetLastError(code);
        return FALSE;
    }

    if (extraHeaders && !winHttp.addRequestHeaders(openedRequest, extraHeaders, (DWORD)-1L,
                                                   WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
        DWORD code = GetLastError();
        CloseHttpHandles(openedSession, openedConnection, openedRequest);
        SetLastError(code);
        return FALSE;
    }

    *session = openedSession;
    *connection = openedConnection;
    *request = openedRequest;
    return TRUE;
}

BOOL SendHttpRequest(HINTERNET request, DWORD* statusCode) {
    if (!winHttp.sendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return FALSE;
    if (!winHttp.receiveResponse(request, nullptr))
        return FALSE;
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!winHttp.queryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX))
        return FALSE;
    *statusCode = status;
    return TRUE;
}

void CloseHttpHandles(HINTERNET session, HINTERNET connection, HINTERNET request) {
    if (request)
        winHttp.closeHandle(request);
    if (connection)
        winHttp.closeHandle(connection);
    if (session)
        winHttp.closeHandle(session);
}

DWORD HttpStatusFailureCode(DWORD statusCode) {
    // A resource that is not there reads as a missing file; any other unexpected answer as a bad response.
    if (statusCode == 404 || statusCode == 410)
        return ERROR_FILE_NOT_FOUND;
    return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
}
