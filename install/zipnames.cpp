// Names of zip entries: decoded from UTF-8 or the system's OEM code page as the Shell decodes them,
// placed below the package's "Payload/" folder (matched in any ASCII case, as the Shell's ParseName
// matches it), and judged safe to use as a path inside the install folder.
#include "install/contents.h"

static const WCHAR PAYLOAD_PREFIX[] = L"payload/";
static const UINT32 PAYLOAD_PREFIX_LENGTH = 8;
// Decoded units kept of a name: the prefix, a whole path and a trailing '/'; more marks the name as cut.
static const UINT32 NAME_CAPACITY = PAYLOAD_PREFIX_LENGTH + PATH_CAPACITY + 1;

// Decodes into out (NAME_CAPACITY units, not terminated) with '\' as '/', strictly: a name that does
// not decode in codePage clears *valid, one longer than NAME_CAPACITY sets *cut. Such a name keeps only
// its leading ASCII bytes, which read the same in UTF-8 and every OEM code page, so that its place below
// "Payload/" can still be judged.
static UINT32 DecodeName(const BYTE* name, UINT32 length, UINT codePage, WCHAR* out, BOOL* valid, BOOL* cut) {
    int count = 0;
    if (length > 0)
        count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, (LPCCH)name, (int)length, nullptr, 0);
    *cut = count > (int)NAME_CAPACITY;
    if (count > 0 && !*cut)
        count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, (LPCCH)name, (int)length, out,
                                    (int)NAME_CAPACITY);
    *valid = length == 0 || count > 0;
    if (!*valid || *cut)
        for (count = 0; (UINT32)count < length && count < (int)NAME_CAPACITY && name[count] < 0x80; ++count)
            out[count] = name[count];
    for (int i = 0; i < count; ++i)
        if (out[i] == L'\\')
            out[i] = L'/';
    return (UINT32)count;
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

UINT EntryNameCodePage(UINT16 flags) {
    return (flags & 0x0800) != 0 ? CP_UTF8 : CP_OEMCP;
}

EntryNameKind ClassifyEntryName(const BYTE* name, UINT32 length, UINT codePage, WCHAR path[PATH_CAPACITY],
                                BOOL* folder) {
    WCHAR decoded[NAME_CAPACITY];
    BOOL valid, cut;
    UINT32 count = DecodeName(name, length, codePage, decoded, &valid, &cut);
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
    if (!valid || cut)
        return ENTRY_UNSAFE;
    if (restLength == 0)
        return ENTRY_IGNORED;
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
