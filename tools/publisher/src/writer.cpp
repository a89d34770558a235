#include "writer.h"

#include <cstring>

#include "reader.h"

namespace pub {

namespace {

bool Fail(std::string* why, const std::string& text) {
    if (why) *why = text;
    return false;
}


}  // namespace

bool EscapeJsonString(const std::string& text, std::string* out) {
    out->clear();
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        switch (c) {
        case '"': *out += "\\\""; break;
        case '\\': *out += "\\\\"; break;
        case '\n': *out += "\\n"; break;
        case '\r': *out += "\\r"; break;
        case '\t': *out += "\\t"; break;
        default:
            if (b < 0x20) return false;
            *out += c;
        }
    }
    return true;
}

bool CheckVersion(const std::string& version, std::string* why) {
    if (version.empty()) return Fail(why, "the version is empty");
    if (version.size() >= 32)
        return Fail(why, "the version has " + std::to_string(version.size()) +
                             " bytes; the installer takes at most 31");
    if (!IsValidUtf8(version.c_str()) || std::strlen(version.c_str()) != version.size())
        return Fail(why, "the version is not valid UTF-8 text");
    // The installer puts the version into the cache file name "package-<version>-<channel>.zip".
    for (char c : version) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || std::strchr("\\/:*?\"<>|", c))
            return Fail(why, "the version contains a character that is not allowed in a Windows file name");
        if (b >= 0x80)
            return Fail(why, "the version is not plain ASCII; the installer shows it byte by byte");
    }
    if (version.back() == '.' || version.back() == ' ')
        return Fail(why, "the version ends with a dot or space, which Windows file names drop");
    return true;
}

bool CheckUrl(const std::string& url, std::string* why, std::string* warning) {
    if (warning) warning->clear();
    if (std::strlen(url.c_str()) != url.size()) return Fail(why, "the URL contains a zero byte");
    if (url.size() > 2047)
        return Fail(why, "the URL has " + std::to_string(url.size()) + " bytes; the installer takes at most 2047");
    if (!IsValidUtf8(url.c_str())) return Fail(why, "the URL is not valid UTF-8");
    if (!HasHttpsPrefix(url.c_str())) return Fail(why, "the URL must begin with https://");
    for (char c : url) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F) return Fail(why, "the URL contains a space or a control character");
    }
    // Authority: everything after "https://" up to the path, query or fragment.
    size_t authorityEnd = url.find_first_of("/?#", 8);
    std::string authority = url.substr(8, authorityEnd == std::string::npos ? std::string::npos : authorityEnd - 8);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        if (warning)
            *warning = "the URL carries user information (\"" + authority.substr(0, at) +
                       "@\"); anyone who reads the manifest sees it";
        authority = authority.substr(at + 1);
    }
    std::string host = authority, port;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) return Fail(why, "the URL's IPv6 host has no closing ]");
        host = authority.substr(0, close + 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') return Fail(why, "the URL has text after its IPv6 host");
            port = authority.substr(close + 2);
            if (port.empty()) return Fail(why, "the URL has a \":\" but no port");
        }
        if (host.size() <= 2) return Fail(why, "the URL has no host");
    } else {
        size_t colon = authority.find(':');
        if (colon != std::string::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
            if (port.empty()) return Fail(why, "the URL has a \":\" but no port");
        }
    }
    if (host.empty()) return Fail(why, "the URL has no host");
    if (!port.empty()) {
        unsigned long value = 0;
        for (char c : port) {
            if (c < '0' || c > '9' || value > 65535) return Fail(why, "the URL's port is not a number from 1 to 65535");
            value = value * 10 + static_cast<unsigned long>(c - '0');
        }
        if (value < 1 || value > 65535) return Fail(why, "the URL's port is not a number from 1 to 65535");
    }
    return true;
}

bool BuildManifest(const std::string& version, const std::vector<ChannelInput>& channels, std::string* json,
                   std::string* why, bool allowDowngrade) {
    if (!CheckVersion(version, why)) return false;
    if (channels.empty()) return Fail(why, "no channel given");
    std::string out = "{\"latestVersion\":\"";
    std::string escaped;
    if (!EscapeJsonString(version, &escaped)) return Fail(why, "the version contains a control character");
    out += escaped + "\"";
    if (allowDowngrade)
        out += ",\"allowDowngrade\":true";
    for (size_t i = 0; i < channels.size(); ++i) {
        const ChannelInput& ch = channels[i];
        if (ch.channel != "win7" && ch.channel != "win10")
            return Fail(why, "unknown channel \"" + ch.channel + "\" (win7 or win10)");
        for (size_t j = 0; j < i; ++j)
            if (channels[j].channel == ch.channel) return Fail(why, "channel " + ch.channel + " given twice");
        if (!CheckUrl(ch.url, why)) return false;
        if (!IsHexDigest(ch.sha256.c_str())) return Fail(why, "the sha256 of " + ch.channel + " is not 64 hex digits");
        if (ch.sizeBytes == 0) return Fail(why, "the package of " + ch.channel + " is empty");
        std::string url;
        if (!EscapeJsonString(ch.url, &url)) return Fail(why, "the URL contains a control character");
        out += ",\"" + ch.channel + "\":{\"url\":\"" + url + "\",\"sha256\":\"" + ch.sha256 +
               "\",\"sizeBytes\":" + std::to_string(ch.sizeBytes) + (ch.reuse ? ",\"reuse\":true}" : "}");
    }
    out += "}\n";
    *json = out;
    return true;
}

}  // namespace pub
