// An independent reading of the manifest rules, written over a token list with std::string, to
// judge the program's reader on arbitrary input. Positions are offsets into the given bytes.
#pragma once

#include <cstdint>
#include <string>

namespace fuzz {

static const size_t REF_NONE = (size_t)-1;

// Offset just past the brace closing the object at `start`, or REF_NONE.
size_t RefObjectEnd(const std::string& bytes, size_t start, size_t end);
// Offset of the key's value (end when only whitespace follows the colon), or REF_NONE.
size_t RefKeyValue(const std::string& bytes, size_t start, size_t end, const std::string& key);
// The key's string value with escapes resolved; false when it cannot be read within `capacity`.
bool RefStringValue(const std::string& bytes, size_t start, size_t end, const std::string& key,
                    size_t capacity, std::string* value);
bool RefHttpsPrefix(const std::wstring& text);
// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF) to UTF-16.
bool RefUtf8ToUtf16(const std::string& utf8, std::wstring* utf16);

struct RefEntry {
    std::string latestVersion; // bytes as produced, embedded zero bytes included
    std::string url;
    std::string sha256;
    uint64_t sizeBytes;
    std::wstring urlWide; // conversion of url up to its first zero byte
};
bool RefReadManifest(const std::string& bytes, const std::string& channel, RefEntry* entry);

} // namespace fuzz
