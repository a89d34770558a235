// Native reading of update.json with the installer's own rules, so that the publisher
// refuses exactly the manifests the installer refuses, and can also say why.
#pragma once

#include <cstdint>
#include <string>

namespace pub {

// An opt-in member such as "reuse": absent, the JSON literal true (the only value that turns it on),
// or present with any other value (off, as when absent).
enum class FlagMember { Absent = 0, True, Other };

// Same shape and capacities as the installer's entry (urlWide is not kept: the UTF-8
// check stands in for the conversion), with the opt-in members after it.
struct ManifestEntry {
    char latestVersion[32];
    char url[2048];
    char sha256[65];
    uint64_t sizeBytes;
    FlagMember reuse;          // the channel's "reuse"
    FlagMember allowDowngrade; // the top-level "allowDowngrade"
};

// Scanners over [start, end); they never read at or past end. "None" is nullptr.
const char* FindObjectEnd(const char* start, const char* end);
const char* FindKeyValue(const char* objectStart, const char* objectEnd, const char* key);

enum class StringRead { Ok, NotFound, NotString, Unterminated, TooLong, UnicodeEscape };
StringRead ReadStringValue(const char* objectStart, const char* objectEnd, const char* key, char* buffer,
                           uint32_t capacity);

// The member key of the object as an opt-in flag: true only for the literal true followed by
// whitespace, a comma or the object's closing brace.
FlagMember ReadFlagMember(const char* objectStart, const char* objectEnd, const char* key);

// First eight bytes equal "https://", ASCII letters without regard to case.
bool HasHttpsPrefix(const char* text);
// Strict UTF-8 of a zero-terminated text: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const char* text);
bool IsHexDigest(const char* text);

// Reads the channel's entry. On false, *reason (if given) says which rule failed.
bool ReadManifest(const char* bytes, size_t length, const char* channel, ManifestEntry* entry,
                  std::string* reason);

}  // namespace pub
