// Installation actions: PowerShell extraction with the shortcut, and the application launch.
#pragma once

#include "support/support.h"

static const UINT32 SCRIPT_CAPACITY = 24000;

void AppendScript(WCHAR* script, const WCHAR* text);
void AppendQuotedLiteral(WCHAR* script, const WCHAR* text);
// Builds the whole script into a zero-filled buffer of SCRIPT_CAPACITY units.
void BuildExtractScript(WCHAR* script, const WCHAR* packagePath, const WCHAR* installDir, BOOL createShortcut,
                        const WCHAR* shortcutDir);
// The system PowerShell's full path (system directory + \WindowsPowerShell\v1.0\powershell.exe).
BOOL GetPowerShellPath(WCHAR* path, UINT32 capacity);
// Base64 of the script's UTF-16LE bytes as one line, in a heap buffer; the length excludes the terminator.
// On failure the last-error value is the system's code, or ERROR_OUTOFMEMORY.
BOOL EncodeScript(const WCHAR* script, WCHAR** encoded, DWORD* encodedLength);
// The PowerShell command line for an encoded script, in a zero-filled heap buffer of encodedLength + 160
// units; null when the buffer could not be taken.
WCHAR* BuildPowerShellCommandLine(const WCHAR* encoded, DWORD encodedLength);
BOOL ExtractPayload(const WCHAR* packagePath, const WCHAR* installDir, BOOL createShortcut,
                    const WCHAR* shortcutDir);
BOOL LaunchApplication(const WCHAR* installDir);
