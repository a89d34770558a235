#include "reference_reader.h"

#include <vector>

namespace fuzz {

namespace {

enum TokenType {
    TOKEN_OPEN_BRACE,
    TOKEN_CLOSE_BRACE,
    TOKEN_OPEN_BRACKET,
    TOKEN_CLOSE_BRACKET,
    TOKEN_STRING,
    TOKEN_UNCLOSED
};

struct Token {
    TokenType type;
    size_t at;    // the byte, or a string's opening quote
    size_t close; // a string's closing quote
};

bool IsSpace(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

// The structure of [start, end): braces, brackets and strings; an unclosed string ends the list.
std::vector<Token> Tokenize(const std::string& bytes, size_t start, size_t end) {
    std::vector<Token> tokens;
    size_t i = start;
    while (i < end) {
        char c = bytes[i];
        if (c == '"') {
            bool escaped = false;
            size_t close = REF_NONE;
            for (size_t j = i + 1; j < end; ++j) {
                if (escaped)
                    escaped = false;
                else if (bytes[j] == '\\')
                    escaped = true;
                else if (bytes[j] == '"') {
                    close = j;
                    break;
                }
            }
            if (close == REF_NONE) {
                tokens.push_back({TOKEN_UNCLOSED, i, end});
                return tokens;
            }
            tokens.push_back({TOKEN_STRING, i, close});
            i = close + 1;
            continue;
        }
        if (c == '{')
            tokens.push_back({TOKEN_OPEN_BRACE, i, 0});
        else if (c == '}')
            tokens.push_back({TOKEN_CLOSE_BRACE, i, 0});
        else if (c == '[')
            tokens.push_back({TOKEN_OPEN_BRACKET, i, 0});
        else if (c == ']')
            tokens.push_back({TOKEN_CLOSE_BRACKET, i, 0});
        ++i;
    }
    return tokens;
}

} // namespace

size_t RefObjectEnd(const std::string& bytes, size_t start, size_t end) {
    if (start >= end || bytes[start] != '{')
        return REF_NONE;
    long long depth = 0;
    for (const Token& token : Tokenize(bytes, start, end)) {
        if (token.type == TOKEN_UNCLOSED)
            return REF_NONE;
        if (token.type == TOKEN_OPEN_BRACE)
            ++depth;
        if (token.type == TOKEN_CLOSE_BRACE && --depth == 0)
            return token.at + 1;
    }
    return REF_NONE;
}

size_t RefKeyValue(const std::string& bytes, size_t start, size_t end, const std::string& key) {
    if (start >= end)
        return REF_NONE;
    long long depth = 0;
    for (const Token& token : Tokenize(bytes, start, end)) {
        switch (token.type) {
        case TOKEN_UNCLOSED:
            return REF_NONE;
        case TOKEN_OPEN_BRACE:
        case TOKEN_OPEN_BRACKET:
            ++depth;
            break;
        case TOKEN_CLOSE_BRACE:
        case TOKEN_CLOSE_BRACKET:
            --depth;
            break;
        case TOKEN_STRING: {
            if (depth != 1 || bytes.compare(token.at + 1, token.close - token.at - 1, key) != 0)
                break;
            size_t after = token.close + 1;
            while (after < end && IsSpace(bytes[after]))
                ++after;
            if (after >= end || bytes[after] != ':')
                return REF_NONE;
            ++after;
            while (after < end && IsSpace(bytes[after]))
                ++after;
            return after;
        }
        }
    }
    return REF_NONE;
}

bool RefStringValue(const std::string& bytes, size_t start, size_t end, const std::string& key,
                    size_t capacity, std::string* value) {
    value->clear();
    size_t at = RefKeyValue(bytes, start, end, key);
    if (at == REF_NONE || at >= end || bytes[at] != '"' || at + 1 >= end)
        return false;
    for (size_t i = at + 1; i < end; ++i) {
        char c = bytes[i];
        if (c == '"')
            return true;
        if (c == '\\') {
            if (i + 1 >= end)
                return false;
            char escaped = bytes[++i];
            switch (escaped) {
            case 'u':
                return false;
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            case 't':
                c = '\t';
                break;
            default:
                c = escaped;
                break;
            }
        }
        if (value->size() + 1 >= capacity)
            return false; // no room for this byte and the terminator
        value->push_back(c);
    }
    return false;
}

bool RefHttpsPrefix(const std::wstring& text) {
    static const wchar_t prefix[] = L"https://";
    for (size_t i = 0; i < 8; ++i) {
        wchar_t c = i < text.size() ? text[i] : 0;
        if (c >= L'A' && c <= L'Z')
            c = (wchar_t)(c + 32);
        if (c != prefix[i])
            return false;
    }
    return true;
}

bool RefUtf8ToUtf16(const std::string& utf8, std::wstring* utf16) {
    utf16->clear();
    size_t i = 0;
    while (i < utf8.size()) {
        unsigned char lead = (unsigned char)utf8[i];
        unsigned length;
        uint32_t code;
        uint32_t minimum;
        if (lead < 0x80) {
            length = 1, code = lead, minimum = 0;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, code = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, code = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, code = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (i + length > utf8.size())
            return false;
        for (unsigned k = 1; k < length; ++k) {
            unsigned char next = (unsigned char)utf8[i + k];
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            utf16->push_back((wchar_t)(0xD800 + (code >> 10)));
            utf16->push_back((wchar_t)(0xDC00 + (code & 0x3FF)));
        } else {
            utf16->push_back((wchar_t)code);
        }
        i += length;
    }
    return true;
}

bool RefReadManifest(const std::string& bytes, const std::string& channel, RefEntry* entry) {
    *entry = RefEntry{};
    size_t end = bytes.size();
    size_t top = 0;
    while (top < end && IsSpace(bytes[top]))
        ++top;
    size_t topEnd = RefObjectEnd(bytes, top, end);
    if (topEnd == REF_NONE)
        return false;
    if (!RefStringValue(bytes, top, topEnd, "latestVersion", 32, &entry->latestVersion))
        return false;
    size_t channelStart = RefKeyValue(bytes, top, topEnd, channel);
    if (channelStart == REF_NONE || channelStart >= topEnd || bytes[channelStart] != '{')
        return false;
    size_t channelEnd = RefObjectEnd(bytes, channelStart, topEnd);
    if (channelEnd == REF_NONE)
        return false;
    if (!RefStringValue(bytes, channelStart, channelEnd, "url", 2048, &entry->url) ||
        !RefStringValue(bytes, channelStart, channelEnd, "sha256", 65, &entry->sha256))
        return false;

    size_t size = RefKeyValue(bytes, channelStart, channelEnd, "sizeBytes");
    if (size == REF_NONE || size >= channelEnd || bytes[size] < '0' || bytes[size] > '9')
        return false;
    // A run above 2^64 - 1 is refused: the program's choice where the rules leave it open.
    uint64_t value = 0;
    for (; size < channelEnd && bytes[size] >= '0' && bytes[size] <= '9'; ++size) {
        unsigned digit = (unsigned)(bytes[size] - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    if (value == 0)
        return false;
    entry->sizeBytes = value;

    // The url as text ends at its first zero byte.
    if (!RefUtf8ToUtf16(entry->url.substr(0, entry->url.find('\0')), &entry->urlWide))
        return false;
    if (!RefHttpsPrefix(entry->urlWide))
        return false;
    return entry->sha256.find('\0') == std::string::npos && entry->sha256.size() == 64;
}

} // namespace fuzz
