// Drives the downloader's main window from outside, the way a user would: finds it by class, reads
// controls, clicks buttons, answers message boxes. One command per run; results as "key=value" lines
// (UTF-8, with \n \r \\ escaped) on stdout. Exit code 0 on success, 1 on a timeout or missing window,
// 2 when a message box was asked for and none is open, 64 on a usage error.
// Messages to the downloader's windows are sent with a time limit, so a UI thread that blocks (the wait
// after a confirmed close) cannot hang the driver.
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>
#include <wctype.h>

static const wchar_t MAIN_CLASS[] = L"TOVKinemoDownloaderWindow";
static const int CONTROL_IDS[] = {1001, 1002, 1003, 1004, 1005, 1006, 1007};

static std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, nullptr, nullptr);
    return out;
}

static std::string Escaped(const std::wstring& text) {
    std::string out;
    for (char c : Utf8(text)) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

static void Line(const std::string& key, const std::string& value) {
    std::string line = key + "=" + value + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
}

static std::string Hex(unsigned long long value) {
    char buffer[32];
    snprintf(buffer, sizeof(buffer), "0x%llx", value);
    return buffer;
}

static std::string Number(long long value) {
    return std::to_string(value);
}

// Text of a window in this or another process (WM_GETTEXT reaches across processes).
static LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result)) {
        fprintf(stderr, "no answer to message 0x%x\n", message);
        exit(3);
    }
    return (LRESULT)result;
}

static std::wstring TextOf(HWND window) {
    LRESULT length = Send(window, WM_GETTEXTLENGTH, 0, 0);
    std::vector<wchar_t> buffer((size_t)length + 2, L'\0');
    Send(window, WM_GETTEXT, (WPARAM)buffer.size(), (LPARAM)buffer.data());
    return std::wstring(buffer.data());
}

static std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {0};
    GetClassNameW(window, name, 256);
    return name;
}

static HWND MainWindow() {
    return FindWindowW(MAIN_CLASS, nullptr);
}

struct BoxSearch {
    DWORD processId;
    HWND found;
};

static BOOL CALLBACK FindBoxProc(HWND window, LPARAM parameter) {
    BoxSearch* search = (BoxSearch*)parameter;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->processId && IsWindowVisible(window) && ClassOf(window) == L"#32770") {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// A visible dialog of the downloader's process: its message boxes (and the folder picker).
static HWND FindBox() {
    HWND main = MainWindow();
    if (!main)
        return nullptr;
    BoxSearch search = {0, nullptr};
    GetWindowThreadProcessId(main, &search.processId);
    EnumWindows(FindBoxProc, (LPARAM)&search);
    return search.found;
}

static BOOL CALLBACK ListChildProc(HWND child, LPARAM parameter) {
    ((std::vector<HWND>*)parameter)->push_back(child);
    return TRUE;
}

static std::string RectText(HWND window, HWND relativeTo) {
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(HWND_DESKTOP, relativeTo, (POINT*)&rect, 2);
    return Number(rect.left) + "," + Number(rect.top) + "," + Number(rect.right - rect.left) + "," +
           Number(rect.bottom - rect.top);
}

// A dialog of the downloader: caption, owner, the message text (static 0xFFFF), visible buttons, whether
// it shows an icon, and every child as "class|id|text".
static void PrintBox(HWND box) {
    Line("box", "1");
    Line("box.caption", Escaped(TextOf(box)));
    HWND text = GetDlgItem(box, 0xFFFF);
    Line("box.text", text ? Escaped(TextOf(text)) : "");
    HWND owner = GetWindow(box, GW_OWNER);
    Line("box.owned", owner && owner == MainWindow() ? "1" : "0");
    std::vector<HWND> children;
    EnumChildWindows(box, ListChildProc, (LPARAM)&children);
    std::string buttons, icon = "0";
    for (HWND child : children) {
        std::wstring kind = ClassOf(child);
        int id = GetDlgCtrlID(child);
        bool visible = IsWindowVisible(child) != 0;
        if (kind == L"Button" && visible) {
            if (!buttons.empty())
                buttons += ",";
            buttons += Number(id);
        }
        // The box's icon is a static with SS_ICON holding an icon image.
        if (kind == L"Static" && visible && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
            Send(child, STM_GETICON, 0, 0) != 0)
            icon = "1";
        if (visible)
            Line("box.child", Escaped(kind) + "|" + Number(id) + "|" + Escaped(TextOf(child)));
    }
    Line("box.buttons", buttons);
    Line("box.icon", icon);
}

static void PrintControl(HWND main, int id) {
    std::string key = "ctl." + Number(id);
    HWND control = GetDlgItem(main, id);
    if (!control) {
        Line(key + ".found", "0");
        return;
    }
    Line(key + ".found", "1");
    Line(key + ".class", Escaped(ClassOf(control)));
    Line(key + ".text", Escaped(TextOf(control)));
    Line(key + ".enabled", IsWindowEnabled(control) ? "1" : "0");
    Line(key + ".visible", IsWindowVisible(control) ? "1" : "0");
    Line(key + ".rect", RectText(control, main));
    Line(key + ".style", Hex((DWORD)GetWindowLongW(control, GWL_STYLE)));
    Line(key + ".exstyle", Hex((DWORD)GetWindowLongW(control, GWL_EXSTYLE)));
}

static int PrintState() {
    HWND main = MainWindow();
    Line("found", main ? "1" : "0");
    if (!main)
        return 1;
    RECT outer, client;
    GetWindowRect(main, &outer);
    GetClientRect(main, &client);
    DWORD processId = 0;
    DWORD threadId = GetWindowThreadProcessId(main, &processId);
    Line("pid", Number(processId));
    Line("hwnd", Hex((ULONG_PTR)main));
    Line("tid", Number(threadId));
    Line("title", Escaped(TextOf(main)));
    Line("visible", IsWindowVisible(main) ? "1" : "0");
    Line("style", Hex((DWORD)GetWindowLongW(main, GWL_STYLE)));
    Line("exstyle", Hex((DWORD)GetWindowLongW(main, GWL_EXSTYLE)));
    Line("size", Number(outer.right - outer.left) + "," + Number(outer.bottom - outer.top));
    Line("client", Number(client.right) + "," + Number(client.bottom));
    Line("classstyle", Hex((DWORD)GetClassLongW(main, GCL_STYLE)));
    // Children in creation order (Z order of siblings without explicit placement).
    std::string order;
    for (HWND child = GetWindow(main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!order.empty())
            order += ",";
        order += Number(GetDlgCtrlID(child));
        if (GetDlgCtrlID(child) == 0) {
            Line("label.class", Escaped(ClassOf(child)));
            Line("label.text", Escaped(TextOf(child)));
            Line("label.rect", RectText(child, main));
            Line("label.style", Hex((DWORD)GetWindowLongW(child, GWL_STYLE)));
            Line("label.exstyle", Hex((DWORD)GetWindowLongW(child, GWL_EXSTYLE)));
            Line("label.enabled", IsWindowEnabled(child) ? "1" : "0");
        }
    }
    Line("children", order);
    for (int id : CONTROL_IDS)
        PrintControl(main, id);
    HWND check = GetDlgItem(main, 1003);
    HWND progress = GetDlgItem(main, 1006);
    if (check)
        Line("check", Number(Send(check, BM_GETCHECK, 0, 0)));
    if (progress) {
        Line("progress", Number(Send(progress, PBM_GETPOS, 0, 0)));
        Line("progress.range", Number(Send(progress, PBM_GETRANGE, TRUE, 0)) + "," +
                                   Number(Send(progress, PBM_GETRANGE, FALSE, 0)));
    }
    HWND box = FindBox();
    if (box)
        PrintBox(box);
    else
        Line("box", "0");
    return 0;
}

static bool WaitFor(DWORD timeoutMs, bool (*condition)()) {
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
}

static bool MainShown() {
    HWND main = MainWindow();
    return main && IsWindowVisible(main);
}
static bool MainGone() {
    return MainWindow() == nullptr;
}
static bool BoxOpen() {
    return FindBox() != nullptr;
}

static bool Click(HWND button) {
    if (!button)
        return false;
    // Posted, so that a modal box opened by the click does not block the driver.
    return PostMessageW(button, BM_CLICK, 0, 0) != 0;
}

static std::wstring FromHexUtf8(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += (char)strtoul(hex.substr(i, 2).c_str(), nullptr, 16);
    if (bytes.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), (int)bytes.size(), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), (int)bytes.size(), &out[0], size);
    return out;
}

// Installs the trace hooks (trace_hook.dll) on the main window's thread and keeps them installed until
// the window is gone: hooks end with the thread that set them.
static int Hook(const wchar_t* dllPath) {
    HWND main = MainWindow();
    if (!main) {
        fprintf(stderr, "hook: no main window\n");
        return 1;
    }
    DWORD threadId = GetWindowThreadProcessId(main, nullptr);
    HMODULE module = LoadLibraryW(dllPath);
    if (!module) {
        fprintf(stderr, "hook: cannot load the hook library (%lu)\n", GetLastError());
        return 1;
    }
    HOOKPROC sent = (HOOKPROC)(void*)GetProcAddress(module, "TraceSentProc");
    HOOKPROC posted = (HOOKPROC)(void*)GetProcAddress(module, "TracePostedProc");
    HHOOK first = sent ? SetWindowsHookExW(WH_CALLWNDPROCRET, sent, module, threadId) : nullptr;
    HHOOK second = posted ? SetWindowsHookExW(WH_GETMESSAGE, posted, module, threadId) : nullptr;
    if (!first || !second) {
        fprintf(stderr, "hook: cannot set the hooks on thread %lu (%lu)\n", threadId, GetLastError());
        return 1;
    }
    Line("hooked", "1");
    fflush(stdout);
    while (IsWindow(main)) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
        Sleep(50);
    }
    UnhookWindowsHookEx(first);
    UnhookWindowsHookEx(second);
    return 0;
}

// The executable's resources: how many icon groups and manifests it has, every image of icon group 1
// with its size, bit depth and whether it is stored as PNG, and whether the system loads the icon at the
// large and small icon sizes.
static int IconInfo(const wchar_t* exePath) {
    HMODULE module =
        LoadLibraryExW(exePath, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module)
        return 1;
    int groups = 0;
    EnumResourceNamesW(
        module, RT_GROUP_ICON,
        [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) -> BOOL {
            ++*(int*)count;
            return TRUE;
        },
        (LONG_PTR)&groups);
    Line("groups", Number(groups));
    int manifests = 0;
    EnumResourceNamesW(
        module, RT_MANIFEST,
        [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) -> BOOL {
            ++*(int*)count;
            return TRUE;
        },
        (LONG_PTR)&manifests);
    Line("manifests", Number(manifests));
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON);
    Line("group1", group ? "1" : "0");
    if (!group)
        return 0;
    const BYTE* directory = (const BYTE*)LockResource(LoadResource(module, group));
    WORD count = *(const WORD*)(directory + 4);
    for (WORD i = 0; i < count; ++i) {
        const BYTE* entry = directory + 6 + 14 * i;
        int size = entry[0] ? entry[0] : 256;
        WORD bits = *(const WORD*)(entry + 6);
        WORD id = *(const WORD*)(entry + 12);
        HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(id), RT_ICON);
        const BYTE* data = image ? (const BYTE*)LockResource(LoadResource(module, image)) : nullptr;
        bool png = data && SizeofResource(module, image) > 8 && memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0;
        Line("image", Number(size) + "," + Number(bits) + "," + (png ? "png" : "bmp"));
    }
    FreeLibrary(module);
    // Loaded as the program loads it, from the module's own resources.
    HMODULE loaded = LoadLibraryExW(exePath, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HANDLE large = LoadImageW(loaded, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                              GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR);
    HANDLE small = LoadImageW(loaded, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                              GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
    Line("load.large", large ? "1" : "0");
    Line("load.small", small ? "1" : "0");
    return 0;
}

static std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        c = (wchar_t)towlower(c);
    return text;
}

// Walks the folder picker's tree from its root (the desktop): at each level the children are selected
// one after another until the picker's folder-name edit shows a name containing the next wanted part
// (case-insensitive). Prints every name seen; the last match stays selected.
static int TreeWalk(HWND box, int count, wchar_t** names) {
    HWND tree = nullptr, nameEdit = GetDlgItem(box, 14149);
    std::vector<HWND> children;
    EnumChildWindows(box, ListChildProc, (LPARAM)&children);
    for (HWND child : children)
        if (ClassOf(child) == L"SysTreeView32")
            tree = child;
    if (!tree || !nameEdit)
        return 1;
    LRESULT item = Send(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
    if (!item || !Send(tree, TVM_SELECTITEM, TVGN_CARET, item))
        return 1;
    for (int level = 0; level < count; ++level) {
        std::wstring wanted = Lower(names[level]);
        Send(tree, TVM_EXPAND, TVE_EXPAND, item);
        LRESULT child = Send(tree, TVM_GETNEXTITEM, TVGN_CHILD, item);
        bool found = false;
        for (; child; child = Send(tree, TVM_GETNEXTITEM, TVGN_NEXT, child)) {
            Send(tree, TVM_SELECTITEM, TVGN_CARET, child);
            std::wstring name = TextOf(nameEdit);
            Line("tree", Number(level) + " " + Escaped(name));
            if (Lower(name).find(wanted) != std::wstring::npos) {
                found = true;
                break;
            }
        }
        if (!found)
            return 1;
        item = child;
    }
    return 0;
}

// The picker fills its tree after it is shown, and under load a level may still be empty when the walk
// comes to it: the walk is tried again for up to ten seconds.
static int TreeSelect(int count, wchar_t** names) {
    HWND box = FindBox();
    if (!box)
        return 2;
    DWORD start = GetTickCount();
    for (;;) {
        int result = TreeWalk(box, count, names);
        if (result == 0 || GetTickCount() - start > 10000 || !IsWindow(box))
            return result;
        Line("tree", "retry");
        Sleep(250);
    }
}

static int Usage() {
    fprintf(stderr,
            "usage: driver wait-window MS | wait-gone MS | state | visible | handle HWND | click ID |\n"
            "       set-text ID HEXUTF8 | set-check ID 0|1 | close | post MSG WPARAM LPARAM |\n"
            "       box | wait-box MS | box-click ID | box-set-text ID HEXUTF8 | tree-select NAME... |\n"
            "       hook DLL | icon-info EXE\n");
    return 64;
}

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2)
        return Usage();
    std::wstring command = argv[1];
    auto number = [&](int index) -> long long {
        return index < argc ? wcstoll(argv[index], nullptr, 0) : -1;
    };

    if (command == L"wait-window")
        return WaitFor((DWORD)number(2), MainShown) ? PrintState() : 1;
    if (command == L"wait-gone")
        return WaitFor((DWORD)number(2), MainGone) ? 0 : 1;
    if (command == L"state")
        return PrintState();
    if (command == L"visible") { // without sending anything: usable while the UI thread is blocked
        HWND main = MainWindow();
        Line("found", main ? "1" : "0");
        Line("visible", main && IsWindowVisible(main) ? "1" : "0");
        return 0;
    }
    // A window handle is valid on every desktop: whether the main window still exists when this
    // driver's desktop has none (the window then lives on a desktop that this one replaced).
    if (command == L"handle" && argc > 2) {
        HWND window = (HWND)(ULONG_PTR)number(2);
        Line("exists", IsWindow(window) ? "1" : "0");
        Line("class", IsWindow(window) ? Escaped(ClassOf(window)) : "");
        return 0;
    }
    if (command == L"hook" && argc > 2)
        return Hook(argv[2]);
    if (command == L"icon-info" && argc > 2)
        return IconInfo(argv[2]);
    if (command == L"tree-select")
        return TreeSelect(argc - 2, argv + 2);
    if (command == L"box" || command == L"wait-box") {
        if (command == L"wait-box" && !WaitFor((DWORD)number(2), BoxOpen)) {
            Line("box", "0");
            return 2;
        }
        HWND box = FindBox();
        if (!box) {
            Line("box", "0");
            return 2;
        }
        PrintBox(box);
        return 0;
    }
    if (command == L"box-click" || command == L"box-set-text") {
        HWND box = FindBox();
        if (!box)
            return 2;
        HWND control = GetDlgItem(box, (int)number(2));
        if (command == L"box-click")
            return Click(control) ? 0 : 1;
        if (argc < 4 || !control)
            return 1;
        std::wstring text = FromHexUtf8(Utf8(argv[3]));
        return Send(control, WM_SETTEXT, 0, (LPARAM)text.c_str()) ? 0 : 1;
    }

    HWND main = MainWindow();
    if (!main)
        return 1;
    if (command == L"click")
        return Click(GetDlgItem(main, (int)number(2))) ? 0 : 1;
    if (command == L"close")
        return PostMessageW(main, WM_CLOSE, 0, 0) ? 0 : 1;
    if (command == L"post")
        return PostMessageW(main, (UINT)number(2), (WPARAM)number(3), (LPARAM)number(4)) ? 0 : 1;
    if (command == L"set-text" && argc > 3) {
        std::wstring text = FromHexUtf8(Utf8(argv[3]));
        return Send(GetDlgItem(main, (int)number(2)), WM_SETTEXT, 0, (LPARAM)text.c_str()) ? 0 : 1;
    }
    if (command == L"set-check" && argc > 3) {
        Send(GetDlgItem(main, (int)number(2)), BM_SETCHECK, number(3) ? BST_CHECKED : BST_UNCHECKED, 0);
        return 0;
    }
    return Usage();
}
