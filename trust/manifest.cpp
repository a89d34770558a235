// The update manifest reader: a minimal scanner that finds the few values it needs in place,
// without a document tree, and refuses anything it cannot read. Every scanner works on a byte
// range [start, end) and never reads at or past end.
#include "trust/trust.h"

static const UINT32 VERSION_CAPACITY = 32;
static const UINT32 URL_CAPACITY = 2048;
static const UINT32 SHA256_CAPACITY = 65;
static const UINT32 SHA256_LENGTH = 64;

static BOOL IsManifestSpace(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

static BOOL IsDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

static const char* SkipSpace(const char* position, const char* end) {
    while (position < end && IsManifestSpace(*position))
        ++position;
    return position;
}

// Given the opening quote of a string, returns the position of its closing quote, or null when the
// string does not close before end. A backslash always skips itself and the byte after it.
static const char* FindClosingQuote(const char* quote, const char* end) {
    const char* position = quote + 1;
    while (position < end) {
        if (*position == '\\') {
            if (end - position < 2)
                return nullptr;
            position += 2;
            continue;
        }
        if (*position == '"')
            return position;
        ++position;
    }
    return nullptr;
}

const char* FindObjectEnd(const char* start, const char* end) {
    if (!start || !end || start >= end || *start != '{')
        return nullptr;
    INT64 depth = 0;
    const char* position = start;
    while (position < end) {
        char c = *position;
        if (c == '"') {
            const char* close = FindClosingQuote(position, end);
            if (!close)
                return nullptr;
            position = close + 1;
            continue;
        }
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            --depth;
            if (depth == 0)
                return position + 1;
        }
        ++position;
    }
    return nullptr;
}

const char* FindKeyValue(const char* objectStart, const char* objectEnd, const char* key) {
    if (!objectStart || !objectEnd || !key || objectStart >= objectEnd)
        return nullptr;
    UINT32 keyLength = ByteLength(key);
    INT64 depth = 0;
    const char* position = objectStart;
    while (position < objectEnd) {
        char c = *position;
        if (c == '"') {
            const char* close = FindClosingQuote(position, objectEnd);
            if (!close)
                return nullptr;
            const char* text = position + 1;
            BOOL matches = depth == 1 && (UINT64)(close - text) == keyLength;
            for (UINT32 i = 0; matches && i < keyLength; ++i)
                matches = text[i] == key[i];
            if (matches) {
                // The first string equal to the key decides: when it is not followed by a colon
                // (a value, not a key), the key counts as missing.
                const char* after = SkipSpace(close + 1, objectEnd);
                if (after >= objectEnd || *after != ':')
                    return nullptr;
                return SkipSpace(after + 1, objectEnd);
            }
            position = close + 1;
            continue;
        }
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            --depth;
        }
        ++position;
    }
    return nullptr;
}

BOOL ReadStringValue(const char* objectStart, const char* objectEnd, const char* key, char* buffer,
                     UINT32 capacity) {
    if (!buffer || capacity == 0)
        return FALSE;
    buffer[0] = 0;
    const char* value = FindKeyValue(objectStart, objectEnd, key);
    if (!value || value >= objectEnd || *value != '"')
        return FALSE;
    const char* position = value + 1;
    if (position >= objectEnd)
        return FALSE;
    UINT32 length = 0;
    while (position < objectEnd) {
        char c = *position;
        if (c == '"') {
            buffer[length] = 0;
            return TRUE;
        }
        char produced = c;
        if (c == '\\') {
            if (objectEnd - position < 2)
                break;
            char escaped = position[1];
            if (escaped == 'u')
                break; // \u escapes are not supported: the whole value is refused
            produced = escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped == 't' ? '\t' : escaped;
            position += 2;
        } else {
            ++position;
        }
        // Room for this byte and the terminator; a value is never cut.
        if (length + 1 >= capacity)
            break;
        buffer[length++] = produced;
    }
    buffer[0] = 0;
    return FALSE;
}

BOOL HasHttpsPrefix(const WCHAR* text) {
    static const WCHAR PREFIX[] = L"https://";
    if (!text)
        return FALSE;
    for (UINT32 i = 0; i < 8; ++i) {
        WCHAR a = text[i];
        WCHAR b = PREFIX[i];
        if (a >= L'A' && a <= L'Z')
            a = (WCHAR)(a - L'A' + L'a');
        if (b >= L'A' && b <= L'Z')
            b = (WCHAR)(b - L'A' + L'a');
        if (a != b)
            return FALSE;
    }
    return TRUE;
}

// Reads the decimal digit run at position (which must start with a digit) up to end. A run whose
// value would exceed 2^64 - 1 is refused rather than wrapped, so a manifest can never announce a
// size other than the one written in it. A value of 0 is refused as well.
static BOOL ReadSizeValue(const char* position, const char* end, UINT64* value) {
    if (!position || position >= end || !IsDecimalDigit(*position))
        return FALSE;
    UINT64 result = 0;
    while (position < end && IsDecimalDigit(*position)) {
        UINT64 digit = (UINT64)(*position - '0');
        if (result > (~(UINT64)0 - digit) / 10)
            return FALSE;
        result = result * 10 + digit;
        ++position;
    }
    if (result == 0)
        return FALSE;
    *value = result;
    return TRUE;
}

// TRUE for the literal true as the whole value (followed by space, ',' or the object's end).
static BOOL IsTrueLiteral(const char* value, const char* end) {
    static const char TRUE_TEXT[] = "true";
    for (UINT32 i = 0; i < 4; ++i)
        if (!value || value + i >= end || value[i] != TRUE_TEXT[i])
            return FALSE;
    const char* after = value + 4;
    return after < end && (IsManifestSpace(*after) || *after == ',' || *after == '}');
}

BOOL ReadManifest(const char* bytes, UINT32 length, const char* channel, ManifestEntry* entry) {
    if (!entry)
        return FALSE;
    MemoryZero(entry, sizeof(*entry));
    if (!bytes || !channel)
        return FALSE;

    const char* end = bytes + length;
    const char* top = SkipSpace(bytes, end);
    const char* topEnd = FindObjectEnd(top, end);
    if (!topEnd)
        return FALSE;

    if (!ReadStringValue(top, topEnd, "latestVersion", entry->latestVersion, VERSION_CAPACITY))
        return FALSE;
    entry->allowDowngrade = IsTrueLiteral(FindKeyValue(top, topEnd, "allowDowngrade"), topEnd);

    const char* channelStart = FindKeyValue(top, topEnd, channel);
    if (!channelStart || channelStart >= topEnd || *channelStart != '{')
        return FALSE;
    const char* channelEnd = FindObjectEnd(channelStart, topEnd);
    if (!channelEnd)
        return FALSE;

    if (!ReadStringValue(channelStart, channelEnd, "url", entry->url, URL_CAPACITY))
        return FALSE;
    if (!ReadStringValue(channelStart, channelEnd, "sha256", entry->sha256, SHA256_CAPACITY))
        return FALSE;

    const char* size = FindKeyValue(channelStart, channelEnd, "sizeBytes");
    if (!ReadSizeValue(size, channelEnd, &entry->sizeBytes))
        return FALSE;

    // MB_ERR_INVALID_CHARS makes any invalid UTF-8 sequence fail the conversion.
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, entry->url, -1, entry->urlWide,
                            (int)URL_CAPACITY) == 0)
        return FALSE;
    entry->urlWide[URL_CAPACITY - 1] = 0;
    if (!HasHttpsPrefix(entry->urlWide))
        return FALSE;

    if (ByteLength(entry->sha256) != SHA256_LENGTH)
        return FALSE;
    entry->reuse = IsTrueLiteral(FindKeyValue(channelStart, channelEnd, "reuse"), channelEnd);
    return TRUE;
}
