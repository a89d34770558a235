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
// %TEMP%\powershell-standin.log, naming the code, the reason, the paths, the stand-in's own location and
// its process id.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum StandInExit {
    EXIT_OK = 0,
    EXIT_STATEMENT_FAILED = 1,
    EXIT_CANNOT_OPEN = 20,
    EXIT_NO_PAYLOAD = 21,
    EXIT_NOT_SETTLED = 22,
    EXIT_BAD_COMMAND_LINE = 90,
    EXIT_BAD_ENCODING = 91,
    EXIT_SCRIPT_DIFFERS = 92,
    EXIT_UNTERMINATED_LITERAL = 93,
};

std::wstring g_zip = L"?", g_dest = L"?";

std::string ToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size, nullptr, nullptr);
    return out;
}

[[noreturn]] void Finish(int code, const std::wstring& message) {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    wchar_t self[MAX_PATH] = L"?";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"exit " + std::to_wstring(code) + L": " + message + L" (zip=" + g_zip + L" dest=" +
                        g_dest + L" exe=" + self + L" pid=" + std::to_wstring(GetCurrentProcessId()) +
                        L")\r\n";
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

struct Script {
    std::wstring zip, dest, shortcutDir;
    bool shortcut = false, desktopDefault = false;
};

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

// ---- zip archive ----

struct ZipEntry {
    std::wstring name; // '/' separated
    uint16_t method;
    uint32_t crc;
    uint64_t compressedSize, size, localOffset;
};

uint16_t Read16(const std::vector<uint8_t>& data, size_t at) {
    return (uint16_t)(data[at] | (data[at + 1] << 8));
}
uint32_t Read32(const std::vector<uint8_t>& data, size_t at) {
    return (uint32_t)Read16(data, at) | ((uint32_t)Read16(data, at + 2) << 16);
}

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& data) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < 0x40000000;
    if (ok) {
        data.resize((size_t)size.QuadPart);
        DWORD got = 0;
        ok = data.empty() ||
             (ReadFile(file, data.data(), (DWORD)data.size(), &got, nullptr) && got == data.size());
    }
    CloseHandle(file);
    return ok;
}

// Reads the central directory; false when the file is not a zip archive this stand-in understands.
bool ReadCentralDirectory(const std::vector<uint8_t>& data, std::vector<ZipEntry>& entries) {
    if (data.size() < 22)
        return false;
    size_t end = std::string::npos;
    size_t lowest = data.size() > 22 + 65535 ? data.size() - 22 - 65535 : 0;
    for (size_t at = data.size() - 22 + 1; at-- > lowest;) {
        if (Read32(data, at) == 0x06054b50) {
            end = at;
            break;
        }
    }
    if (end == std::string::npos)
        return false;
    uint16_t count = Read16(data, end + 10);
    uint32_t directorySize = Read32(data, end + 12), directoryOffset = Read32(data, end + 16);
    if ((uint64_t)directoryOffset + directorySize > end)
        return false;
    size_t at = directoryOffset;
    for (uint16_t i = 0; i < count; ++i) {
        if (at + 46 > end || Read32(data, at) != 0x02014b50)
            return false;
        uint16_t flags = Read16(data, at + 8);
        ZipEntry entry;
        entry.method = Read16(data, at + 10);
        entry.crc = Read32(data, at + 16);
        entry.compressedSize = Read32(data, at + 20);
        entry.size = Read32(data, at + 24);
        uint16_t nameLength = Read16(data, at + 28), extraLength = Read16(data, at + 30),
                 commentLength = Read16(data, at + 32);
        entry.localOffset = Read32(data, at + 42);
        if (at + 46 + nameLength + extraLength > end)
            return false;
        // A zip64 extra field holds, in this order, each of the three values whose field reads all ones.
        for (size_t x = at + 46 + nameLength; x + 4 <= at + 46 + nameLength + extraLength;
             x += 4 + Read16(data, x + 2)) {
            size_t value = x + 4, stop = value + Read16(data, x + 2);
            for (uint64_t* field : {&entry.size, &entry.compressedSize, &entry.localOffset})
                if (Read16(data, x) == 1 && *field == 0xFFFFFFFF && value + 8 <= stop) {
                    *field = Read32(data, value) | (uint64_t)Read32(data, value + 4) << 32;
                    value += 8;
                }
        }
        UINT codePage = (flags & 0x800) ? CP_UTF8 : 437;
        const char* name = (const char*)&data[at + 46];
        int wide = MultiByteToWideChar(codePage, 0, name, nameLength, nullptr, 0);
        entry.name.assign(wide, L'\0');
        if (wide)
            MultiByteToWideChar(codePage, 0, name, nameLength, &entry.name[0], wide);
        for (wchar_t& c : entry.name)
            if (c == L'\\')
                c = L'/';
        entries.push_back(entry);
        at += 46 + nameLength + extraLength + commentLength;
    }
    return true;
}

bool ExtractEntry(const std::vector<uint8_t>& data, const ZipEntry& entry, std::vector<uint8_t>& out) {
    size_t at = entry.localOffset;
    if (at + 30 > data.size() || Read32(data, at) != 0x04034b50)
        return false;
    size_t start = at + 30 + Read16(data, at + 26) + Read16(data, at + 28);
    if (start + entry.compressedSize > data.size() || entry.size > 0xFFFFFFFFu)
        return false;
    out.assign(entry.size, 0);
    if (entry.method == 0) {
        if (entry.compressedSize != entry.size)
            return false;
        std::copy(data.begin() + start, data.begin() + start + entry.size, out.begin());
    } else if (entry.method == 8) {
        z_stream stream = {};
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
            return false;
        stream.next_in = const_cast<Bytef*>(&data[start]);
        stream.avail_in = (uInt)entry.compressedSize;
        uint8_t dummy;
        stream.next_out = out.empty() ? &dummy : out.data();
        stream.avail_out = (uInt)entry.size;
        int result = inflate(&stream, Z_FINISH);
        inflateEnd(&stream);
        if (result != Z_STREAM_END || stream.total_out != entry.size)
            return false;
    } else {
        return false;
    }
    return crc32(0, out.data(), (uInt)out.size()) == entry.crc;
}

// ---- files ----

std::wstring JoinPath(const std::wstring& directory, const std::wstring& child) {
    if (!directory.empty() && (directory.back() == L'\\' || directory.back() == L'/'))
        return directory + child;
    return directory + L"\\" + child;
}

bool IsDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeDirectories(const std::wstring& path) {
    int result = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    if (!IsDirectory(path))
        Finish(EXIT_STATEMENT_FAILED, L"cannot create directory " + path + CodeText(result));
}

// Splits an entry name below "Payload/" into components; refuses names that would leave the destination.
std::vector<std::wstring> SafeComponents(const std::wstring& relative) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t slash = relative.find(L'/', start);
        if (slash == std::wstring::npos)
            slash = relative.size();
        std::wstring part = relative.substr(start, slash - start);
        if (part.empty() && slash != relative.size())
            Finish(EXIT_STATEMENT_FAILED, L"empty component in " + relative);
        if (part == L"." || part == L".." || part.find(L':') != std::wstring::npos)
            Finish(EXIT_STATEMENT_FAILED, L"unsafe entry name Payload/" + relative);
        if (!part.empty())
            parts.push_back(part);
        start = slash + 1;
    }
    return parts;
}

void WriteWholeFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        Finish(EXIT_STATEMENT_FAILED, L"cannot write " + path + CodeText(GetLastError()));
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) &&
                                written == bytes.size());
    CloseHandle(file);
    if (!ok)
        Finish(EXIT_STATEMENT_FAILED, L"short write to " + path);
}

bool IsPayloadName(const std::wstring& name, std::wstring* relative) {
    static const std::wstring top = L"payload";
    if (name.size() < top.size() + 1 || name[top.size()] != L'/')
        return false;
    if (CompareStringOrdinal(name.data(), (int)top.size(), L"Payload", (int)top.size(), TRUE) != CSTR_EQUAL)
        return false;
    *relative = name.substr(top.size() + 1);
    return true;
}

// Set when a held run is let go with "cut" in the hold file: the stand-in then writes only the program
// file and the root marker and ends as a PowerShell killed part-way would, leaving "<hold>.cut".
std::wstring g_cutMark;

bool KeptWhenCut(const std::wstring& relative) {
    return CompareStringOrdinal(relative.c_str(), -1, L"TOVKinemo.exe", -1, TRUE) == CSTR_EQUAL ||
           CompareStringOrdinal(relative.c_str(), -1, L"tovkinemo.root", -1, TRUE) == CSTR_EQUAL;
}

// Harm the Shell can do to a copy and still end with 0, named by TOV_STANDIN_FAULT as "cut:NAME" (the
// file written with half its bytes), "skip:NAME" (the entry and any below it not copied) or "keep:NAME"
// (a file already in the destination left as it was); NAME is a path below "Payload/", in any case.
std::wstring g_fault;

bool Faulted(const wchar_t* kind, std::wstring relative) {
    std::wstring named = std::wstring(kind) + L":";
    if (!relative.empty() && relative.back() == L'/')
        relative.pop_back();
    for (size_t end = 0; end != std::wstring::npos; end = relative.find(L'/', end + 1)) {
        std::wstring path = named + (end ? relative.substr(0, end) : relative);
        if (CompareStringOrdinal(g_fault.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

void CopyPayload(const Script& script) {
    std::vector<uint8_t> archive;
    std::vector<ZipEntry> entries;
    if (!ReadWholeFile(script.zip, archive) || !ReadCentralDirectory(archive, entries))
        Finish(EXIT_CANNOT_OPEN, L"cannot open the archive");
    if (!IsDirectory(script.dest))
        Finish(EXIT_CANNOT_OPEN, L"cannot open the destination");
    bool found = false;
    std::wstring relative;
    for (const ZipEntry& entry : entries)
        found = found || IsPayloadName(entry.name, &relative);
    if (!found)
        Finish(EXIT_NO_PAYLOAD, L"no top-level Payload folder");
    for (const ZipEntry& entry : entries) {
        if (!IsPayloadName(entry.name, &relative) || relative.empty() || Faulted(L"skip", relative))
            continue;
        std::vector<std::wstring> parts = SafeComponents(relative);
        bool isDirectory = relative.back() == L'/';
        std::wstring path = script.dest;
        for (size_t i = 0; i + (isDirectory ? 0 : 1) < parts.size(); ++i) {
            path = JoinPath(path, parts[i]);
            if (!IsDirectory(path) && !CreateDirectoryW(path.c_str(), nullptr))
                Finish(EXIT_STATEMENT_FAILED, L"cannot create " + path + CodeText(GetLastError()));
        }
        if (isDirectory || (!g_cutMark.empty() && !KeptWhenCut(relative)))
            continue;
        std::vector<uint8_t> bytes;
        if (!ExtractEntry(archive, entry, bytes))
            Finish(EXIT_STATEMENT_FAILED, L"corrupt entry " + entry.name);
        if (Faulted(L"cut", relative))
            bytes.resize(bytes.size() / 2);
        if (!(Faulted(L"keep", relative) && Exists(JoinPath(path, parts.back()))))
            WriteWholeFile(JoinPath(path, parts.back()), bytes);
    }
}

void WriteShortcut(const Script& script) {
    std::wstring directory = script.shortcutDir;
    if (script.desktopDefault) {
        wchar_t desktop[MAX_PATH];
        HRESULT result =
            SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop);
        if (FAILED(result))
            Finish(EXIT_STATEMENT_FAILED, L"no Desktop folder" + CodeText((DWORD)result));
        directory = desktop;
    }
    if (!IsDirectory(directory))
        Finish(EXIT_STATEMENT_FAILED, L"shortcut directory does not exist: " + directory);
    std::wstring target = JoinPath(script.dest, L"TOVKinemo.exe");
    std::wstring icon = JoinPath(script.dest, L"Assets\\AppIcon.ico");
    if (!Exists(icon))
        icon = target;
    std::wstring linkPath = JoinPath(directory, L"TOV Kinemo.lnk");

    HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(result))
        Finish(EXIT_STATEMENT_FAILED, L"COM start failed" + CodeText((DWORD)result));
    IShellLinkW* link = nullptr;
    result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void**)&link);
    if (FAILED(result))
        Finish(EXIT_STATEMENT_FAILED, L"no ShellLink object" + CodeText((DWORD)result));
    IPersistFile* file = nullptr;
    if (SUCCEEDED(result = link->SetPath(target.c_str())) &&
        SUCCEEDED(result = link->SetWorkingDirectory(script.dest.c_str())) &&
        SUCCEEDED(result = link->SetIconLocation(icon.c_str(), 0)) &&
        SUCCEEDED(result = link->QueryInterface(IID_IPersistFile, (void**)&file))) {
        result = file->Save(linkPath.c_str(), TRUE);
        file->Release();
    }
    link->Release();
    CoUninitialize();
    if (FAILED(result))
        Finish(EXIT_STATEMENT_FAILED, L"cannot save " + linkPath + CodeText((DWORD)result));
}

// Window tests catch a run during its extraction: with TOV_STANDIN_HOLD naming a file, the stand-in
// makes "<file>.waiting" and waits (up to two minutes) until the test makes the file itself.
static void HoldIfAsked() {
    wchar_t hold[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"TOV_STANDIN_HOLD", hold, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    HANDLE waiting = CreateFileW((std::wstring(hold) + L".waiting").c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (waiting != INVALID_HANDLE_VALUE)
        CloseHandle(waiting);
    for (int i = 0; i < 1200 && !Exists(hold); ++i)
        Sleep(100);
    std::vector<uint8_t> content;
    if (ReadWholeFile(hold, content) && content.size() >= 3 && std::memcmp(content.data(), "cut", 3) == 0)
        g_cutMark = std::wstring(hold) + L".cut";
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
