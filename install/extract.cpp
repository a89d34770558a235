// Payload extraction: a one-line PowerShell script, sent base64-encoded on the command line, unpacks the
// package's "Payload" folder through the Shell, waits for the files to settle and optionally writes the
// desktop shortcut. The step is judged by PowerShell's exit code alone.
#include "install/install.h"
#include "support/libraries.h"

static const WCHAR SCRIPT_START[] = L"$ErrorActionPreference='Stop';$zip=";
static const WCHAR SCRIPT_DEST[] = L";$dest=";
static const WCHAR SCRIPT_EXTRACT[] =
    L";New-Item -ItemType Directory -Force -Path $dest|Out-Null;"
    L"$sh=New-Object -ComObject Shell.Application;$zf=$sh.NameSpace($zip);$df=$sh.NameSpace($dest);"
    L"if($null -eq $zf -or $null -eq $df){exit 20};"
    L"$pi=$zf.ParseName('Payload');if($null -eq $pi){exit 21};"
    L"$pf=$pi.GetFolder;$df.CopyHere($pf.Items(),20);"
    L"$last=-1;$stable=0;for($i=0;$i -lt 3000;$i++){"
    L"$sum=(Get-ChildItem -LiteralPath $dest -Recurse -ErrorAction SilentlyContinue|"
    L"Where-Object{-not $_.PSIsContainer}|Measure-Object -Property Length -Sum).Sum;"
    L"if($null -eq $sum){$sum=0};"
    L"$exe=Join-Path $dest 'TOVKinemo.exe';$mark=Join-Path $dest 'tovkinemo.root';"
    L"if((Test-Path -LiteralPath $exe)-and(Test-Path -LiteralPath $mark)-and$sum -eq $last){$stable++}"
    L"else{$stable=0};"
    L"if($stable -ge 10){break};$last=$sum;Start-Sleep -Milliseconds 200};"
    L"if($stable -lt 10){exit 22};";
static const WCHAR SCRIPT_DESKTOP_GIVEN[] = L"$desktop=";
static const WCHAR SCRIPT_DESKTOP_END[] = L";";
static const WCHAR SCRIPT_DESKTOP_DEFAULT[] = L"$desktop=[Environment]::GetFolderPath('Desktop');";
static const WCHAR SCRIPT_SHORTCUT[] =
    L"$ws=New-Object -ComObject WScript.Shell;"
    L"$lnk=$ws.CreateShortcut((Join-Path $desktop 'TOV Kinemo.lnk'));"
    L"$lnk.TargetPath=(Join-Path $dest 'TOVKinemo.exe');$lnk.WorkingDirectory=$dest;"
    L"$ico=Join-Path $dest 'Assets\\AppIcon.ico';"
    L"if(Test-Path -LiteralPath $ico){$lnk.IconLocation=$ico}else{$lnk.IconLocation=$lnk.TargetPath};"
    L"$lnk.Save();";
static const WCHAR SCRIPT_END[] = L"exit 0";

static const WCHAR COMMAND_LINE_FORMAT[] =
    L"powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -EncodedCommand %s";
static const WCHAR POWERSHELL_SUFFIX[] = L"\\WindowsPowerShell\\v1.0\\powershell.exe";
static const DWORD BASE64_ONE_LINE = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;

void AppendScript(WCHAR* script, const WCHAR* text) {
    UINT32 length = WideLength(script);
    if (SCRIPT_CAPACITY - length <= 1)
        return;
    UINT32 room = SCRIPT_CAPACITY - 1 - length;
    UINT32 copied = 0;
    while (copied < room && text[copied]) {
        script[length + copied] = text[copied];
        ++copied;
    }
    script[length + copied] = 0;
    script[SCRIPT_CAPACITY - 1] = 0;
}

// PowerShell ends a single-quoted literal at the apostrophe and at each of the typographic single quotes
// (left, right, low-9 and high-reversed-9), so every one of them has to be written twice.
static BOOL IsSingleQuoteCharacter(WCHAR c) {
    return c == 0x0027 || c == 0x2018 || c == 0x2019 || c == 0x201A || c == 0x201B;
}

void AppendQuotedLiteral(WCHAR* script, const WCHAR* text) {
    AppendScript(script, L"'");
    for (UINT32 i = 0; text[i]; ++i) {
        WCHAR piece[3] = {text[i], 0, 0};
        if (IsSingleQuoteCharacter(text[i]))
            piece[1] = text[i];
        AppendScript(script, piece);
    }
    AppendScript(script, L"'");
}

void BuildExtractScript(WCHAR* script, const WCHAR* packagePath, const WCHAR* installDir, BOOL createShortcut,
                        const WCHAR* shortcutDir) {
    AppendScript(script, SCRIPT_START);
    AppendQuotedLiteral(script, packagePath);
    AppendScript(script, SCRIPT_DEST);
    AppendQuotedLiteral(script, installDir);
    AppendScript(script, SCRIPT_EXTRACT);
    if (createShortcut) {
        if (shortcutDir && shortcutDir[0]) {
            AppendScript(script, SCRIPT_DESKTOP_GIVEN);
            AppendQuotedLiteral(script, shortcutDir);
            AppendScript(script, SCRIPT_DESKTOP_END);
        } else {
            AppendScript(script, SCRIPT_DESKTOP_DEFAULT);
        }
        AppendScript(script, SCRIPT_SHORTCUT);
    }
    AppendScript(script, SCRIPT_END);
}

BOOL GetPowerShellPath(WCHAR* path, UINT32 capacity) {
    UINT32 length = GetSystemDirectoryW(path, capacity);
    if (length == 0)
        return FALSE;
    UINT32 suffixLength = WideLength(POWERSHELL_SUFFIX);
    if (length >= capacity || capacity - length <= suffixLength) {
        if (capacity)
            path[0] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    MemoryCopy(path + length, POWERSHELL_SUFFIX, (suffixLength + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL EncodeScript(const WCHAR* script, WCHAR** encoded, DWORD* encodedLength) {
    *encoded = nullptr;
    *encodedLength = 0;
    if (!LoadCrypt32())
        return FALSE;
    DWORD byteCount = WideLength(script) * (DWORD)sizeof(WCHAR);
    DWORD needed = 0;
    if (!crypt32.binaryToStringW((const BYTE*)script, byteCount, BASE64_ONE_LINE, nullptr, &needed))
        return FALSE;
    WCHAR* text = (WCHAR*)HeapTake((SIZE_T)needed * sizeof(WCHAR), FALSE);
    if (!text) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    DWORD length = needed;
    if (!crypt32.binaryToStringW((const BYTE*)script, byteCount, BASE64_ONE_LINE, text, &length)) {
        DWORD code = GetLastError();
        HeapRelease(text);
        SetLastError(code);
        return FALSE;
    }
    *encoded = text;
    *encodedLength = length;
    return TRUE;
}

WCHAR* BuildPowerShellCommandLine(const WCHAR* encoded, DWORD encodedLength) {
    WCHAR* commandLine = (WCHAR*)HeapTake(((SIZE_T)encodedLength + 160) * sizeof(WCHAR), TRUE);
    if (!commandLine)
        return nullptr;
    FormatText(commandLine, encodedLength + 159, COMMAND_LINE_FORMAT, encoded);
    return commandLine;
}

// Starts PowerShell by its full path with the prepared command line and waits for it to end.
static BOOL RunPowerShell(WCHAR* commandLine) {
    WCHAR application[PATH_CAPACITY];
    if (!GetPowerShellPath(application, PATH_CAPACITY))
        return FALSE;
    STARTUPINFOW startup;
    MemoryZero(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    MemoryZero(&process, sizeof(process));
    if (!CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
        return FALSE;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.hProcess, &exitCode))
        exitCode = 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (exitCode != 0) {
        SetLastError(ERROR_INSTALL_FAILURE);
        return FALSE;
    }
    return TRUE;
}

BOOL ExtractPayload(const WCHAR* packagePath, const WCHAR* installDir, BOOL createShortcut,
                    const WCHAR* shortcutDir) {
    WCHAR* script = (WCHAR*)HeapTake(SCRIPT_CAPACITY * sizeof(WCHAR), TRUE);
    if (!script) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    BuildExtractScript(script, packagePath, installDir, createShortcut, shortcutDir);

    WCHAR* encoded = nullptr;
    DWORD encodedLength = 0;
    WCHAR* commandLine = nullptr;
    BOOL ok = EncodeScript(script, &encoded, &encodedLength);
    if (ok) {
        commandLine = BuildPowerShellCommandLine(encoded, encodedLength);
        if (!commandLine) {
            SetLastError(ERROR_OUTOFMEMORY);
            ok = FALSE;
        }
    }
    if (ok)
        ok = RunPowerShell(commandLine);

    // Freeing must not disturb the code that tells the job what failed.
    DWORD code = GetLastError();
    HeapRelease(commandLine);
    HeapRelease(encoded);
    HeapRelease(script);
    SetLastError(code);
    return ok;
}
