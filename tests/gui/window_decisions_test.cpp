// The window's decisions as values: the request a start builds, the proposed directory, and which
// outcome box the end of a run shows.
#include "app/app.h"
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <tuple>

static bool AllZero(const void* memory, size_t size) {
    const unsigned char* bytes = (const unsigned char*)memory;
    for (size_t i = 0; i < size; ++i)
        if (bytes[i])
            return false;
    return true;
}

TEST(FillWindowRequest, EmptyTextLeavesTheRequestUntouched) {
    InstallRequest request;
    memset(&request, 0x5A, sizeof(request));
    InstallRequest before = request;
    EXPECT_FALSE(FillWindowRequest(&request, L"", TRUE));
    EXPECT_EQ(0, memcmp(&before, &request, sizeof(request)));
}

TEST(FillWindowRequest, BuildsAZeroedRequestWithOnlyDirectoryAndShortcut) {
    struct Case {
        const wchar_t* text;
        BOOL checked;
        UINT32 createShortcut;
    } cases[] = {
        {L"C:\\users\\root\\AppData\\Local\\TOV Kinemo", TRUE, 1},
        {L"D:\\Apps\\TOV Kinemo", FALSE, 0},
        {L"   ", TRUE, 1}, // spaces alone are a directory text
        {L"安装\\目录", FALSE, 0},
    };
    for (const Case& c : cases) {
        InstallRequest request;
        memset(&request, 0xA5, sizeof(request)); // leftovers of an earlier run
        ASSERT_TRUE(FillWindowRequest(&request, c.text, c.checked));
        EXPECT_STREQ(c.text, request.installDir);
        size_t used = (wcslen(c.text) + 1) * sizeof(WCHAR);
        EXPECT_TRUE(AllZero((char*)request.installDir + used, sizeof(request.installDir) - used));
        EXPECT_EQ(c.createShortcut, request.createShortcut);
        InstallRequest rest = request;
        memset(rest.installDir, 0, sizeof(rest.installDir));
        rest.createShortcut = 0;
        EXPECT_TRUE(AllZero(&rest, sizeof(rest))) << "only installDir and createShortcut may be set";
    }
}

TEST(FillWindowRequest, LongTextIsCutTo259Units) {
    std::wstring text(300, L'a');
    InstallRequest request;
    ASSERT_TRUE(FillWindowRequest(&request, text.c_str(), TRUE));
    EXPECT_EQ(std::wstring(259, L'a'), std::wstring(request.installDir));
    EXPECT_EQ(0, request.installDir[259]);
}

TEST(ComposeInstallDir, AppendsTheFolderNameBlindly) {
    struct Case {
        const wchar_t* folder;
        const wchar_t* expected;
    } cases[] = {
        {L"C:\\users\\root\\AppData\\Local", L"C:\\users\\root\\AppData\\Local\\TOV Kinemo"},
        {L"D:\\Apps", L"D:\\Apps\\TOV Kinemo"},
        {L"C:\\", L"C:\\\\TOV Kinemo"}, // a drive root keeps its backslash: doubled
        {L"", L"\\TOV Kinemo"},
    };
    for (const Case& c : cases) {
        WCHAR output[PATH_CAPACITY];
        ComposeInstallDir(output, c.folder);
        EXPECT_STREQ(c.expected, output);
    }
}

TEST(ComposeInstallDir, LongFolderProposesNothingRatherThanACutPath) {
    // 248 + "\\TOV Kinemo" is 259 units, the most that fits.
    for (size_t length : {248, 249, 255}) {
        std::wstring folder(length, L'x');
        WCHAR output[PATH_CAPACITY + 8];
        wmemset(output, L'#', PATH_CAPACITY + 8);
        BOOL fits = ComposeInstallDir(output, folder.c_str());
        EXPECT_EQ(length == 248, fits != FALSE) << length;
        EXPECT_EQ(length == 248 ? folder + L"\\TOV Kinemo" : L"", std::wstring(output)) << length;
        EXPECT_EQ(L'#', output[PATH_CAPACITY]) << "wrote past the buffer";
    }
}

TEST(DecideRunOutcome, OnlyCancellationSuppressesTheBox) {
    struct Case {
        WPARAM result;
        LPARAM code;
        RunOutcome outcome;
    } cases[] = {
        {0, 0, RUN_SUCCEEDED},
        {0, ERROR_CANCELLED, RUN_SUCCEEDED}, // the code is meaningless on success
        {1, ERROR_CANCELLED, RUN_CANCELLED},
        {1, 0, RUN_FAILED},
        {1, ERROR_INSTALL_FAILURE, RUN_FAILED},
        {1, (LPARAM)0xE0010001u, RUN_FAILED},
        {1, 12157, RUN_FAILED},
        {2, ERROR_FILE_NOT_FOUND, RUN_FAILED},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.outcome, DecideRunOutcome(c.result, c.code)) << c.result << " " << c.code;
}

// The worker undoes exactly its own COM initialisation, whatever the thread had, and posts the job's code.
TEST(JobThreadProc, BalancesItsComInitialisationAndPostsTheJobsCode) {
    // The model the thread already has (-1 none), and what a later CoInitializeEx of that model gives.
    struct Case {
        int before;
        HRESULT expected;
    } cases[] = {{-1, S_OK}, {COINIT_APARTMENTTHREADED, S_FALSE}, {COINIT_MULTITHREADED, S_FALSE}};
    for (const Case& c : cases) {
        HRESULT after = E_FAIL;
        MSG done = {};
        std::thread([&] {
            if (c.before >= 0)
                CoInitializeEx(nullptr, c.before);
            static AppState state; // no window: WMU_DONE lands in this thread's queue
            memset(&state, 0, sizeof(state));
            memcpy(state.request.channel, "win10", 6); // the empty install directory fails at once with 123
            JobThreadProc(&state);
            PeekMessageW(&done, (HWND)-1, WMU_DONE, WMU_DONE, PM_REMOVE);
            after = CoInitializeEx(nullptr, c.before >= 0 ? c.before : COINIT_APARTMENTTHREADED);
            CoUninitialize();
            if (c.before >= 0)
                CoUninitialize();
        }).join();
        EXPECT_EQ(c.expected, after) << c.before;
        EXPECT_EQ(std::make_tuple(WMU_DONE, (WPARAM)1, (LPARAM)ERROR_INVALID_NAME),
                  std::make_tuple(done.message, done.wParam, done.lParam));
    }
}
