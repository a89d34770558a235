#include "mutate.h"

#include <cstring>
#include <vector>

namespace fuzz {

static const char* const MUTATION_NAMES[MUTATION_KINDS] = {
    "flip-bit",  "set-byte",  "truncate",     "insert-bytes", "insert-token", "delete-span",
    "duplicate", "move-span", "deep-nesting", "huge-number",  "long-string",  "invalid-utf8",
    "escape",    "bom",       "line-ends",    "replace-value"};

const char* MutationName(MutationKind kind) {
    return kind < MUTATION_KINDS ? MUTATION_NAMES[kind] : "?";
}

// Bytes that matter to the reader, and bytes that matter to UTF-8.
static const unsigned char INTERESTING_BYTES[] = {'{',  '}',  '[',  ']',  '"',  ':',  ',',  '\\', ' ',  '\t',
                                                  '\r', '\n', '0',  '1',  '9',  '-',  '+',  '.',  'e',  'u',
                                                  'n',  'h',  'H',  's',  'S',  '/',  0x00, 0x01, 0x7F, 0x80,
                                                  0xBF, 0xC0, 0xC3, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};

static const char* const TOKENS[] = {"{",
                                     "}",
                                     "[",
                                     "]",
                                     "\"",
                                     "\\",
                                     ":",
                                     ",",
                                     "\"\"",
                                     "{}",
                                     "[]",
                                     "\"url\":",
                                     "\"sha256\":\"",
                                     "\"sizeBytes\":",
                                     "\"sizeBytes\":1,",
                                     "\"latestVersion\":",
                                     "\"latestVersion\":\"9\",",
                                     "\"win7\":{",
                                     "\"win10\":{",
                                     "\"win10\"",
                                     "\"win7\"",
                                     "\"win10\":",
                                     "\\u0041",
                                     "\\\"",
                                     "\\\\",
                                     "\\n",
                                     "https://",
                                     "HTTPS://",
                                     "http://",
                                     "\xEF\xBB\xBF",
                                     "\r\n",
                                     "\n",
                                     "null",
                                     "true",
                                     "1e6",
                                     "-1",
                                     "0",
                                     "18446744073709551616",
                                     "\"url\":\"https://a\",",
                                     "\"sha256\":\""
                                     "0123456789abcdef0123456789abcdef"
                                     "0123456789abcdef0123456789abcdef\","};

static const char* const UTF8_SEQUENCES[] = {
    "\x80",                 // lone continuation byte
    "\xBF\xBF",             // two continuation bytes
    "\xC0\x80",             // overlong NUL
    "\xC1\xBF",             // overlong ASCII
    "\xC3",                 // truncated two-byte sequence
    "\xC3\x28",             // bad continuation
    "\xE2\x82",             // truncated three-byte sequence
    "\xE0\x80\xAF",         // overlong slash
    "\xED\xA0\x80",         // encoded high surrogate
    "\xED\xBF\xBF",         // encoded low surrogate
    "\xF0\x80\x80\xAF",     // overlong four-byte
    "\xF4\x90\x80\x80",     // above U+10FFFF
    "\xF5\x80\x80\x80",     // invalid lead byte
    "\xF8\x88\x80\x80\x80", // five-byte form
    "\xFE",
    "\xFF",
    "\xEF\xBF\xBE",     // U+FFFE, valid
    "\xF0\x9F\x98\x80", // U+1F600, valid
    "\xE4\xB8\x8B",     // U+4E0B, valid
    "\xC2\xA0",         // U+00A0, valid
};

static const char* const ESCAPES[] = {"\\u0041", "\\u", "\\u00", "\\U0041", "\\",   "\\\"",        "\\\\",
                                      "\\n",     "\\r", "\\t",   "\\/",     "\\b",  "\\f",         "\\x",
                                      "\\0",     "\\{", "\\}",   "\\\xC3",  "\\\n", "\\\"\\\"\\\""};

template <typename T, size_t N> static size_t Count(const T (&)[N]) {
    return N;
}

static size_t Position(const std::string& bytes, Rng& rng) {
    return rng.Below((uint32_t)bytes.size() + 1);
}

static size_t SpanLength(const std::string& bytes, Rng& rng) {
    if (bytes.empty())
        return 0;
    uint32_t limit = rng.Percent(80) ? 16 : (uint32_t)bytes.size();
    if (limit > bytes.size())
        limit = (uint32_t)bytes.size();
    return rng.Range(1, limit);
}

static unsigned char RandomByte(Rng& rng) {
    return rng.Percent(60) ? INTERESTING_BYTES[rng.Below((uint32_t)Count(INTERESTING_BYTES))]
                           : (unsigned char)rng.Below(256);
}

// Positions of a byte value; empty when none.
static std::vector<size_t> Find(const std::string& bytes, char value) {
    std::vector<size_t> found;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == value)
            found.push_back(i);
    return found;
}

// A position just inside a string (right after a quote), or anywhere when there is none.
static size_t InsideString(const std::string& bytes, Rng& rng) {
    std::vector<size_t> quotes = Find(bytes, '"');
    if (quotes.empty())
        return Position(bytes, rng);
    return quotes[rng.Below((uint32_t)quotes.size())] + 1;
}

struct Span {
    size_t start;
    size_t end;
};

static bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where the values of a key start: after "key", optional whitespace, a colon and whitespace.
static std::vector<size_t> ValueStarts(const std::string& bytes, const std::string& key) {
    std::vector<size_t> starts;
    std::string quoted = "\"" + key + "\"";
    for (size_t at = bytes.find(quoted); at != std::string::npos; at = bytes.find(quoted, at + 1)) {
        size_t i = at + quoted.size();
        while (i < bytes.size() && IsBlank(bytes[i]))
            ++i;
        if (i >= bytes.size() || bytes[i] != ':')
            continue;
        ++i;
        while (i < bytes.size() && IsBlank(bytes[i]))
            ++i;
        starts.push_back(i);
    }
    return starts;
}

// The span of the value at `start`: a string to its closing quote, an object to its closing brace,
// anything else to the next comma, brace, bracket or whitespace.
static Span ValueSpan(const std::string& bytes, size_t start) {
    size_t end = start;
    if (end < bytes.size() && bytes[end] == '"') {
        ++end;
        while (end < bytes.size() && bytes[end] != '"')
            end += bytes[end] == '\\' ? 2 : 1;
        end = end < bytes.size() ? end + 1 : bytes.size();
    } else if (end < bytes.size() && bytes[end] == '{') {
        int depth = 0;
        for (; end < bytes.size(); ++end) {
            if (bytes[end] == '{')
                ++depth;
            else if (bytes[end] == '}' && --depth == 0) {
                ++end;
                break;
            }
        }
    } else {
        while (end < bytes.size() && !IsBlank(bytes[end]) && (bytes[end] == 0 || !strchr(",}]", bytes[end])))
            ++end;
    }
    return {start, end};
}

// One value span of the key, picked at random; false when the key has no value.
static bool PickValueSpan(const std::string& bytes, const std::string& key, Rng& rng, Span* span) {
    std::vector<size_t> starts = ValueStarts(bytes, key);
    if (starts.empty())
        return false;
    *span = ValueSpan(bytes, starts[rng.Below((uint32_t)starts.size())]);
    return true;
}

static std::string Repeat(const std::string& unit, size_t times) {
    std::string out;
    out.reserve(unit.size() * times);
    for (size_t i = 0; i < times; ++i)
        out += unit;
    return out;
}

// String text of exactly `length` bytes after escapes are resolved, with some escapes in it.
static std::string StringBody(size_t length, Rng& rng, const char* alphabet) {
    std::string out;
    size_t alphabetLength = strlen(alphabet);
    for (size_t i = 0; i < length; ++i) {
        uint32_t pick = rng.Below(100);
        if (pick < 4)
            out += "\\n";
        else if (pick < 7)
            out += "\\/";
        else if (pick < 9)
            out += "\\\"";
        else
            out += alphabet[rng.Below((uint32_t)alphabetLength)];
    }
    return out;
}

static const char HEX[] = "0123456789abcdefABCDEF";
static const char TEXT[] = "abcdefghijklmnopqrstuvwxyz0123456789.-_+~";

static std::string EdgeLatestVersion(Rng& rng) {
    static const size_t lengths[] = {0, 1, 5, 30, 31, 32, 33, 64};
    size_t length = lengths[rng.Below((uint32_t)Count(lengths))];
    std::string body = StringBody(length, rng, TEXT);
    if (rng.Percent(10))
        body.insert(rng.Below((uint32_t)body.size() + 1), "\\u0031");
    return "\"" + body + "\"";
}

static std::string EdgeUrl(Rng& rng) {
    static const char* const prefixes[] = {"https://", "HTTPS://",     "HtTpS://",  "http://",
                                           "https:/",  "https:",       "",          " https://",
                                           "ftp://",   "https:\\/\\/", "https\\://"};
    static const size_t lengths[] = {8, 9, 20, 2046, 2047, 2048, 2049};
    std::string prefix = prefixes[rng.Below((uint32_t)Count(prefixes))];
    size_t total = lengths[rng.Below((uint32_t)Count(lengths))];
    size_t resolvedPrefix =
        prefix == "https:\\/\\/" || prefix == "https\\://" ? prefix.size() - 2 : prefix.size();
    std::string body = prefix + StringBody(total > resolvedPrefix ? total - resolvedPrefix : 0, rng, TEXT);
    if (rng.Percent(20)) {
        // Multi-byte text near the end keeps the length but tests the UTF-8 rule.
        const char* sequence = UTF8_SEQUENCES[rng.Below((uint32_t)Count(UTF8_SEQUENCES))];
        size_t at = body.size() > 10 ? body.size() - rng.Range(1, 10) : body.size();
        body.insert(at, sequence);
    }
    return "\"" + body + "\"";
}

static std::string EdgeSha256(Rng& rng) {
    static const size_t lengths[] = {0, 1, 63, 64, 64, 64, 65, 128};
    size_t length = lengths[rng.Below((uint32_t)Count(lengths))];
    std::string body;
    for (size_t i = 0; i < length; ++i)
        body += rng.Percent(97) ? HEX[rng.Below(22)] : TEXT[rng.Below(40)];
    if (!body.empty() && rng.Percent(15))
        body.replace(rng.Below((uint32_t)body.size()), 1, rng.Percent(50) ? "\\n" : "\\u0030");
    return "\"" + body + "\"";
}

static std::string EdgeSize(Rng& rng) {
    static const char* const sizes[] = {"0",
                                        "1",
                                        "00",
                                        "01",
                                        "18446744073709551615",
                                        "18446744073709551616",
                                        "99999999999999999999999999",
                                        "-1",
                                        "+1",
                                        "\"100\"",
                                        "12.5",
                                        "1e6",
                                        "0x10",
                                        "null",
                                        "true",
                                        "[1]",
                                        "{}",
                                        "7}",
                                        "007",
                                        "4294967296",
                                        "184467440737095516150"};
    return sizes[rng.Below((uint32_t)Count(sizes))];
}

static std::string EdgeChannel(Rng& rng) {
    static const char* const values[] = {"\"win10\"",
                                         "[]",
                                         "{}",
                                         "null",
                                         "1",
                                         "[{\"url\":\"https://a\"}]",
                                         "{\"url\":\"https://a/b\",\"sha256\":\""
                                         "0000000000000000000000000000000000000000000000000000000000000000"
                                         "\",\"sizeBytes\":5}",
                                         "{\"x\":\"}\",\"url\":\"https://a/}\",\"sha256\":\""
                                         "1111111111111111111111111111111111111111111111111111111111111111"
                                         "\",\"sizeBytes\":9,\"y\":{\"url\":\"no\"}}",
                                         "{\"url\":\"https://a\",\"sizeBytes\":1,\"sha256\":\"x\"",
                                         "{"};
    return values[rng.Below((uint32_t)Count(values))];
}

static void ReplaceValue(std::string* bytes, Rng& rng) {
    static const char* const keys[] = {"latestVersion", "url", "sha256", "sizeBytes", "win7", "win10"};
    size_t keyIndex = rng.Below((uint32_t)Count(keys));
    std::string key = keys[keyIndex];
    std::string value = keyIndex == 0   ? EdgeLatestVersion(rng)
                        : keyIndex == 1 ? EdgeUrl(rng)
                        : keyIndex == 2 ? EdgeSha256(rng)
                        : keyIndex == 3 ? EdgeSize(rng)
                                        : EdgeChannel(rng);
    Span span;
    if (!PickValueSpan(*bytes, key, rng, &span) || rng.Percent(5)) {
        // Add the member after a random opening brace.
        std::vector<size_t> braces = Find(*bytes, '{');
        size_t at = braces.empty() ? Position(*bytes, rng) : braces[rng.Below((uint32_t)braces.size())] + 1;
        bytes->insert(at, "\"" + key + "\":" + value + (rng.Percent(80) ? "," : ""));
        return;
    }
    bytes->replace(span.start, span.end - span.start, value);
}

static void DeepNesting(std::string* bytes, Rng& rng) {
    uint32_t scale = rng.Below(100);
    size_t depth = scale < 60 ? rng.Range(1, 64) : scale < 95 ? rng.Range(65, 5000) : rng.Range(5001, 100000);
    static const char* const openers[] = {"{", "[", "{\"a\":", "[{\"url\":", "{\"win10\":", "\"x\":{"};
    static const char* const closers[] = {"}", "]", "}", "}]", "}", "}"};
    size_t kind = rng.Below((uint32_t)Count(openers));
    size_t at = Position(*bytes, rng);
    std::string open = Repeat(openers[kind], depth);
    bytes->insert(at, open);
    if (rng.Percent(50)) {
        size_t closeAt = at + open.size() + rng.Below((uint32_t)(bytes->size() - at - open.size() + 1));
        bytes->insert(closeAt, Repeat(closers[kind], depth));
    }
}

static void HugeNumber(std::string* bytes, Rng& rng) {
    std::vector<Span> runs;
    for (size_t i = 0; i < bytes->size();) {
        if ((*bytes)[i] >= '0' && (*bytes)[i] <= '9') {
            size_t start = i;
            while (i < bytes->size() && (*bytes)[i] >= '0' && (*bytes)[i] <= '9')
                ++i;
            runs.push_back({start, i});
        } else {
            ++i;
        }
    }
    static const char* const numbers[] = {"18446744073709551615",          "18446744073709551616",
                                          "36893488147419103232",          "99999999999999999999",
                                          "00000000000000000000000000001", "0"};
    std::string number;
    if (rng.Percent(50)) {
        number = numbers[rng.Below((uint32_t)Count(numbers))];
    } else {
        size_t length = rng.Range(19, rng.Percent(90) ? 60 : 5000);
        for (size_t i = 0; i < length; ++i)
            number += (char)('0' + rng.Below(10));
    }
    if (runs.empty()) {
        bytes->insert(Position(*bytes, rng), number);
        return;
    }
    Span run = runs[rng.Below((uint32_t)runs.size())];
    bytes->replace(run.start, run.end - run.start, number);
}

static void LongString(std::string* bytes, Rng& rng) {
    static const char* const units[] = {"a", "/", " ", "\\n", "\\\\", "\xE4\xB8\x8B", "\\\"", "0"};
    size_t length = rng.Percent(80) ? rng.Range(200, 3000) : rng.Range(3000, 70000);
    bytes->insert(InsideString(*bytes, rng), Repeat(units[rng.Below((uint32_t)Count(units))], length));
}

static void LineEnds(std::string* bytes, Rng& rng) {
    std::string out;
    switch (rng.Below(6)) {
    case 0: // LF to CR LF
        for (char c : *bytes) {
            if (c == '\n')
                out += '\r';
            out += c;
        }
        break;
    case 1: // CR LF to LF
        for (size_t i = 0; i < bytes->size(); ++i)
            if (!((*bytes)[i] == '\r' && i + 1 < bytes->size() && (*bytes)[i + 1] == '\n'))
                out += (*bytes)[i];
        break;
    case 2: // LF to CR
        for (char c : *bytes)
            out += c == '\n' ? '\r' : c;
        break;
    case 3: // no line breaks at all
        for (char c : *bytes)
            if (c != '\n' && c != '\r')
                out += c;
        break;
    case 4:
        out = *bytes + (rng.Percent(50) ? "\n" : "\r\n");
        break;
    default:
        out = *bytes;
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
            out.pop_back();
        break;
    }
    *bytes = out;
}

void ApplyMutation(std::string* bytes, MutationKind kind, Rng& rng) {
    std::string& s = *bytes;
    switch (kind) {
    case MUTATE_FLIP_BIT:
        if (!s.empty())
            s[rng.Below((uint32_t)s.size())] ^= (char)(1u << rng.Below(8));
        break;
    case MUTATE_SET_BYTE:
        if (!s.empty())
            s[rng.Below((uint32_t)s.size())] = (char)RandomByte(rng);
        break;
    case MUTATE_TRUNCATE: {
        uint32_t pick = rng.Below(10);
        size_t keep = pick == 0                  ? 0
                      : pick < 4 && s.size() > 8 ? s.size() - rng.Range(1, 8)
                                                 : Position(s, rng);
        s.resize(keep);
        break;
    }
    case MUTATE_INSERT_BYTES: {
        std::string inserted;
        for (uint32_t i = rng.Range(1, 16); i > 0; --i)
            inserted += (char)RandomByte(rng);
        s.insert(Position(s, rng), inserted);
        break;
    }
    case MUTATE_INSERT_TOKEN:
        s.insert(Position(s, rng), TOKENS[rng.Below((uint32_t)Count(TOKENS))]);
        break;
    case MUTATE_DELETE_SPAN:
        if (!s.empty()) {
            size_t length = SpanLength(s, rng);
            s.erase(rng.Below((uint32_t)(s.size() - length + 1)), length);
        }
        break;
    case MUTATE_DUPLICATE_SPAN:
        if (!s.empty()) {
            size_t length = SpanLength(s, rng);
            size_t start = rng.Below((uint32_t)(s.size() - length + 1));
            std::string span = s.substr(start, length);
            s.insert(rng.Percent(50) ? start + length : Position(s, rng), span);
        }
        break;
    case MUTATE_MOVE_SPAN:
        if (!s.empty()) {
            size_t length = SpanLength(s, rng);
            size_t start = rng.Below((uint32_t)(s.size() - length + 1));
            std::string span = s.substr(start, length);
            s.erase(start, length);
            s.insert(Position(s, rng), span);
        }
        break;
    case MUTATE_DEEP_NESTING:
        DeepNesting(bytes, rng);
        break;
    case MUTATE_HUGE_NUMBER:
        HugeNumber(bytes, rng);
        break;
    case MUTATE_LONG_STRING:
        LongString(bytes, rng);
        break;
    case MUTATE_INVALID_UTF8: {
        const char* sequence = UTF8_SEQUENCES[rng.Below((uint32_t)Count(UTF8_SEQUENCES))];
        Span url;
        if (rng.Percent(70) && PickValueSpan(s, "url", rng, &url)) {
            size_t inside = url.end - url.start > 2
                                ? url.start + 1 + rng.Below((uint32_t)(url.end - url.start - 1))
                                : url.start;
            s.insert(inside, sequence);
        } else {
            s.insert(InsideString(s, rng), sequence);
        }
        break;
    }
    case MUTATE_ESCAPE:
        s.insert(InsideString(s, rng), ESCAPES[rng.Below((uint32_t)Count(ESCAPES))]);
        break;
    case MUTATE_BOM: {
        size_t at = 0;
        if (rng.Percent(30))
            while (at < s.size() && IsBlank(s[at]))
                ++at;
        s.insert(at, "\xEF\xBB\xBF");
        break;
    }
    case MUTATE_LINE_ENDS:
        LineEnds(bytes, rng);
        break;
    case MUTATE_REPLACE_VALUE:
    default:
        ReplaceValue(bytes, rng);
        break;
    }
    if (s.size() > MAX_MUTATED_SIZE)
        s.resize(MAX_MUTATED_SIZE);
}

std::string MutateManifest(const std::string& seed, Rng& rng, uint32_t* kinds) {
    std::string bytes = seed;
    uint32_t pick = rng.Below(100);
    uint32_t steps = pick < 55 ? 1 : pick < 80 ? 2 : pick < 93 ? 3 : 4;
    for (uint32_t i = 0; i < steps; ++i) {
        // Value replacements are weighted up: they produce near-valid manifests at the limits.
        MutationKind kind = rng.Percent(25) ? MUTATE_REPLACE_VALUE : (MutationKind)rng.Below(MUTATION_KINDS);
        ApplyMutation(&bytes, kind, rng);
        if (kinds)
            *kinds |= 1u << kind;
    }
    return bytes;
}

} // namespace fuzz
