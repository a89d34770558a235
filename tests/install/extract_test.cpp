// ExtractPayload against the PowerShell stand-in that the rig installs as the system PowerShell, and the
// stand-in's own refusal of anything but the installer's exact command line and script.
#include "install/install.h"
#include "install_test_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace {

std::string PayloadProgram() {
    std::string bytes;
    ReadBytes(Join(TestBinDir(), L"payload-app.exe"), &bytes);
    return bytes;
}

std::wstring SystemPowerShell() {
    WCHAR path[PATH_CAPACITY];
    return GetPowerShellPath(path, PATH_CAPACITY) ? std::wstring(path) : std::wstring();
}

class Extract : public ::testing::Test {
  protected:
    void SetUp() override {
        // The rig must have put this build's stand-in in place of Wine's stub.
        std::string installed, built;
        ASSERT_TRUE(ReadBytes(SystemPowerShell(), &installed)) << "no system powershell.exe";
        ASSERT_TRUE(ReadBytes(Join(TestBinDir(), L"powershell.exe"), &built));
        ASSERT_EQ(installed, built) << "the system powershell.exe is not this build's stand-in";
        exe = PayloadProgram();
        ASSERT_FALSE(exe.empty());
    }
    std::string exe;
};

// One package and what the install directory must look like afterwards.
struct ExtractCase {
    const char* label;
    std::vector<ZipItem> package;
    std::vector<std::pair<std::wstring, std::string>> before; // files already in the install directory
    bool success;
    int standInExit;
    std::vector<std::pair<std::wstring, std::string>> after; // files expected afterwards
    std::wstring destName = L"install\\TOV Kinemo";
};

TEST_F(Extract, PackagesEndAsTheScriptSays) {
    const std::string root = "tovkinemo root marker\n";
    const std::string library(300000, 'L');
    std::vector<ExtractCase> cases = {
        {"fresh install with nested folders",
         {{"Payload/", "", false},
          {"Payload/TOVKinemo.exe", exe, true},
          {"Payload/tovkinemo.root", root, false},
          {"Payload/lib/core/engine.dat", library, true},
          {"Payload/current-version.txt", "2.4.0", false}},
         {},
         true,
         0,
         {{L"TOVKinemo.exe", exe},
          {L"tovkinemo.root", root},
          {L"lib\\core\\engine.dat", library},
          {L"current-version.txt", "2.4.0"}}},
        {"upgrade replaces package files and keeps the user's",
         {{"Payload/TOVKinemo.exe", exe, true},
          {"Payload/tovkinemo.root", root, false},
          {"Payload/current-version.txt", "2.4.0", false}},
         {{L"TOVKinemo.exe", "old program"},
          {L"tovkinemo.root", "old marker"},
          {L"current-version.txt", "2.3.9"},
          {L"user\\settings.ini", "volume=7"},
          {L"notes.txt", "mine"}},
         true,
         0,
         {{L"TOVKinemo.exe", exe},
          {L"tovkinemo.root", root},
          {L"current-version.txt", "2.4.0"},
          {L"user\\settings.ini", "volume=7"},
          {L"notes.txt", "mine"}}},
        {"no top-level Payload folder",
         {{"Other/TOVKinemo.exe", exe, false},
          {"Other/tovkinemo.root", root, false},
          {"TOVKinemo.exe", exe, false}},
         {},
         false,
         21,
         {}},
        {"Payload only nested below another folder",
         {{"Stuff/Payload/TOVKinemo.exe", exe, false}, {"Stuff/Payload/tovkinemo.root", root, false}},
         {},
         false,
         21,
         {}},
        {"payload without the marker file",
         {{"Payload/TOVKinemo.exe", exe, true}, {"Payload/readme.txt", "hello", false}},
         {},
         false,
         22,
         {{L"TOVKinemo.exe", exe}, {L"readme.txt", "hello"}}},
        {"payload without the program", {{"Payload/tovkinemo.root", root, false}}, {}, false, 22, {}},
        {"every single-quote character in the install path",
         {{"Payload/TOVKinemo.exe", exe, true}, {"Payload/tovkinemo.root", root, false}},
         {},
         true,
         0,
         {{L"TOVKinemo.exe", exe}, {L"tovkinemo.root", root}},
         L"it's \u2018TOV\u2019 \u201AKinemo\u201B \u201Cx\u201D"},
    };
    for (const ExtractCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::wstring work = FreshDir(L"extract");
        std::wstring zip = Join(work, L"package.zip");
        std::wstring dest = Join(work, c.destName);
        ASSERT_TRUE(WriteZip(zip, c.package));
        for (const auto& file : c.before) {
            std::wstring path = Join(dest, file.first);
            ASSERT_TRUE(MakeDirs(path.substr(0, path.find_last_of(L'\\'))));
            ASSERT_TRUE(WriteBytes(path, file.second));
        }

        SetLastError(0);
        BOOL ok = ExtractPayload(zip.c_str(), dest.c_str(), FALSE, nullptr);
        DWORD code = GetLastError();
        EXPECT_EQ(ok != FALSE, c.success);
        if (!c.success) {
            EXPECT_EQ(code, (DWORD)ERROR_INSTALL_FAILURE);
        }
        std::wstring line = LastStandInLine(L"zip=" + zip + L" ");
        EXPECT_EQ(line.substr(0, line.find(L':')), L"exit " + std::to_wstring(c.standInExit))
            << WideToUtf8(line);
        // Started by its full path, not found by the search that would prefer a copy beside the caller.
        EXPECT_NE(line.find(L"exe=" + SystemPowerShell() + L" pid="), std::wstring::npos) << WideToUtf8(line);

        for (const auto& file : c.after) {
            std::string bytes;
            EXPECT_TRUE(ReadBytes(Join(dest, file.first), &bytes)) << WideToUtf8(file.first);
            EXPECT_EQ(bytes, file.second) << WideToUtf8(file.first);
        }
        EXPECT_FALSE(IsFile(Join(dest, L"TOV Kinemo.lnk")));
    }
}

TEST_F(Extract, UnreadableArchivesEndIn20) {
    std::wstring work = FreshDir(L"unreadable");
    std::wstring garbage = Join(work, L"garbage.zip");
    ASSERT_TRUE(WriteBytes(garbage, std::string(4096, 'g')));
    const std::wstring archives[] = {garbage, Join(work, L"missing.zip")};
    for (const std::wstring& zip : archives) {
        SCOPED_TRACE(WideToUtf8(zip));
        std::wstring dest = Join(work, L"dest");
        SetLastError(0);
        EXPECT_FALSE(ExtractPayload(zip.c_str(), dest.c_str(), FALSE, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSTALL_FAILURE);
        std::wstring line = LastStandInLine(L"zip=" + zip + L" ");
        EXPECT_EQ(line.substr(0, 8), L"exit 20:") << WideToUtf8(line);
        EXPECT_TRUE(IsDir(dest)) << "the destination is created before the archive is opened";
    }
}

struct ShortcutCase {
    const char* label;
    bool withIcon;
    const wchar_t* destName;
    const wchar_t* shortcutName; // directory created under the work directory; null: the Desktop
    bool createShortcutDir;
    bool success;
};

TEST_F(Extract, ShortcutReadsBackThroughTheShell) {
    const ShortcutCase cases[] = {
        {"with icon", true, L"TOV Kinemo", L"desk", true, true},
        {"without icon", false, L"TOV Kinemo", L"desk", true, true},
        // Wine keeps a link's target in the ANSI code page, so the read-back case sticks to the quotes it
        // has.
        {"quotes in every path", true, L"it's \u2018TOV\u2019 \u201AK", L"O'Brien\u2019s \u201Bdesk", true,
         true},
        {"shortcut directory missing", true, L"TOV Kinemo", L"no-such-desk", false, false},
        {"default Desktop folder", false, L"TOV Kinemo", nullptr, false, true},
    };
    for (const ShortcutCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::wstring work = FreshDir(L"shortcut");
        std::wstring zip = Join(work, L"package.zip");
        std::wstring dest = Join(work, c.destName);
        std::vector<ZipItem> items = {{"Payload/TOVKinemo.exe", exe, true},
                                      {"Payload/tovkinemo.root", "r", false}};
        if (c.withIcon)
            items.push_back({"Payload/Assets/AppIcon.ico", std::string(766, 'i'), false});
        ASSERT_TRUE(WriteZip(zip, items));

        std::wstring shortcutDir;
        if (c.shortcutName) {
            shortcutDir = Join(work, c.shortcutName);
            if (c.createShortcutDir) {
                ASSERT_TRUE(MakeDirs(shortcutDir));
            }
        } else {
            WCHAR desktop[MAX_PATH];
            ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop),
                      S_OK);
            DeleteFileW(Join(desktop, L"TOV Kinemo.lnk").c_str());
        }
        std::wstring linkDir = shortcutDir;
        if (!c.shortcutName) {
            WCHAR desktop[MAX_PATH];
            SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop);
            linkDir = desktop;
        }
        std::wstring link = Join(linkDir, L"TOV Kinemo.lnk");

        SetLastError(0);
        BOOL ok = ExtractPayload(zip.c_str(), dest.c_str(), TRUE, shortcutDir.c_str());
        DWORD code = GetLastError();
        EXPECT_EQ(ok != FALSE, c.success);
        std::wstring line = LastStandInLine(L"zip=" + zip + L" ");
        if (!c.success) {
            EXPECT_EQ(code, (DWORD)ERROR_INSTALL_FAILURE);
            EXPECT_EQ(line.substr(0, 7), L"exit 1:") << WideToUtf8(line);
            EXPECT_FALSE(IsDir(shortcutDir)) << "the shortcut directory is never created";
            EXPECT_TRUE(IsFile(Join(dest, L"TOVKinemo.exe"))) << "the payload stays in place";
            continue;
        }
        EXPECT_EQ(line.substr(0, 7), L"exit 0:") << WideToUtf8(line);
        ShortcutInfo info = ReadShortcut(link);
        ASSERT_TRUE(info.loaded) << WideToUtf8(link);
        EXPECT_EQ(info.target, Join(dest, L"TOVKinemo.exe"));
        EXPECT_EQ(info.workingDirectory, dest);
        EXPECT_EQ(info.icon, c.withIcon ? Join(dest, L"Assets\\AppIcon.ico") : Join(dest, L"TOVKinemo.exe"));
        EXPECT_EQ(info.iconIndex, 0);
        if (!c.shortcutName)
            DeleteFileW(link.c_str());
    }
}

// ---- the stand-in itself, started directly ----

std::wstring EncodedScript(const std::wstring& script) {
    WCHAR* encoded = nullptr;
    DWORD length = 0;
    if (!EncodeScript(script.c_str(), &encoded, &length))
        return std::wstring();
    std::wstring text(encoded, length);
    HeapRelease(encoded);
    return text;
}

std::wstring BuiltScript(const std::wstring& zip, const std::wstring& dest) {
    std::vector<WCHAR> script(SCRIPT_CAPACITY, 0);
    BuildExtractScript(script.data(), zip.c_str(), dest.c_str(), TRUE, L"");
    return std::wstring(script.data());
}

const std::wstring OPTIONS = L" -NoProfile -NonInteractive -ExecutionPolicy Bypass -EncodedCommand ";

std::wstring Replaced(std::wstring text, const std::wstring& from, const std::wstring& to) {
    size_t at = text.find(from);
    if (at != std::wstring::npos)
        text.replace(at, from.size(), to);
    return text;
}

TEST(StandIn, RefusesAnythingButTheExactCommandLineAndScript) {
    std::wstring work = FreshDir(L"standin");
    std::wstring zip = Join(work, L"absent.zip"); // never exists: a script that passes every check ends in 20
    std::wstring dest = Join(work, L"dest");
    std::wstring script = BuiltScript(zip, dest);
    std::wstring head = L"$ErrorActionPreference='Stop';$zip='" + zip + L"';$dest='" + dest + L"'";
    ASSERT_EQ(script.compare(0, head.size(), head), 0);

    struct Case {
        const char* label;
        std::wstring commandLine;
        long exitCode;
    };
    const std::wstring good = EncodedScript(script);
    std::wstring oneUnitChanged = script;
    oneUnitChanged[script.find(L"Out-Null") + 4] = L'n';
    std::wstring quoteUndoubled = L"$ErrorActionPreference='Stop';$zip='" + zip + L"\u2019x';$dest='" + dest +
                                  L"'" + script.substr(head.size());
    std::wstring quoteDoubled = L"$ErrorActionPreference='Stop';$zip='" + zip + L"\u2019\u2019x';$dest='" +
                                dest + L"'" + script.substr(head.size());
    std::wstring unterminated = L"$ErrorActionPreference='Stop';$zip='" + zip;
    std::string oddBytes = "$x";
    std::wstring base64Odd = L"JAB4";
    std::vector<Case> cases = {
        {"one changed character", L"powershell.exe" + OPTIONS + EncodedScript(oneUnitChanged), 92},
        {"first character changed", L"powershell.exe" + OPTIONS + EncodedScript(L"#" + script.substr(1)), 92},
        {"last character changed",
         L"powershell.exe" + OPTIONS + EncodedScript(script.substr(0, script.size() - 1) + L"1"), 92},
        {"text after the final exit", L"powershell.exe" + OPTIONS + EncodedScript(script + L";"), 92},
        {"typographic quote not doubled", L"powershell.exe" + OPTIONS + EncodedScript(quoteUndoubled), 92},
        {"shortcut text changed",
         L"powershell.exe" + OPTIONS + EncodedScript(Replaced(script, L"$lnk.Save();", L"$lnk.Save( );")),
         92},
        {"unterminated literal", L"powershell.exe" + OPTIONS + EncodedScript(unterminated), 93},
        {"an extra option",
         L"powershell.exe -NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass -EncodedCommand " + good,
         90},
        {"plain command instead of encoded",
         L"powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command " + good, 90},
        {"another program name", L"pwsh.exe" + OPTIONS + good, 90},
        {"two spaces",
         L"powershell.exe  -NoProfile -NonInteractive -ExecutionPolicy Bypass -EncodedCommand " + good, 90},
        {"line break inside the base64",
         L"powershell.exe" + OPTIONS + good.substr(0, 64) + L"\r\n" + good.substr(64), 91},
        {"odd number of script bytes", L"powershell.exe" + OPTIONS + base64Odd, 91},
        {"trailing space", L"powershell.exe" + OPTIONS + good + L" ", 91},
        // Accepted last: these create the destination before finding no archive.
        {"the exact command line", L"powershell.exe" + OPTIONS + good, 20},
        {"typographic quote doubled", L"powershell.exe" + OPTIONS + EncodedScript(quoteDoubled), 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        DWORD processId = 0;
        EXPECT_EQ(RunAndWait(SystemPowerShell(), c.commandLine, &processId), c.exitCode);
        std::wstring line = LastStandInLine(L" pid=" + std::to_wstring(processId) + L")");
        EXPECT_EQ(line.substr(0, 8), L"exit " + std::to_wstring(c.exitCode) + L":") << WideToUtf8(line);
        if (c.exitCode >= 90) {
            EXPECT_FALSE(IsDir(dest)) << "a refused script does nothing";
        }
    }
}

} // namespace
