// The program's only text formatter: UTF-16 into a caller's fixed buffer, never past it, always
// terminated, silently cut. Directives: %d %u (with "ll" for 64 bits, "l" ignored), %s, %S, %%,
// an optional leading zero flag and a minimum width.
#include "support/support.h"

struct FormatSink {
    WCHAR* buffer;
    UINT32 capacity;
    UINT32 count;
    BOOL cut;
};

static void Put(FormatSink* sink, WCHAR c) {
    if (sink->count + 1 < sink->capacity) {
        sink->buffer[sink->count++] = c;
        sink->buffer[sink->count] = 0;
    } else {
        sink->cut = TRUE;
    }
}

static void FormatUnsignedDigits(FormatSink* sink, UINT64 magnitude, BOOL negative, UINT32 width,
                                 BOOL zeroPad) {
    WCHAR digits[20];
    UINT32 digitCount = 0;
    do {
        digits[digitCount++] = (WCHAR)(L'0' + (magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    UINT32 length = digitCount + (negative ? 1 : 0);
    UINT32 padding = length < width ? width - length : 0;
    if (zeroPad && negative)
        Put(sink, L'-');
    for (UINT32 i = 0; i < padding; ++i)
        Put(sink, zeroPad ? L'0' : L' ');
    if (!zeroPad && negative)
        Put(sink, L'-');
    while (digitCount > 0)
        Put(sink, digits[--digitCount]);
}

static void PutWide(FormatSink* sink, const WCHAR* text) {
    if (!text)
        text = L"(null)";
    for (; *text; ++text)
        Put(sink, *text);
}

static void PutNarrow(FormatSink* sink, const char* text) {
    if (!text) {
        PutWide(sink, nullptr);
        return;
    }
    for (; *text; ++text)
        Put(sink, (WCHAR)(BYTE)*text);
}

// Returns FALSE when the text did not fit and was cut.
static BOOL FormatInto(WCHAR* buffer, UINT32 capacity, const WCHAR* format, va_list arguments) {
    if (capacity == 0)
        return FALSE;
    FormatSink sink = {buffer, capacity, 0, FALSE};
    buffer[0] = 0;
    const WCHAR* p = format;
    while (*p) {
        if (*p != L'%') {
            Put(&sink, *p++);
            continue;
        }
        ++p;
        if (*p == L'%') {
            Put(&sink, L'%');
            ++p;
            continue;
        }
        BOOL zeroPad = FALSE;
        if (*p == L'0') {
            zeroPad = TRUE;
            ++p;
        }
        UINT32 width = 0;
        while (*p >= L'0' && *p <= L'9') {
            width = width * 10 + (UINT32)(*p - L'0');
            ++p;
        }
        BOOL wide64 = FALSE;
        if (p[0] == L'l' && p[1] == L'l') {
            wide64 = TRUE;
            p += 2;
        } else if (p[0] == L'l') {
            ++p;
        }
        WCHAR conversion = *p;
        if (conversion == 0)
            break; // an unfinished directive ends the format; nothing past it is read
        ++p;
        switch (conversion) {
        case L'd': {
            INT64 value = wide64 ? va_arg(arguments, INT64) : (INT64)va_arg(arguments, INT32);
            BOOL negative = value < 0;
            UINT64 magnitude = negative ? (UINT64)0 - (UINT64)value : (UINT64)value;
            FormatUnsignedDigits(&sink, magnitude, negative, width, zeroPad);
            break;
        }
        case L'u': {
            UINT64 value = wide64 ? va_arg(arguments, UINT64) : (UINT64)va_arg(arguments, UINT32);
            FormatUnsignedDigits(&sink, value, FALSE, width, zeroPad);
            break;
        }
        case L's':
            PutWide(&sink, va_arg(arguments, const WCHAR*));
            break;
        case L'S':
            PutNarrow(&sink, va_arg(arguments, const char*));
            break;
        default:
            break; // unsupported conversion: writes nothing and takes no argument
        }
    }
    buffer[capacity - 1] = 0;
    return !sink.cut;
}

void FormatTextV(WCHAR* buffer, UINT32 capacity, const WCHAR* format, va_list arguments) {
    FormatInto(buffer, capacity, format, arguments);
}

BOOL ComposePath(WCHAR* path, UINT32 capacity, const WCHAR* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    BOOL whole = FormatInto(path, capacity, format, arguments);
    va_end(arguments);
    if (whole)
        return TRUE;
    // A cut path names another file: leave nothing usable behind.
    if (capacity != 0)
        path[0] = 0;
    return FailWith(ERROR_FILENAME_EXCED_RANGE);
}

void FormatText(WCHAR* buffer, UINT32 capacity, const WCHAR* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    FormatTextV(buffer, capacity, format, arguments);
    va_end(arguments);
}
