// Package facts that the manifest carries (size, SHA-256) and the archive layout that the
// installer's unpacking step needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pub {

// Size and lowercase hex SHA-256 of a file, streamed.
bool HashFile(const std::string& path, uint64_t* size, std::string* sha256Hex, std::string* error);

// The installer copies the archive's top-level "Payload" folder and then waits for
// Payload\TOVKinemo.exe and Payload\tovkinemo.root; without them it fails after ten minutes.
// Names are matched without regard to case (the Shell and the file system ignore it), with "/" or "\".
struct PackageReport {
    bool hasPayload = false;
    bool hasExe = false;
    bool hasRoot = false;
    bool hasIcon = false;
    bool payloadIsFile = false;
    uint64_t payloadFiles = 0;
    std::vector<std::string> problems;  // each one makes the package unusable
    std::vector<std::string> warnings;
    std::vector<std::string> nonAsciiNames; // entry names with a byte above 0x7F, in archive order
};
bool InspectPackage(const std::string& path, PackageReport* report, std::string* error);
// The same judgement entry by entry, for archives being built: add each name, then finish.
void AddPackageEntry(const std::string& name, bool encrypted, int compression, PackageReport* report);
void FinishPackageReport(PackageReport* report);
// True when the report has no problems; otherwise *why lists them.
bool PackageUsable(const PackageReport& report, std::string* why);

// What non-ASCII entry names mean for Windows 7 and 8.1, whose Shell is reported to ignore the UTF-8
// flag (bit 11): empty when every name is ASCII. pack shows it as a note; verify and manifest judge
// it per channel with NoteWin7Names.
std::string NonAsciiNamesText(const PackageReport& report);
// For a package listed for win7: the text above as a warning, or with strict as a refusal.
void NoteWin7Names(const std::string& channel, const PackageReport& report, bool strict,
                   std::vector<std::string>* warnings, std::vector<std::string>* refusals);

// One entry of a package being built: its name in the archive ("Payload/..." with "/"; a folder's
// name ends in "/") and the file it is read from.
struct PackEntry {
    std::string name;
    std::string source;
    bool folder = false;
};
// The entries for a folder of the application's files, sorted by name; false with *problems for
// links, special files and names Windows cannot hold.
bool ListPackageFolder(const std::string& fromDir, std::vector<PackEntry>* entries, std::vector<std::string>* problems);
// A reproducible zip of the entries: deflated files, fixed 1980-01-01 time stamps and DOS attributes.
bool WritePackage(const std::vector<PackEntry>& entries, const std::string& zipPath, std::string* error);

}  // namespace pub
