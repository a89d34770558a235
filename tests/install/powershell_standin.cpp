// PowerShell stand-in for the test prefix (tests only, never shipped). Wine's own powershell.exe is a stub
// that runs nothing, so the rig installs this program as the system PowerShell. It accepts only the
// installer's exact command line, decodes the script, checks it piece by piece against the installer's
// fixed texts (reading the quoted paths by PowerShell's rules for single-quoted literals) and then does
// what the script says: create the destination, copy the zip's "Payload" items into it, check the two
// marker files, and write the shortcut through IShellLinkW. The copy here is synchronous, so the script's
// settling wait (up to ten minutes) is skipped: the marker check is made once, right after the copy.
//
// Exit codes follow the script (0, 20, 21, 22, 1 for a failed statement); a command line or script that
// is not exactly the installer's ends with 90 and up. Every run appends one line to
// %TEMP%\powershell-standin.log, naming the code, the reason, the paths, the OEM code page it read the names
// in, the stand-in's own location and its process id.
#include "powershell_standin.h"

#include <cstdio>

namespace {

std::wstring g_zip = L"?", g_dest = L"?";

std::string ToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size, nullptr, nullptr);
    return out;
}

} // namespace

[[noreturn]] void Finish(int code, const std::wstring& message) {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    wchar_t self[MAX_PATH] = L"?";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"exit " + std::to_wstring(code) + L": " + message + L" (zip=" + g_zip + L" dest=" +
                        g_dest + L" oem=" + std::to_wstring(GetOEMCP()) + L" exe=" + self + L" pid=" +
                        std::to_wstring(GetCurrentProcessId()) + L")\r\n";
    if (length > 0 && length <= MAX_PATH) {
        std::wstring logPath = std::wstring(temp) + L"powershell-standin.log";
        HANDLE log = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log != INVALID_HANDLE_VALUE) {
            std::string bytes = ToUtf8(line);
            DWORD written = 0;
            WriteFile(log, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
            CloseHandle(log);
        }
    }
    if (code != EXIT_OK)
        fprintf(stderr, "powershell stand-in: %s", ToUtf8(line).c_str());
    ExitProcess((UINT)code);
}

std::wstring CodeText(DWORD code) {
    return L" (error " + std::to_wstring(code) + L")";
}

namespace {

// ---- command line ----

bool EndsWithNoCase(const std::wstring& text, const std::wstring& tail) {
    if (text.size() < tail.size())
        return false;
    return CompareStringOrdinal(text.data() + text.size() - tail.size(), (int)tail.size(), tail.data(),
                                (int)tail.size(), TRUE) == CSTR_EQUAL;
}

// Returns the base64 text after the fixed options. The program name may be "powershell.exe" as the
// installer writes it, or a quoted full path when the stand-in is started from outside Wine.
std::wstring EncodedArgument(const std::wstring& commandLine) {
    size_t end;
    std::wstring program;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        end = commandLine.find(L'"', 1);
        if (end == std::wstring::npos)
            Finish(EXIT_BAD_COMMAND_LINE, L"unterminated program name");
        program = commandLine.substr(1, end - 1);
        ++end;
    } else {
        end = commandLine.find(L' ');
        if (end == std::wstring::npos)
            end = commandLine.size();
        program = commandLine.substr(0, end);
    }
    if (!(program == L"powershell.exe" || EndsWithNoCase(program, L"\\powershell.exe")))
        Finish(EXIT_BAD_COMMAND_LINE, L"unexpected program name: " + program);
    static const std::wstring options =
        L" -NoProfile -NonInteractive -ExecutionPolicy Bypass -EncodedCommand ";
    if (commandLine.compare(end, options.size(), options) != 0)
        Finish(EXIT_BAD_COMMAND_LINE, L"options differ: " + commandLine.substr(end));
    return commandLine.substr(end + options.size());
}

int Base64Value(wchar_t c) {
    if (c >= L'A' && c <= L'Z')
        return c - L'A';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 26;
    if (c >= L'0' && c <= L'9')
        return c - L'0' + 52;
    if (c == L'+')
        return 62;
    if (c == L'/')
        return 63;
    return -1;
}

// Strict standard base64 of UTF-16LE text: nothing but the alphabet and final padding.
std::wstring DecodeScript(const std::wstring& encoded) {
    if (encoded.empty() || encoded.size() % 4 != 0)
        Finish(EXIT_BAD_ENCODING, L"base64 length is not a multiple of 4");
    size_t padding = 0;
    while (padding < 2 && encoded[encoded.size() - 1 - padding] == L'=')
        ++padding;
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    int count = 0;
    for (size_t i = 0; i < encoded.size() - padding; ++i) {
        int value = Base64Value(encoded[i]);
        if (value < 0)
            Finish(EXIT_BAD_ENCODING, L"character outside the base64 alphabet at " + std::to_wstring(i));
        bits = (bits << 6) | (uint32_t)value;
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back((uint8_t)(bits >> count));
        }
    }
    if (bytes.size() % 2 != 0)
        Finish(EXIT_BAD_ENCODING, L"odd number of script bytes");
    std::wstring script(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < script.size(); ++i)
        script[i] = (wchar_t)(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return script;
}

// ---- script ----

const wchar_t SCRIPT_START[] = L"$ErrorActionPreference='Stop';$zip=";
const wchar_t SCRIPT_DEST[] = L";$dest=";
const wchar_t SCRIPT_EXTRACT[] =
    L";New-Item -ItemType Directory -Force -Path $dest|Out-Null;$sh=New-Object -ComObject Shell.Application;"
    L"$zf=$sh.NameSpace($zip);$df=$sh.NameSpace($dest);if($null -eq $zf -or $null -eq $df){exit 20};"
    L"$pi=$zf.ParseName('Payload');if($null -eq $pi){exit 21};$pf=$pi.GetFolder;$df.CopyHere($pf.Items(),20);"
    L"$last=-1;$stable=0;for($i=0;$i -lt 3000;$i++){$sum=(Get-ChildItem -LiteralPath $dest -Recurse "
    L"-ErrorAction SilentlyContinue|Where-Object{-not $_.PSIsContainer}|Measure-Object -Property Length "
    L"-Sum).Sum;if($null -eq $sum){$sum=0};$exe=Join-Path $dest 'TOVKinemo.exe';$mark=Join-Path $dest "
    L"'tovkinemo.root';if((Test-Path -LiteralPath $exe)-and(Test-Path -LiteralPath $mark)-and$sum -eq $last)"
    L"{$stable++}else{$stable=0};if($stable -ge 10){break};$last=$sum;Start-Sleep -Milliseconds 200};"
    L"if($stable -lt 10){exit 22};";
const wchar_t SCRIPT_DESKTOP_GIVEN[] = L"$desktop=";
const wchar_t SCRIPT_DESKTOP_DEFAULT[] = L"$desktop=[Environment]::GetFolderPath('Desktop');";
const wchar_t SCRIPT_SHORTCUT[] =
    L"$ws=New-Object -ComObject WScript.Shell;$lnk=$ws.CreateShortcut((Join-Path $desktop 'TOV Kinemo.lnk'));"
    L"$lnk.TargetPath=(Join-Path $dest 'TOVKinemo.exe');$lnk.WorkingDirectory=$dest;$ico=Join-Path $dest "
    L"'Assets\\AppIcon.ico';if(Test-Path -LiteralPath $ico){$lnk.IconLocation=$ico}else{$lnk.IconLocation="
    L"$lnk.TargetPath};$lnk.Save();";
const wchar_t SCRIPT_END[] = L"exit 0";

bool IsQuote(wchar_t c) {
    return c == 0x0027 || c == 0x2018 || c == 0x2019 || c == 0x201A || c == 0x201B;
}

struct Reader {
    const std::wstring& text;
    size_t at = 0;

    bool Peek(const wchar_t* piece) const { return text.compare(at, wcslen(piece), piece) == 0; }

    void Expect(const wchar_t* piece) {
        size_t length = wcslen(piece);
        for (size_t i = 0; i < length; ++i) {
            if (at + i >= text.size() || text[at + i] != piece[i])
                Finish(EXIT_SCRIPT_DIFFERS, L"script differs at unit " + std::to_wstring(at + i) +
                                                L", expected: " + std::wstring(piece + i).substr(0, 40));
        }
        at += length;
    }

    // A single-quoted literal as PowerShell reads it: any single-quote character ends it unless another
    // one follows, and such a pair stands for one character. The installer always opens and closes the
    // literal with the plain apostrophe.
    std::wstring Literal() {
        if (at >= text.size() || text[at] != L'\'')
            Finish(EXIT_SCRIPT_DIFFERS, L"expected an apostrophe at unit " + std::to_wstring(at));
        size_t start = at++;
        std::wstring value;
        for (;;) {
            if (at >= text.size())
                Finish(EXIT_UNTERMINATED_LITERAL,
                       L"literal from unit " + std::to_wstring(start) + L" never ends");
            wchar_t c = text[at++];
            if (IsQuote(c)) {
                if (at < text.size() && IsQuote(text[at])) {
                    value += text[at++];
                    continue;
                }
                if (c != L'\'')
                    Finish(EXIT_SCRIPT_DIFFERS, L"literal closed by U+" + std::to_wstring((unsigned)c) +
                                                    L" at unit " + std::to_wstring(at - 1));
                return value;
            }
            value += c;
        }
    }
};

Script ParseScript(const std::wstring& text) {
    Script script;
    Reader reader{text};
    reader.Expect(SCRIPT_START);
    script.zip = reader.Literal();
    reader.Expect(SCRIPT_DEST);
    script.dest = reader.Literal();
    reader.Expect(SCRIPT_EXTRACT);
    if (reader.Peek(SCRIPT_DESKTOP_DEFAULT)) {
        reader.Expect(SCRIPT_DESKTOP_DEFAULT);
        script.shortcut = script.desktopDefault = true;
    } else if (reader.Peek(SCRIPT_DESKTOP_GIVEN)) {
        reader.Expect(SCRIPT_DESKTOP_GIVEN);
        script.shortcutDir = reader.Literal();
        reader.Expect(L";");
        script.shortcut = true;
    }
    if (script.shortcut)
        reader.Expect(SCRIPT_SHORTCUT);
    reader.Expect(SCRIPT_END);
    if (reader.at != text.size())
        Finish(EXIT_SCRIPT_DIFFERS, L"text after the final exit at unit " + std::to_wstring(reader.at));
    return script;
}

} // namespace

int wmain() {
    Script script = ParseScript(DecodeScript(EncodedArgument(GetCommandLineW())));
    HoldIfAsked();
    wchar_t fault[MAX_PATH];
    DWORD faultLength = GetEnvironmentVariableW(L"TOV_STANDIN_FAULT", fault, MAX_PATH);
    if (faultLength > 0 && faultLength < MAX_PATH)
        g_fault = fault;
    g_zip = script.zip;
    g_dest = script.dest;
    MakeDirectories(script.dest);
    CopyPayload(script);
    if (!g_cutMark.empty()) {
        HANDLE cut = CreateFileW(g_cutMark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (cut != INVALID_HANDLE_VALUE)
            CloseHandle(cut);
        Finish(EXIT_STATEMENT_FAILED, L"cut short after the program file and the root marker");
    }
    if (!Exists(JoinPath(script.dest, L"TOVKinemo.exe")) || !Exists(JoinPath(script.dest, L"tovkinemo.root")))
        Finish(EXIT_NOT_SETTLED, L"TOVKinemo.exe or tovkinemo.root missing after the copy");
    if (script.shortcut)
        WriteShortcut(script);
    Finish(EXIT_OK, script.shortcut ? L"installed with shortcut" : L"installed");
}
