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
    uint64_t payloadFiles = 0;
    std::vector<std::string> problems;  // each one makes the package unusable
    std::vector<std::string> warnings;
};
bool InspectPackage(const std::string& path, PackageReport* report, std::string* error);
// True when the report has no problems; otherwise *why lists them.
bool PackageUsable(const PackageReport& report, std::string* why);

}  // namespace pub
