// Names of zip entries: decoded from UTF-8 or code page 437, placed below the package's "Payload/"
// folder (matched in any ASCII case, as the Shell's ParseName matches it), and judged safe to use as a
// path inside the install folder.
#include "install/contents.h"

// Code page 437, bytes 0x80 to 0xFF; the lower half is ASCII.
static const WCHAR CP437_HIGH[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

static const WCHAR PAYLOAD_PREFIX[] = L"payload/";
static const UINT32 PAYLOAD_PREFIX_LENGTH = 8;
// Decoded units kept of a name: the prefix, a whole path and a trailing '/'; more marks the name as cut.
static const UINT32 NAME_CAPACITY = PAYLOAD_PREFIX_LENGTH + PATH_CAPACITY + 1;

// One code point from UTF-8 at text[*at]; 0 for a sequence that is not well-formed (overlong forms,
// surrogates and values above U+10FFFF included) or for U+0000 itself.
static UINT32 NextUtf8(const BYTE* text, UINT32 length, UINT32* at) {
    BYTE lead = text[(*at)++];
    if (lead < 0x80)
        return lead;
    UINT32 more, low = 0x80, high = 0xBF, value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        value = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3;
        value = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    for (UINT32 i = 0; i < more; ++i, low = 0x80, high = 0xBF) {
        if (*at >= length || text[*at] < low || text[*at] > high)
            return 0;
        value = (value << 6) | (text[(*at)++] & 0x3F);
    }
    return value;
}

// Decodes into out (NAME_CAPACITY units, not terminated) with '\' as '/'. *valid is cleared by a
// malformed sequence or a U+0000; *cut is set when the name does not fit.
static UINT32 DecodeName(const BYTE* name, UINT32 length, BOOL utf8, WCHAR* out, BOOL* valid, BOOL* cut) {
    UINT32 count = 0;
    *valid = TRUE;
    *cut = FALSE;
    for (UINT32 at = 0; at < length;) {
        UINT32 code = utf8              ? NextUtf8(name, length, &at)
                      : name[at] < 0x80 ? name[at]
                                        : CP437_HIGH[name[at] - 0x80];
        if (!utf8)
            ++at;
        if (code == 0)
            *valid = FALSE;
        UINT32 units = code >= 0x10000 ? 2 : 1;
        if (count + units > NAME_CAPACITY) {
            *cut = TRUE;
            break;
        }
        if (units == 2) {
            out[count++] = (WCHAR)(0xD800 + ((code - 0x10000) >> 10));
            out[count++] = (WCHAR)(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out[count++] = code == L'\\' ? L'/' : (WCHAR)code;
        }
    }
    return count;
}

static WCHAR LowerAscii(WCHAR c) {
    return (c >= L'A' && c <= L'Z') ? (WCHAR)(c - L'A' + L'a') : c;
}

static BOOL StartsWithNoCase(const WCHAR* text, UINT32 length, const WCHAR* prefix, UINT32 prefixLength) {
    if (length < prefixLength)
        return FALSE;
    for (UINT32 i = 0; i < prefixLength; ++i)
        if (LowerAscii(text[i]) != prefix[i])
            return FALSE;
    return TRUE;
}

// A DOS device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9) before any extension and trailing spaces:
// such a name opens the device, not a file in the folder.
static BOOL IsDeviceName(const WCHAR* part, UINT32 length) {
    UINT32 base = 0;
    while (base < length && part[base] != L'.')
        ++base;
    while (base > 0 && part[base - 1] == L' ')
        --base;
    static const WCHAR* const DEVICES[] = {L"con", L"prn", L"aux", L"nul"};
    if (base == 3)
        for (const WCHAR* device : DEVICES)
            if (StartsWithNoCase(part, 3, device, 3))
                return TRUE;
    return base == 4 && (StartsWithNoCase(part, 4, L"com", 3) || StartsWithNoCase(part, 4, L"lpt", 3)) &&
           part[3] >= L'1' && part[3] <= L'9';
}

// One part of a path between '/': not empty, not only dots and spaces (".", ".."), no character that
// a Windows file name cannot hold (':' would name a drive or a stream), not a device.
static BOOL IsSafePart(const WCHAR* part, UINT32 length) {
    BOOL onlyDots = TRUE;
    for (UINT32 i = 0; i < length; ++i) {
        WCHAR c = part[i];
        if (c < 0x20 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|' || c == L'?' ||
            c == L'*')
            return FALSE;
        if (c != L'.' && c != L' ')
            onlyDots = FALSE;
    }
    return length > 0 && !onlyDots && !IsDeviceName(part, length);
}

EntryNameKind ClassifyEntryName(const BYTE* name, UINT32 length, BOOL utf8, WCHAR path[PATH_CAPACITY],
                                BOOL* folder) {
    WCHAR decoded[NAME_CAPACITY];
    BOOL valid, cut;
    UINT32 count = DecodeName(name, length, utf8, decoded, &valid, &cut);
    *folder = FALSE;
    path[0] = 0;

    // A drive or leading slashes before "Payload/" still name it, but from outside the archive's root.
    UINT32 start = 0;
    if (count >= 2 && decoded[1] == L':')
        start = 2;
    while (start < count && decoded[start] == L'/')
        ++start;
    if (!StartsWithNoCase(decoded + start, count - start, PAYLOAD_PREFIX, PAYLOAD_PREFIX_LENGTH))
        return ENTRY_IGNORED;
    if (start > 0)
        return ENTRY_UNSAFE;
    const WCHAR* rest = decoded + PAYLOAD_PREFIX_LENGTH;
    UINT32 restLength = count - PAYLOAD_PREFIX_LENGTH;
    if (restLength == 0)
        return ENTRY_IGNORED;
    if (!valid || cut)
        return ENTRY_UNSAFE;
    if (rest[restLength - 1] == L'/') {
        *folder = TRUE;
        --restLength;
    }
    if (restLength == 0 || restLength >= PATH_CAPACITY)
        return ENTRY_UNSAFE;
    for (UINT32 partStart = 0, i = 0; i <= restLength; ++i) {
        if (i == restLength || rest[i] == L'/') {
            if (!IsSafePart(rest + partStart, i - partStart))
                return ENTRY_UNSAFE;
            partStart = i + 1;
        }
    }
    for (UINT32 i = 0; i < restLength; ++i)
        path[i] = rest[i] == L'/' ? L'\\' : rest[i];
    path[restLength] = 0;
    return ENTRY_LISTED;
}
