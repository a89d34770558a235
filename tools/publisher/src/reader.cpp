#include "reader.h"

#include <cstring>

namespace pub {

namespace {

bool IsSpace(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// Position of the closing quote of the string whose opening quote is at p, or nullptr.
// A backslash always skips itself and the byte after it.
const char* StringClose(const char* p, const char* end) {
    const char* q = p + 1;
    while (q < end) {
        if (*q == '\\') {
            q += 2;
        } else if (*q == '"') {
            return q;
        } else {
            ++q;
        }
    }
    return nullptr;
}

bool Fail(std::string* reason, const std::string& text) {
    if (reason) *reason = text;
    return false;
}

const char* StringReadText(StringRead r) {
    switch (r) {
    case StringRead::Ok: return "ok";
    case StringRead::NotFound: return "missing (not found as a direct member, or the first matching string is not a key)";
    case StringRead::NotString: return "not a string";
    case StringRead::Unterminated: return "an unterminated string";
    case StringRead::TooLong: return "too long for the installer's buffer";
    case StringRead::UnicodeEscape: return "using a \\u escape, which the installer refuses";
    }
    return "unreadable";
}

}  // namespace

const char* FindObjectEnd(const char* start, const char* end) {
    if (start >= end || *start != '{') return nullptr;
    int depth = 0;
    const char* p = start;
    while (p < end) {
        char c = *p;
        if (c == '"') {
            const char* close = StringClose(p, end);
            if (!close) return nullptr;
            p = close + 1;
            continue;
        }
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            --depth;
            if (depth == 0) return p + 1;
        }
        ++p;
    }
    return nullptr;
}

const char* FindKeyValue(const char* objectStart, const char* objectEnd, const char* key) {
    size_t keyLength = std::strlen(key);
    int depth = 0;
    const char* p = objectStart;
    while (p < objectEnd) {
        char c = *p;
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == '"') {
            const char* close = StringClose(p, objectEnd);
            if (!close) return nullptr;
            size_t rawLength = static_cast<size_t>(close - (p + 1));
            if (depth == 1 && rawLength == keyLength && std::memcmp(p + 1, key, keyLength) == 0) {
                const char* q = close + 1;
                while (q < objectEnd && IsSpace(*q)) ++q;
                if (q >= objectEnd || *q != ':') return nullptr;
                ++q;
                while (q < objectEnd && IsSpace(*q)) ++q;
                return q;
            }
            p = close + 1;
            continue;
        }
        ++p;
    }
    return nullptr;
}

StringRead ReadStringValue(const char* objectStart, const char* objectEnd, const char* key, char* buffer,
                           uint32_t capacity) {
    const char* value = FindKeyValue(objectStart, objectEnd, key);
    if (!value) return StringRead::NotFound;
    if (value >= objectEnd || *value != '"' || value + 1 >= objectEnd) return StringRead::NotString;
    uint32_t count = 0;
    const char* p = value + 1;
    for (;;) {
        if (p >= objectEnd) return StringRead::Unterminated;
        char c = *p;
        if (c == '"') break;
        if (c == '\\') {
            if (p + 1 >= objectEnd) return StringRead::Unterminated;
            char e = p[1];
            if (e == 'u') return StringRead::UnicodeEscape;
            c = e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
            p += 2;
        } else {
            ++p;
        }
        if (capacity == 0 || count >= capacity - 1) return StringRead::TooLong;
        buffer[count++] = c;
    }
    buffer[count] = '\0';
    return StringRead::Ok;
}

FlagMember ReadFlagMember(const char* objectStart, const char* objectEnd, const char* key) {
    const char* value = FindKeyValue(objectStart, objectEnd, key);
    if (!value)
        return FlagMember::Absent;
    if (objectEnd - value < 5 || std::memcmp(value, "true", 4) != 0)
        return FlagMember::Other;
    char after = value[4];
    return IsSpace(after) || after == ',' || after == '}' ? FlagMember::True : FlagMember::Other;
}

bool HasHttpsPrefix(const char* text) {
    static const char kPrefix[] = "https://";
    for (int i = 0; i < 8; ++i) {
        char a = text[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != kPrefix[i]) return false;
    }
    return true;
}

bool IsValidUtf8(const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        unsigned char b = *p;
        if (b < 0x80) {
            ++p;
            continue;
        }
        int more;
        uint32_t cp;
        uint32_t minimum;
        if ((b & 0xE0) == 0xC0) {
            more = 1; cp = b & 0x1F; minimum = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            more = 2; cp = b & 0x0F; minimum = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            more = 3; cp = b & 0x07; minimum = 0x10000;
        } else {
            return false;
        }
        for (int i = 1; i <= more; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;  // also stops at the terminator
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        p += more + 1;
    }
    return true;
}

bool IsHexDigest(const char* text) {
    size_t n = std::strlen(text);
    if (n != 64) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
    }
    return true;
}

bool ReadManifest(const char* bytes, size_t length, const char* channel, ManifestEntry* entry,
                  std::string* reason) {
    std::memset(entry, 0, sizeof(*entry));
    const char* end = bytes + length;
    const char* p = bytes;
    while (p < end && IsSpace(*p)) ++p;
    if (p < end && length >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
        static_cast<unsigned char>(bytes[1]) == 0xBB && static_cast<unsigned char>(bytes[2]) == 0xBF)
        return Fail(reason, "the manifest begins with a UTF-8 byte-order mark");
    const char* top = p;
    const char* topEnd = FindObjectEnd(top, end);
    if (!topEnd) return Fail(reason, "the manifest is not one complete JSON object");

    StringRead r = ReadStringValue(top, topEnd, "latestVersion", entry->latestVersion,
                                   sizeof(entry->latestVersion));
    if (r != StringRead::Ok) {
        std::string why = std::string("\"latestVersion\" is ") + StringReadText(r);
        if (r == StringRead::TooLong) why += " (at most 31 bytes)";
        return Fail(reason, why);
    }

    const char* channelValue = FindKeyValue(top, topEnd, channel);
    if (!channelValue)
        return Fail(reason, std::string("channel \"") + channel +
                                "\" is missing (not found as a direct member, or the first matching string is not a key)");
    if (channelValue >= topEnd || *channelValue != '{')
        return Fail(reason, std::string("channel \"") + channel + "\" is not an object");
    const char* chEnd = FindObjectEnd(channelValue, topEnd);
    if (!chEnd) return Fail(reason, std::string("channel \"") + channel + "\" object does not close");

    r = ReadStringValue(channelValue, chEnd, "url", entry->url, sizeof(entry->url));
    if (r != StringRead::Ok) {
        std::string why = std::string("\"url\" is ") + StringReadText(r);
        if (r == StringRead::TooLong) why += " (at most 2047 bytes)";
        return Fail(reason, why);
    }
    r = ReadStringValue(channelValue, chEnd, "sha256", entry->sha256, sizeof(entry->sha256));
    if (r != StringRead::Ok) {
        std::string why = std::string("\"sha256\" is ") + StringReadText(r);
        if (r == StringRead::TooLong) why += " (exactly 64 characters are needed)";
        return Fail(reason, why);
    }

    const char* size = FindKeyValue(channelValue, chEnd, "sizeBytes");
    if (!size)
        return Fail(reason, "\"sizeBytes\" is missing (not found as a direct member, or the first matching string is not a key)");
    if (size >= chEnd || *size < '0' || *size > '9')
        return Fail(reason, "\"sizeBytes\" does not start with a decimal digit (no sign, no quotes)");
    uint64_t value = 0;
    for (const char* d = size; d < chEnd && *d >= '0' && *d <= '9'; ++d) {
        uint64_t digit = static_cast<uint64_t>(*d - '0');
        if (value > (UINT64_MAX - digit) / 10) return Fail(reason, "\"sizeBytes\" is above 2^64-1");
        value = value * 10 + digit;
    }
    if (value == 0) return Fail(reason, "\"sizeBytes\" is 0");
    entry->sizeBytes = value;
    entry->reuse = ReadFlagMember(channelValue, chEnd, "reuse");
    entry->allowDowngrade = ReadFlagMember(top, topEnd, "allowDowngrade");

    if (!IsValidUtf8(entry->url)) return Fail(reason, "\"url\" is not valid UTF-8");
    if (!HasHttpsPrefix(entry->url)) return Fail(reason, "\"url\" does not begin with https://");
    if (std::strlen(entry->sha256) != 64) return Fail(reason, "\"sha256\" is not exactly 64 characters long");
    return true;
}

}  // namespace pub
