#include <gtest/gtest.h>
#include <string>
#include "app/app.h"

namespace {

// A message-only window on this thread receives the posted status copies.
HWND MakeReceiver() {
    return CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

TEST(ReportStatus, PostsHeapCopyThatTheWindowOwns) {
    HWND window = MakeReceiver();
    ASSERT_NE(nullptr, window);
    const WCHAR* texts[] = {L"正在检测 Windows 版本和系统架构…", L""};
    for (const WCHAR* text : texts) {
        ReportStatus(window, text);
        MSG msg;
        ASSERT_TRUE(PeekMessageW(&msg, window, WMU_STATUS, WMU_STATUS, PM_REMOVE));
        EXPECT_EQ(0u, msg.wParam);
        WCHAR* copy = (WCHAR*)msg.lParam;
        ASSERT_NE(nullptr, copy);
        EXPECT_NE(text, copy);
        EXPECT_EQ(std::wstring(text), copy);
        EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, copy)) << "copy comes from the process heap";
    }
    DestroyWindow(window);
}

TEST(ReportStatus, NullWindowPostsNothing) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    ReportStatus(nullptr, L"log only");
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WMU_STATUS, WMU_STATUS, PM_REMOVE));
}

TEST(ReportStatus, MessageValues) {
    EXPECT_EQ(0x8001u, WMU_STATUS);
    EXPECT_EQ(0x8002u, WMU_PROGRESS);
    EXPECT_EQ(0x8003u, WMU_DONE);
}

} // namespace
