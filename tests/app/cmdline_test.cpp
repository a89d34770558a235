#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "app/app.h"

namespace {

InstallRequest Parse(std::vector<std::wstring> args) {
    args.insert(args.begin(), L"C:\\prog\\TOVKinemoDownloader.exe");
    std::vector<WCHAR*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    InstallRequest request;
    memset(&request, 0, sizeof(request));
    request.createShortcut = 1;
    ParseCommandLine((int)argv.size(), argv.data(), &request);
    return request;
}

struct FlagCase {
    const char* name;
    std::vector<std::wstring> args;
    UINT32 testMode, noLaunch, createShortcut;
};

TEST(ParseCommandLine, FlagsActInOrder) {
    const FlagCase cases[] = {
        {"no arguments: window mode", {}, 0, 0, 1},
        {"--test", {L"--test"}, 1, 1, 0},
        {"upper case option name", {L"--TEST"}, 1, 1, 0},
        {"shortcut after test turns it back on", {L"--test", L"--shortcut"}, 1, 1, 1},
        {"shortcut before test is overridden", {L"--shortcut", L"--test"}, 1, 1, 0},
        {"no-shortcut then shortcut", {L"--no-shortcut", L"--shortcut"}, 0, 0, 1},
        {"no-launch", {L"--No-Launch"}, 0, 1, 1},
        {"unknown options ignored", {L"--bogus", L"value", L"-test", L"test"}, 0, 0, 1},
        {"install-dir value swallows --test", {L"--install-dir", L"--test"}, 0, 0, 1},
        {"folding is A-Z only", {L"--tEsT", L"--ＴＥＳＴ"}, 1, 1, 0},
        {"non-ASCII letter does not fold", {L"--\x0130nstall-dir", L"x", L"--test"}, 1, 1, 0},
    };
    for (const FlagCase& c : cases) {
        InstallRequest r = Parse(c.args);
        EXPECT_EQ(c.testMode, r.testMode) << c.name;
        EXPECT_EQ(c.noLaunch, r.noLaunch) << c.name;
        EXPECT_EQ(c.createShortcut, r.createShortcut) << c.name;
    }
}

TEST(ParseCommandLine, PathValues) {
    InstallRequest r = Parse({L"--install-dir", L"--test"});
    EXPECT_EQ(std::wstring(L"--test"), r.installDir);

    r = Parse({L"--Install-Dir", L"C:\\a", L"--cache-dir", L"D:\\c", L"--shortcut-dir", L"E:\\s", L"--manifest",
               L"m.json", L"--signature", L"m.sig", L"--package", L"p.zip"});
    EXPECT_EQ(std::wstring(L"C:\\a"), r.installDir);
    EXPECT_EQ(std::wstring(L"D:\\c"), r.cacheDir);
    EXPECT_EQ(std::wstring(L"E:\\s"), r.shortcutDir);
    EXPECT_EQ(std::wstring(L"m.json"), r.manifestPath);
    EXPECT_EQ(std::wstring(L"m.sig"), r.signaturePath);
    EXPECT_EQ(std::wstring(L"p.zip"), r.packagePath);

    // Stored verbatim: spaces kept, not made absolute.
    r = Parse({L"--install-dir", L"  rel\\dir "});
    EXPECT_EQ(std::wstring(L"  rel\\dir "), r.installDir);

    // A trailing value option is ignored, and so is an empty value.
    r = Parse({L"--test", L"--install-dir"});
    EXPECT_EQ(0, r.installDir[0]);
    r = Parse({L"--install-dir", L"", L"--test"});
    EXPECT_EQ(0, r.installDir[0]);
    EXPECT_EQ(1u, r.testMode);
}

TEST(ParseCommandLine, LongValueCutAndLaterValueReplacesWhole) {
    std::wstring longPath(300, L'a');
    InstallRequest r = Parse({L"--install-dir", longPath});
    EXPECT_EQ(longPath.substr(0, 259), r.installDir);
    EXPECT_EQ(0, r.installDir[259]);

    r = Parse({L"--install-dir", longPath, L"--install-dir", L"short"});
    EXPECT_EQ(std::wstring(L"short"), r.installDir);
    for (int i = 5; i < 260; ++i) ASSERT_EQ(0, r.installDir[i]) << "unit " << i << " cleared";
}

struct CountCase {
    const WCHAR* text;
    UINT64 expected;
};

TEST(ParseCommandLine, CancelAfterBytes) {
    const CountCase cases[] = {
        {L"4096", 4096},
        {L"4096x", 4096},
        {L"12abc", 12},
        {L"x", 0},
        {L"abc", 0},
        {L"-5", 0},
        {L"", 0},
        {L" 7", 0},
        {L"0x10", 0},
        {L"18446744073709551615", UINT64_MAX},
        {L"18446744073709551616", 0},  // 2^64 wraps to 0
        {L"18446744073709551617", 1},  // 2^64 + 1 wraps to 1
        {L"36893488147419103232", 0},  // 2^65
    };
    for (const CountCase& c : cases) {
        InstallRequest r = Parse({L"--cancel-after-bytes", c.text});
        EXPECT_EQ(c.expected, r.cancelAfterBytes) << std::string(c.text, c.text + wcslen(c.text));
    }
}

struct ChannelCase {
    std::vector<std::wstring> args;
    const char* expected;
};

TEST(ParseCommandLine, Channel) {
    const ChannelCase cases[] = {
        {{L"--channel", L"win7"}, "win7"},
        {{L"--channel", L"WIN10"}, "win10"},
        {{L"--CHANNEL", L"Win7"}, "win7"},
        {{L"--channel", L"win11"}, ""},
        {{L"--channel", L"win8"}, ""},
        {{L"--channel", L"win10 "}, ""},
        {{L"--channel", L"win10", L"--channel", L"win7"}, "win7"},
        {{L"--channel", L"win10", L"--channel", L"bogus"}, "win10"},
        {{L"--channel"}, ""},
    };
    for (const ChannelCase& c : cases) {
        InstallRequest r = Parse(c.args);
        EXPECT_STREQ(c.expected, r.channel);
        for (size_t i = strlen(r.channel); i < sizeof(r.channel); ++i) EXPECT_EQ(0, r.channel[i]);
    }
}

} // namespace
