#include <gtest/gtest.h>
#include <string>
#include "job/job.h"

namespace {

struct PlatformCase {
    WORD architecture;
    DWORD major, minor, build;
    BOOL accepted;
    const char* channel;
    const WCHAR* line;
};

TEST(DecidePlatform, ChannelTable) {
    const WORD x64 = PROCESSOR_ARCHITECTURE_AMD64;
    const PlatformCase cases[] = {
        {x64, 5, 1, 2600, FALSE, "", L"不支持当前 Windows 版本 5.1。"},
        {x64, 5, 2, 3790, FALSE, "", L"不支持当前 Windows 版本 5.2。"},
        {x64, 6, 0, 6002, FALSE, "", L"不支持当前 Windows 版本 6.0。"},
        {x64, 6, 1, 7601, TRUE, "win7", L"检测到 Windows 6.1（使用 Win7 兼容包）"},
        {x64, 6, 2, 9200, TRUE, "win7", L"检测到 Windows 6.2（使用 Win7 兼容包）"},
        {x64, 6, 3, 9600, TRUE, "win7", L"检测到 Windows 6.3（使用 Win7 兼容包）"},
        {x64, 6, 4, 9841, TRUE, "win7", L"检测到 Windows 6.4（使用 Win7 兼容包）"},
        {x64, 7, 0, 1, FALSE, "", L"不支持当前 Windows 版本 7.0。"},
        {x64, 9, 9, 1, FALSE, "", L"不支持当前 Windows 版本 9.9。"},
        {x64, 10, 0, 19045, TRUE, "win10", L"检测到 Windows 10.0，Build 19045（使用 Win10/11 包）"},
        {x64, 10, 0, 22631, TRUE, "win10", L"检测到 Windows 10.0，Build 22631（使用 Win10/11 包）"},
        {x64, 11, 2, 5, TRUE, "win10", L"检测到 Windows 11.2，Build 5（使用 Win10/11 包）"},
        {x64, 0xFFFFFFFF, 0, 0, TRUE, "win10", L"检测到 Windows 4294967295.0，Build 0（使用 Win10/11 包）"},
        {PROCESSOR_ARCHITECTURE_INTEL, 10, 0, 19045, FALSE, "", L"当前程序仅支持64位 Windows；检测到的系统架构不是 x64。"},
        {PROCESSOR_ARCHITECTURE_ARM64, 10, 0, 22000, FALSE, "", L"当前程序仅支持64位 Windows；检测到的系统架构不是 x64。"},
        {PROCESSOR_ARCHITECTURE_IA64, 6, 1, 7601, FALSE, "", L"当前程序仅支持64位 Windows；检测到的系统架构不是 x64。"},
    };
    for (const PlatformCase& c : cases) {
        char channel[16] = {};
        WCHAR line[STATUS_LINE_CAPACITY] = {};
        BOOL accepted = DecidePlatform(c.architecture, TRUE, c.major, c.minor, c.build, channel, line,
                                       STATUS_LINE_CAPACITY);
        EXPECT_EQ(c.accepted, accepted) << c.major << "." << c.minor;
        EXPECT_STREQ(c.channel, channel) << c.major << "." << c.minor;
        EXPECT_EQ(std::wstring(c.line), line) << c.major << "." << c.minor;
    }
}

TEST(DecidePlatform, UnknownVersionIsRefused) {
    char channel[16] = {};
    WCHAR line[STATUS_LINE_CAPACITY] = {};
    EXPECT_FALSE(DecidePlatform(PROCESSOR_ARCHITECTURE_AMD64, FALSE, 10, 0, 0, channel, line, STATUS_LINE_CAPACITY));
    EXPECT_STREQ("", channel);
    EXPECT_NE(0, line[0]);
}

TEST(CheckPlatform, RequestChannelSkipsDetection) {
    const char* channels[] = {"win7", "win10"};
    for (const char* requested : channels) {
        char selected[16];
        memset(selected, 'x', sizeof(selected));
        EXPECT_TRUE(CheckPlatform(nullptr, requested, selected));
        EXPECT_STREQ(requested, selected);
        for (size_t i = strlen(requested); i < 16; ++i) EXPECT_EQ(0, selected[i]);
    }
}

TEST(CheckPlatform, DetectsThisSystem) {
    // The tests' prefix runs as Windows 7 unless a test changes it; either way a channel is chosen.
    char selected[16] = {};
    EXPECT_TRUE(CheckPlatform(nullptr, "", selected));
    EXPECT_TRUE(std::string(selected) == "win7" || std::string(selected) == "win10") << selected;
}

} // namespace
