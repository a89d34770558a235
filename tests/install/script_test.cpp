// The extraction script, its encoding and command line, and the PowerShell path. The expected scripts are
// written out here in full so that any change to a single character of the builder shows up.
#include "install/install.h"

#include <gtest/gtest.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace {

const std::wstring START = LR"PS($ErrorActionPreference='Stop';$zip=)PS";
const std::wstring EXTRACTION =
    LR"PS(;New-Item -ItemType Directory -Force -Path $dest|Out-Null;$sh=New-Object -ComObject Shell.Application;$zf=$sh.NameSpace($zip);$df=$sh.NameSpace($dest);if($null -eq $zf -or $null -eq $df){exit 20};$pi=$zf.ParseName('Payload');if($null -eq $pi){exit 21};$pf=$pi.GetFolder;$df.CopyHere($pf.Items(),20);$last=-1;$stable=0;for($i=0;$i -lt 3000;$i++){$sum=(Get-ChildItem -LiteralPath $dest -Recurse -ErrorAction SilentlyContinue|Where-Object{-not $_.PSIsContainer}|Measure-Object -Property Length -Sum).Sum;if($null -eq $sum){$sum=0};$exe=Join-Path $dest 'TOVKinemo.exe';$mark=Join-Path $dest 'tovkinemo.root';if((Test-Path -LiteralPath $exe)-and(Test-Path -LiteralPath $mark)-and$sum -eq $last){$stable++}else{$stable=0};if($stable -ge 10){break};$last=$sum;Start-Sleep -Milliseconds 200};if($stable -lt 10){exit 22};)PS";
const std::wstring DESKTOP_LOOKUP = LR"PS($desktop=[Environment]::GetFolderPath('Desktop');)PS";
const std::wstring SHORTCUT =
    LR"PS($ws=New-Object -ComObject WScript.Shell;$lnk=$ws.CreateShortcut((Join-Path $desktop 'TOV Kinemo.lnk'));$lnk.TargetPath=(Join-Path $dest 'TOVKinemo.exe');$lnk.WorkingDirectory=$dest;$ico=Join-Path $dest 'Assets\AppIcon.ico';if(Test-Path -LiteralPath $ico){$lnk.IconLocation=$ico}else{$lnk.IconLocation=$lnk.TargetPath};$lnk.Save();)PS";
const std::wstring FINISH = L"exit 0";

std::wstring Build(const wchar_t* package, const wchar_t* dest, BOOL shortcut, const wchar_t* shortcutDir) {
    std::vector<WCHAR> script(SCRIPT_CAPACITY, 0);
    BuildExtractScript(script.data(), package, dest, shortcut, shortcutDir);
    return std::wstring(script.data());
}

struct ScriptCase {
    const char* label;
    const wchar_t* package;
    const wchar_t* dest;
    BOOL shortcut;
    const wchar_t* shortcutDir;
    std::wstring expected;
};

std::vector<ScriptCase> ScriptCases() {
    const std::wstring pkg = L"'C:\\cache\\package-2.4.0-win10.zip'";
    const std::wstring dst = L"'C:\\Program Files\\TOV Kinemo'";
    const std::wstring head = START + pkg + L";$dest=" + dst + EXTRACTION;
    return {
        {"no shortcut", L"C:\\cache\\package-2.4.0-win10.zip", L"C:\\Program Files\\TOV Kinemo", FALSE,
         nullptr, head + FINISH},
        {"no shortcut ignores the directory", L"C:\\cache\\package-2.4.0-win10.zip",
         L"C:\\Program Files\\TOV Kinemo", FALSE, L"D:\\Desk", head + FINISH},
        {"shortcut into a given directory", L"C:\\cache\\package-2.4.0-win10.zip",
         L"C:\\Program Files\\TOV Kinemo", TRUE, L"D:\\Desk",
         head + L"$desktop='D:\\Desk';" + SHORTCUT + FINISH},
        {"shortcut with an empty directory", L"C:\\cache\\package-2.4.0-win10.zip",
         L"C:\\Program Files\\TOV Kinemo", TRUE, L"", head + DESKTOP_LOOKUP + SHORTCUT + FINISH},
        {"shortcut without a directory", L"C:\\cache\\package-2.4.0-win10.zip",
         L"C:\\Program Files\\TOV Kinemo", TRUE, nullptr, head + DESKTOP_LOOKUP + SHORTCUT + FINISH},
        {"apostrophes in every path", L"C:\\a'b\\p.zip", L"C:\\it's", TRUE, L"C:\\Users\\O'Brien\\Desktop",
         START + L"'C:\\a''b\\p.zip';$dest='C:\\it''s'" + EXTRACTION +
             L"$desktop='C:\\Users\\O''Brien\\Desktop';" + SHORTCUT + FINISH},
        {"typographic single quotes doubled, double quotes kept",
         L"C:\\\u2018left\u2019\\\u201Alow\u201B.zip", L"C:\\\u201Cq\u201D \"d\" `b", TRUE, L"E:\\x\u2019y",
         START +
             L"'C:\\\u2018\u2018left\u2019\u2019\\\u201A\u201Alow\u201B\u201B.zip';$dest='C:\\\u201Cq\u201D "
             L"\"d\" `b'" +
             EXTRACTION + L"$desktop='E:\\x\u2019\u2019y';" + SHORTCUT + FINISH},
        {"all five quote characters side by side", L"C:\\'\u2018\u2019\u201A\u201B", L"C:\\d", FALSE, nullptr,
         START + L"'C:\\''\u2018\u2018\u2019\u2019\u201A\u201A\u201B\u201B';$dest='C:\\d'" + EXTRACTION +
             FINISH},
    };
}

TEST(ExtractScript, MatchesTheFixedTextForEachCase) {
    for (const ScriptCase& c : ScriptCases()) {
        SCOPED_TRACE(c.label);
        std::wstring built = Build(c.package, c.dest, c.shortcut, c.shortcutDir);
        ASSERT_EQ(built.size(), c.expected.size());
        for (size_t i = 0; i < built.size(); ++i)
            ASSERT_EQ(built[i], c.expected[i]) << "first difference at " << i;
        EXPECT_EQ(built.find(L"$desktop") != std::wstring::npos, c.shortcut != FALSE);
    }
}

TEST(ExtractScript, QuotedLiteralDoublesOnlySingleQuoteCharacters) {
    struct Case {
        const wchar_t* text;
        const wchar_t* expected;
    } cases[] = {
        {L"", L"''"},
        {L"C:\\plain path", L"'C:\\plain path'"},
        {L"C:\\a'b", L"'C:\\a''b'"},
        {L"''", L"''''''"},
        {L"\u2018", L"'\u2018\u2018'"},
        {L"\u2019", L"'\u2019\u2019'"},
        {L"\u201A", L"'\u201A\u201A'"},
        {L"\u201B", L"'\u201B\u201B'"},
        {L"\u201C\u201D\u201E\u201F\"`$()", L"'\u201C\u201D\u201E\u201F\"`$()'"},
        {L"a'\u2019b", L"'a''\u2019\u2019b'"},
    };
    for (const Case& c : cases) {
        std::vector<WCHAR> script(SCRIPT_CAPACITY, 0);
        AppendQuotedLiteral(script.data(), c.text);
        EXPECT_EQ(std::wstring(script.data()), std::wstring(c.expected));
    }
}

TEST(ExtractScript, AppendCutsAtTheCapacityAndStaysTerminated) {
    struct Case {
        UINT32 prefill, textLength, expectedLength;
    } cases[] = {
        {0, 5, 5}, {23990, 5, 23995}, {23990, 20, 23999}, {23998, 3, 23999}, {23999, 3, 23999},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prefill);
        std::vector<WCHAR> script(SCRIPT_CAPACITY, 0);
        for (UINT32 i = 0; i < c.prefill; ++i)
            script[i] = L'p';
        std::wstring text(c.textLength, L't');
        AppendScript(script.data(), text.c_str());
        EXPECT_EQ(WideLength(script.data()), c.expectedLength);
        EXPECT_EQ(script[SCRIPT_CAPACITY - 1], 0);
        for (UINT32 i = c.prefill; i < c.expectedLength; ++i)
            ASSERT_EQ(script[i], L't');
    }
}

// Strict base64 decoding, independent of CryptoAPI.
bool DecodeBase64(const std::wstring& text, std::string* bytes) {
    static const std::wstring alphabet = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0)
        return false;
    bytes->clear();
    unsigned bits = 0;
    int count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'=') {
            if (i + 2 < text.size())
                return false;
            continue;
        }
        size_t value = alphabet.find(text[i]);
        if (value == std::wstring::npos)
            return false;
        bits = (bits << 6) | (unsigned)value;
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes->push_back((char)((bits >> count) & 0xFF));
        }
    }
    return true;
}

TEST(ExtractCommandLine, IsOneLineAndDecodesBackToTheScript) {
    std::wstring longPath = L"C:\\" + std::wstring(200, L'x') + L"'\u2019";
    std::wstring scripts[] = {
        Build(L"C:\\p.zip", L"C:\\d", FALSE, nullptr),
        Build(L"C:\\p.zip", L"C:\\d", TRUE, L""),
        Build(L"C:\\\u2018q\u2019.zip", L"C:\\it's", TRUE, L"C:\\\u201A\u201B"),
        Build(longPath.c_str(), longPath.c_str(), TRUE, longPath.c_str()),
    };
    const std::wstring prefix =
        L"powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -EncodedCommand ";
    ASSERT_EQ(prefix.size(), 82u);
    for (const std::wstring& script : scripts) {
        WCHAR* encoded = nullptr;
        DWORD encodedLength = 0;
        ASSERT_TRUE(EncodeScript(script.c_str(), &encoded, &encodedLength));
        ASSERT_EQ(WideLength(encoded), encodedLength);
        WCHAR* commandLine = BuildPowerShellCommandLine(encoded, encodedLength);
        ASSERT_NE(commandLine, nullptr);
        std::wstring line(commandLine);
        EXPECT_EQ(line.find_first_of(L"\r\n"), std::wstring::npos);
        ASSERT_EQ(line.substr(0, prefix.size()), prefix);
        std::wstring argument = line.substr(prefix.size());
        EXPECT_EQ(argument, std::wstring(encoded));

        std::string bytes;
        ASSERT_TRUE(DecodeBase64(argument, &bytes));
        std::string expected((const char*)script.data(), script.size() * sizeof(wchar_t));
        EXPECT_EQ(bytes, expected);

        // Zero-filled buffer of encoded length + 160 units.
        SIZE_T size = HeapSize(GetProcessHeap(), 0, commandLine);
        EXPECT_EQ(size, ((SIZE_T)encodedLength + 160) * sizeof(WCHAR));
        for (SIZE_T i = line.size(); i < encodedLength + 160; ++i)
            ASSERT_EQ(commandLine[i], 0);
        HeapRelease(commandLine);
        HeapRelease(encoded);
    }
}

TEST(PowerShellPath, IsTheSystemCopyAndRespectsTheCapacity) {
    WCHAR system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::wstring expected = std::wstring(system) + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
    struct Case {
        UINT32 capacity;
        bool fits;
    } cases[] = {
        {PATH_CAPACITY, true},
        {(UINT32)expected.size() + 1, true},
        {(UINT32)expected.size(), false},
        {length + 1, false},
        {5, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::vector<WCHAR> path(c.capacity + 8, L'#');
        SetLastError(0);
        BOOL ok = GetPowerShellPath(path.data(), c.capacity);
        EXPECT_EQ(ok != FALSE, c.fits);
        if (c.fits) {
            EXPECT_EQ(std::wstring(path.data()), expected);
        } else {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
        }
        for (size_t i = c.capacity; i < path.size(); ++i)
            ASSERT_EQ(path[i], L'#') << "written past the capacity";
    }
}

} // namespace
