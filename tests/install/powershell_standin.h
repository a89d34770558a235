// Shared parts of the PowerShell stand-in (tests only): the exit codes, the recognised script, the run's
// final report, the zip reading and the copy that carries out the script.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

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

struct Script {
    std::wstring zip, dest, shortcutDir;
    bool shortcut = false, desktopDefault = false;
};

// Appends the run's line to the log, reports a failure on stderr and ends the process with the code.
[[noreturn]] void Finish(int code, const std::wstring& message);
std::wstring CodeText(DWORD code);

// ---- zip archive (powershell_standin_zip.cpp) ----

struct ZipEntry {
    std::wstring name; // '/' separated
    uint16_t method;
    uint32_t crc;
    uint64_t compressedSize, size, localOffset;
};

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& data);
bool ReadCentralDirectory(const std::vector<uint8_t>& data, std::vector<ZipEntry>& entries);
bool ExtractEntry(const std::vector<uint8_t>& data, const ZipEntry& entry, std::vector<uint8_t>& out);

// ---- files, fault switches and the copy (powershell_standin_copy.cpp) ----

// "<hold>.cut" when a held run was let go with "cut"; the fault named by TOV_STANDIN_FAULT.
extern std::wstring g_cutMark, g_fault;

std::wstring JoinPath(const std::wstring& directory, const std::wstring& child);
bool Exists(const std::wstring& path);
void MakeDirectories(const std::wstring& path);
void CopyPayload(const Script& script);
void WriteShortcut(const Script& script);
void HoldIfAsked();
