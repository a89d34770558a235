// Version comparison: part by part as decimal numbers of any length, so that 2.10.0 is newer than 2.9.0
// and 2.1 equals 2.1.0.
#include "job/version.h"

static int IsDigit(char c) {
    return c >= '0' && c <= '9';
}

static int IsVersion(const char* text, size_t length) {
    if (length == 0 || !IsDigit(text[0]) || !IsDigit(text[length - 1]))
        return 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '.') {
            if (!IsDigit(text[i + 1]))
                return 0;
        } else if (!IsDigit(text[i])) {
            return 0;
        }
    }
    return 1;
}

// The next part from *position (just past a dot or at the start): its digits without leading zeros, and
// *position moved past the part and its dot. Past the end the part is empty, which counts as 0.
static void NextPart(const char* text, size_t length, size_t* position, size_t* digits, size_t* count) {
    while (*position < length && text[*position] == '0')
        ++*position;
    *digits = *position;
    while (*position < length && text[*position] != '.')
        ++*position;
    *count = *position - *digits;
    if (*position < length)
        ++*position;
}

VersionOrder CompareVersions(const char* a, size_t aLength, const char* b, size_t bLength) {
    if (!a || !b || !IsVersion(a, aLength) || !IsVersion(b, bLength))
        return VERSION_NOT_COMPARABLE;
    size_t aAt = 0, bAt = 0;
    while (aAt < aLength || bAt < bLength) {
        size_t aDigits, aCount, bDigits, bCount;
        NextPart(a, aLength, &aAt, &aDigits, &aCount);
        NextPart(b, bLength, &bAt, &bDigits, &bCount);
        // Without leading zeros, the longer run of digits is the larger number; equal lengths compare
        // as text.
        if (aCount != bCount)
            return aCount > bCount ? VERSION_NEWER : VERSION_OLDER;
        for (size_t i = 0; i < aCount; ++i)
            if (a[aDigits + i] != b[bDigits + i])
                return a[aDigits + i] > b[bDigits + i] ? VERSION_NEWER : VERSION_OLDER;
    }
    return VERSION_EQUAL;
}

static int IsRecordSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

void TrimVersionRecord(const char* bytes, size_t length, size_t* start, size_t* trimmedLength) {
    size_t first = 0;
    if (length >= 3 && (uint8_t)bytes[0] == 0xEF && (uint8_t)bytes[1] == 0xBB && (uint8_t)bytes[2] == 0xBF)
        first = 3;
    while (first < length && IsRecordSpace(bytes[first]))
        ++first;
    size_t end = length;
    while (end > first && IsRecordSpace(bytes[end - 1]))
        --end;
    *start = first;
    *trimmedLength = end - first;
}

int RefusesDowngrade(const char* record, size_t recordLength, const char* offered, size_t offeredLength,
                     int allowDowngrade, size_t* installedStart, size_t* installedLength) {
    *installedStart = 0;
    *installedLength = 0;
    if (!record || recordLength > VERSION_RECORD_CAPACITY)
        return 0;
    TrimVersionRecord(record, recordLength, installedStart, installedLength);
    return !allowDowngrade && CompareVersions(record + *installedStart, *installedLength, offered,
                                              offeredLength) == VERSION_NEWER;
}
