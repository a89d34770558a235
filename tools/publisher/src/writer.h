// Building update.json from the release facts, refusing anything the installer could not read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pub {

struct ChannelInput {
    std::string channel;  // "win7" or "win10"
    std::string url;
    std::string sha256;   // lowercase hex
    uint64_t sizeBytes = 0;
    bool reuse = false; // "reuse": true in the channel object: upgrades fetch only changed entries
};

// JSON string body: quote and backslash escaped, LF CR TAB as \n \r \t, everything else raw.
// False when the text holds another control character (it would need \u, which the installer refuses).
bool EscapeJsonString(const std::string& text, std::string* out);

// Checks of single inputs; on false *why says what is wrong.
bool CheckVersion(const std::string& version, std::string* why);
// A URL also needs a host (and a port from 1 to 65535 if one is written); user information in it
// is allowed but reported in *warning (cleared when there is none).
bool CheckUrl(const std::string& url, std::string* why, std::string* warning = nullptr);

// The manifest text: one compact line with a final LF, no BOM, channels in the given order.
// allowDowngrade writes the top-level "allowDowngrade": true after "latestVersion".
bool BuildManifest(const std::string& version, const std::vector<ChannelInput>& channels, std::string* json,
                   std::string* why, bool allowDowngrade = false);

}  // namespace pub
