// AppMain and the command line: test mode runs the job once on this thread, window mode shows the window.
#include "app/app.h"
#include "job/job.h"
#include "support/libraries.h"
#include <shellapi.h>

UINT64 ParseDecimalCount(const WCHAR* text) {
    UINT64 value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text)
        value = value * 10 + (UINT64)(*text - L'0');
    return value;
}

static void SetChannelFromArgument(const WCHAR* value, char* channel) {
    const char* word = nullptr;
    if (WideEqualsAsciiNoCase(value, L"win7"))
        word = "win7";
    else if (WideEqualsAsciiNoCase(value, L"win10"))
        word = "win10";
    if (word)
        CopyNarrowClearing(channel, 16, word); // any other value is consumed and ignored
}

void ParseCommandLine(int argumentCount, WCHAR** arguments, InstallRequest* request) {
    for (int i = 1; i < argumentCount; ++i) {
        const WCHAR* argument = arguments[i];
        if (WideEqualsAsciiNoCase(argument, L"--test")) {
            request->testMode = 1;
            request->noLaunch = 1;
            request->createShortcut = 0;
            continue;
        }
        if (WideEqualsAsciiNoCase(argument, L"--no-launch")) {
            request->noLaunch = 1;
            continue;
        }
        if (WideEqualsAsciiNoCase(argument, L"--no-shortcut")) {
            request->createShortcut = 0;
            continue;
        }
        if (WideEqualsAsciiNoCase(argument, L"--shortcut")) {
            request->createShortcut = 1;
            continue;
        }
        WCHAR* pathTarget = nullptr;
        int valueOption = 0; // 1 path, 2 count, 3 channel
        if (WideEqualsAsciiNoCase(argument, L"--install-dir")) {
            pathTarget = request->installDir;
        } else if (WideEqualsAsciiNoCase(argument, L"--cache-dir")) {
            pathTarget = request->cacheDir;
        } else if (WideEqualsAsciiNoCase(argument, L"--shortcut-dir")) {
            pathTarget = request->shortcutDir;
        } else if (WideEqualsAsciiNoCase(argument, L"--cancel-after-bytes")) {
            valueOption = 2;
        } else if (WideEqualsAsciiNoCase(argument, L"--manifest")) {
            pathTarget = request->manifestPath;
        } else if (WideEqualsAsciiNoCase(argument, L"--signature")) {
            pathTarget = request->signaturePath;
        } else if (WideEqualsAsciiNoCase(argument, L"--package")) {
            pathTarget = request->packagePath;
        } else if (WideEqualsAsciiNoCase(argument, L"--channel")) {
            valueOption = 3;
        } else {
            continue; // not an option: ignored
        }
        if (pathTarget)
            valueOption = 1;
        if (i + 1 >= argumentCount)
            break; // a value option standing last is ignored
        const WCHAR* value = arguments[++i];
        if (valueOption == 1)
            CopyWideClearing(pathTarget, 260, value);
        else if (valueOption == 2)
            request->cancelAfterBytes = ParseDecimalCount(value);
        else
            SetChannelFromArgument(value, request->channel);
    }
}

int AppMain(HINSTANCE instance) {
    HRESULT comResult = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    // Without comctl32 the window has no progress bar; that is ignored like a failure of the call.
    if (LoadCommonControls())
        commonControls.initCommonControlsEx(&controls);

    InstallRequest request;
    MemoryZero(&request, sizeof(request));
    request.createShortcut = 1;

    int argumentCount = 0;
    WCHAR** arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    if (arguments) {
        ParseCommandLine(argumentCount, arguments, &request);
        LocalFree(arguments);
    }

    if (request.testMode) {
        int result;
        if (request.installDir[0] == 0) {
            AppendLog(L"测试模式缺少 --install-dir。");
            result = 2;
        } else {
            result = RunInstallJob(&request, nullptr, nullptr);
        }
        if (SUCCEEDED(comResult))
            CoUninitialize();
        return result;
    }
    return RunWindowMode(instance, comResult);
}
