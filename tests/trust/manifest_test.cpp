// Manifest reader: the scanning rules, the value constraints and the byte-range guarantee.
#include "trust/trust.h"
#include "trust_test_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

const std::string HEX64 = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";
const std::string URL = "https://dl.example.test/win10/full.zip";

std::string Channel(const std::string& url = URL, const std::string& sha = HEX64,
                    const std::string& size = "4096") {
    return "{\"url\": \"" + url + "\", \"sha256\": \"" + sha + "\", \"sizeBytes\": " + size + "}";
}

std::string Manifest(const std::string& version = "2.4.1", const std::string& win10 = Channel(),
                     const std::string& win7 = Channel("https://dl.example.test/win7/full.zip")) {
    return "{\"latestVersion\": \"" + version + "\",\n \"win7\": " + win7 + ",\n \"win10\": " + win10 +
           "\n}\n";
}

bool Read(const std::string& json, ManifestEntry* entry, const char* channel = "win10") {
    return ReadManifest(json.data(), (UINT32)json.size(), channel, entry) != FALSE;
}

struct ManifestCase {
    const char* name;
    std::string json;
    bool accepted;
};

class ManifestAcceptance : public ::testing::TestWithParam<ManifestCase> {};

TEST_P(ManifestAcceptance, AcceptsOrRefuses) {
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    EXPECT_EQ(Read(GetParam().json, entry.get()), GetParam().accepted);
}

const ManifestCase MANIFEST_CASES[] = {
    {"Valid", Manifest(), true},
    {"LeadingWhitespace", " \t\r\n" + Manifest(), true},
    {"LeadingFormFeed", "\f" + Manifest(), false},
    {"ByteOrderMark", "\xEF\xBB\xBF" + Manifest(), false},
    {"Empty", "", false},
    {"OnlyWhitespace", " \r\n\t ", false},
    {"TopLevelArray", "[" + Manifest() + "]", false},
    {"TopLevelNotClosed", Manifest().substr(0, Manifest().size() - 3), false},
    {"TrailingTextIgnored", Manifest() + "} garbage {\"", true},
    {"UnusedMembersAndThirdChannel",
     "{\"notes\": [\"win10\", {\"url\": 1}], \"latestVersion\": \"3\", \"arm64\": " + Channel("ftp://x") +
         ", \"win10\": " + Channel() + "}",
     true},
    {"OtherChannelBroken", Manifest("2.4.1", Channel(), "{\"url\": \"http://\\u0041\"}"), true},
    {"ChannelMissing", "{\"latestVersion\": \"1\", \"win7\": " + Channel() + "}", false},
    {"ChannelIsString", "{\"latestVersion\": \"1\", \"win10\": \"x\"}", false},
    {"ChannelIsArray", "{\"latestVersion\": \"1\", \"win10\": [" + Channel() + "]}", false},
    {"ChannelNameAsEarlierValue",
     "{\"name\": \"win10\", \"latestVersion\": \"1\", \"win10\": " + Channel() + "}", false},
    {"UrlNameAsEarlierValue",
     "{\"latestVersion\": \"1\", \"win10\": {\"sha256\": \"url\", \"url\": \"" + URL +
         "\", \"sizeBytes\": 5}}",
     false},
    {"UrlOnlyInNestedObject",
     "{\"latestVersion\": \"1\", \"win10\": {\"mirror\": {\"url\": \"" + URL + "\"}, \"sha256\": \"" + HEX64 +
         "\", \"sizeBytes\": 5}}",
     false},
    {"ChannelOnlyInNestedObject", "{\"latestVersion\": \"1\", \"all\": {\"win10\": " + Channel() + "}}",
     false},
    {"LatestVersionMissing", "{\"win10\": " + Channel() + "}", false},
    {"KeyWithSpaceBeforeColon", "{\"latestVersion\"\t\r\n :\n\"1\", \"win10\" : " + Channel() + "}", true},
    {"KeyIsCaseSensitive", "{\"LatestVersion\": \"1\", \"win10\": " + Channel() + "}", false},
    {"FirstDuplicateWinsRefused",
     "{\"latestVersion\": \"1\", \"win10\": {\"url\": \"http://a\", \"url\": \"" + URL +
         "\", \"sha256\": \"" + HEX64 + "\", \"sizeBytes\": 5}}",
     false},
    {"BracesInsideStrings", Manifest("}{[\\\"]", Channel(URL + "?q={}")), true},
    {"Version31Bytes", Manifest(std::string(31, '7')), true},
    {"Version32Bytes", Manifest(std::string(32, '7')), false},
    {"Version31AfterEscapes", Manifest(std::string(29, '7') + "\\n\\t"), true},
    {"Version32AfterEscapes", Manifest(std::string(30, '7') + "\\n\\t"), false},
    {"VersionUnicodeEscape", Manifest("2.\\u0034"), false},
    {"VersionNotString", "{\"latestVersion\": 2, \"win10\": " + Channel() + "}", false},
    {"UrlPlainHttp", Manifest("1", Channel("http://dl.example.test/a.zip")), false},
    {"UrlCapitalHttps", Manifest("1", Channel("HTTPS://DL.EXAMPLE.TEST/A.ZIP")), true},
    {"UrlShortPrefix", Manifest("1", Channel("https:/")), false},
    {"UrlEmpty", Manifest("1", Channel("")), false},
    {"UrlUnicodeEscape", Manifest("1", Channel("https://dl.example.test/\\u00e4.zip")), false},
    {"UrlEscapedSlashes", Manifest("1", Channel("https:\\/\\/dl.example.test\\/a.zip")), true},
    {"UrlInvalidUtf8", Manifest("1", Channel("https://dl.example.test/\xC3\x28.zip")), false},
    {"UrlLoneContinuationByte", Manifest("1", Channel("https://dl.example.test/\x80.zip")), false},
    {"UrlOverlongUtf8", Manifest("1", Channel("https://dl.example.test/\xC0\xAF.zip")), false},
    {"UrlTruncatedUtf8", Manifest("1", Channel("https://dl.example.test/\xE4\xB8")), false},
    {"UrlValidUtf8", Manifest("1", Channel("https://dl.example.test/\xE5\xAE\x89\xE8\xA3\x85.zip")), true},
    {"Url2047Bytes", Manifest("1", Channel(URL + std::string(2047 - URL.size(), 'a'))), true},
    {"Url2048Bytes", Manifest("1", Channel(URL + std::string(2048 - URL.size(), 'a'))), false},
    {"Sha63", Manifest("1", Channel(URL, HEX64.substr(1))), false},
    {"Sha65", Manifest("1", Channel(URL, HEX64 + "0")), false},
    {"Sha64NotHex", Manifest("1", Channel(URL, std::string(64, 'z'))), true},
    {"ShaUnicodeEscape", Manifest("1", Channel(URL, HEX64.substr(6) + "\\u0041")), false},
    {"ShaMissing", "{\"latestVersion\": \"1\", \"win10\": {\"url\": \"" + URL + "\", \"sizeBytes\": 5}}",
     false},
    {"SizeQuoted", Manifest("1", Channel(URL, HEX64, "\"4096\"")), false},
    {"SizeNegative", Manifest("1", Channel(URL, HEX64, "-4096")), false},
    {"SizePlus", Manifest("1", Channel(URL, HEX64, "+4096")), false},
    {"SizeZero", Manifest("1", Channel(URL, HEX64, "0")), false},
    {"SizeZeros", Manifest("1", Channel(URL, HEX64, "000")), false},
    {"SizeNull", Manifest("1", Channel(URL, HEX64, "null")), false},
    {"SizeFraction", Manifest("1", Channel(URL, HEX64, ".5")), false},
    {"SizeMax", Manifest("1", Channel(URL, HEX64, "18446744073709551615")), true},
    {"SizeAboveMax", Manifest("1", Channel(URL, HEX64, "18446744073709551616")), false},
    {"SizeFarAboveMax", Manifest("1", Channel(URL, HEX64, "99999999999999999999999")), false},
    {"SizeMissing",
     "{\"latestVersion\": \"1\", \"win10\": {\"url\": \"" + URL + "\", \"sha256\": \"" + HEX64 + "\"}}",
     false},
    {"SizeValueAtChannelEnd",
     "{\"latestVersion\": \"1\", \"win10\": {\"url\": \"" + URL + "\", \"sha256\": \"" + HEX64 +
         "\", \"sizeBytes\": }}",
     false},
};

INSTANTIATE_TEST_SUITE_P(Rules, ManifestAcceptance, ::testing::ValuesIn(MANIFEST_CASES),
                         [](const ::testing::TestParamInfo<ManifestCase>& info) { return info.param.name; });

TEST(ReadManifest, FillsTheSelectedChannel) {
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    std::string json = Manifest("2.4.1", Channel(URL, HEX64, "123456789012"),
                                Channel("https://dl.example.test/win7.zip", std::string(64, 'f'), "77"));
    ASSERT_TRUE(Read(json, entry.get(), "win10"));
    EXPECT_STREQ(entry->latestVersion, "2.4.1");
    EXPECT_STREQ(entry->url, URL.c_str());
    EXPECT_STREQ(entry->urlWide, L"https://dl.example.test/win10/full.zip");
    EXPECT_STREQ(entry->sha256, HEX64.c_str());
    EXPECT_EQ(entry->sizeBytes, 123456789012ull);

    ASSERT_TRUE(Read(json, entry.get(), "win7"));
    EXPECT_STREQ(entry->url, "https://dl.example.test/win7.zip");
    EXPECT_EQ(entry->sizeBytes, 77u);
}

struct SizeCase {
    const char* text;
    UINT64 value;
};

TEST(ReadManifest, SizeIsTheLeadingDigitRun) {
    const SizeCase cases[] = {{"12.5", 12}, {"1e6", 1}, {"007", 7},
                              {"42 ", 42},  {"9\n", 9}, {"18446744073709551615", 18446744073709551615ull}};
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    for (const SizeCase& c : cases) {
        ASSERT_TRUE(Read(Manifest("1", Channel(URL, HEX64, c.text)), entry.get())) << c.text;
        EXPECT_EQ(entry->sizeBytes, c.value) << c.text;
    }
}

struct AllowCase {
    std::string json;
    BOOL allowed;
};

TEST(ReadManifest, AllowsDowngradeOnlyForTheTopLevelLiteralTrue) {
    std::string head = "{\"latestVersion\": \"1\", ", win10 = "\"win10\": " + Channel();
    const AllowCase cases[] = {
        {head + "\"allowDowngrade\": true, " + win10 + "}", TRUE},
        {head + win10 + ",\"allowDowngrade\":true}", TRUE},
        {head + win10 + "}", FALSE},
        {head + "\"allowDowngrade\": false, " + win10 + "}", FALSE},
        {head + "\"allowDowngrade\": \"true\", " + win10 + "}", FALSE},
        {head + "\"allowDowngrade\": 1, " + win10 + "}", FALSE},
        {head + "\"allowDowngrade\": trueish, " + win10 + "}", FALSE},
        {head + "\"win10\": {\"allowDowngrade\": true, " + Channel().substr(1) + "}", FALSE},
    };
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    for (const AllowCase& c : cases) {
        ASSERT_TRUE(Read(c.json, entry.get())) << c.json;
        EXPECT_EQ(entry->allowDowngrade, c.allowed) << c.json;
    }
}

TEST(ReadManifest, ReuseOnlyForTheLiteralTrueInTheChannel) {
    const std::string tail = ", \"sha256\": \"" + HEX64 + "\", \"sizeBytes\": 4096";
    const struct {
        std::string channel;
        BOOL reuse;
    } cases[] = {
        {"{\"reuse\": true, \"url\": \"" + URL + "\"" + tail + "}", TRUE},
        {"{\"url\": \"" + URL + "\"" + tail + ", \"reuse\":true}", TRUE},
        {"{\"url\": \"" + URL + "\"" + tail + ", \"reuse\": true\n}", TRUE},
        {Channel(), FALSE},
        {"{\"reuse\": false, \"url\": \"" + URL + "\"" + tail + "}", FALSE},
        {"{\"reuse\": \"true\", \"url\": \"" + URL + "\"" + tail + "}", FALSE},
        {"{\"reuse\": 1, \"url\": \"" + URL + "\"" + tail + "}", FALSE},
        {"{\"reuse\": trueish, \"url\": \"" + URL + "\"" + tail + "}", FALSE},
        {"{\"x\": {\"reuse\": true}, \"url\": \"" + URL + "\"" + tail + "}", FALSE},
    };
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    for (const auto& c : cases) {
        ASSERT_TRUE(Read(Manifest("1", c.channel), entry.get())) << c.channel;
        EXPECT_EQ(c.reuse, entry->reuse) << c.channel;
    }
    // The member of another channel does not count.
    ASSERT_TRUE(Read(Manifest("1", Channel(), "{\"reuse\": true, \"url\": \"" + URL + "\"" + tail + "}"),
                     entry.get()));
    EXPECT_FALSE(entry->reuse);
}

TEST(ReadManifest, ResolvesEscapesAndKeepsRawBytes) {
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    ASSERT_TRUE(Read(Manifest("a\\nb\\rc\\td\\\"e\\\\f\\/g\\bh\\fi\\qj\x01\xE7\x89\x88"), entry.get()));
    EXPECT_STREQ(entry->latestVersion, "a\nb\rc\td\"e\\f/gbhfiqj\x01\xE7\x89\x88");
}

TEST(ReadManifest, ConvertsUtf8Url) {
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    ASSERT_TRUE(
        Read(Manifest("1", Channel("https://dl.example.test/\xE5\xAE\x89\xE8\xA3\x85.zip")), entry.get()));
    EXPECT_STREQ(entry->urlWide, L"https://dl.example.test/\u5B89\u88C5.zip");
}

TEST(ReadManifest, FirstOccurrenceOfAKeyCounts) {
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    std::string json = "{\"latestVersion\": \"1\", \"latestVersion\": \"2\", \"win10\": {\"url\": \"" + URL +
                       "\", \"url\": \"https://other/\", \"sha256\": \"" + HEX64 +
                       "\", \"sizeBytes\": 5, \"sizeBytes\": 6}, \"win10\": " + Channel("https://third/") +
                       "}";
    ASSERT_TRUE(Read(json, entry.get()));
    EXPECT_STREQ(entry->latestVersion, "1");
    EXPECT_STREQ(entry->url, URL.c_str());
    EXPECT_EQ(entry->sizeBytes, 5u);
}

TEST(ReadManifest, ZeroesTheEntryFirst) {
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    memset(entry.get(), 0x5A, sizeof(ManifestEntry));
    EXPECT_FALSE(Read("", entry.get()));
    const char* bytes = (const char*)entry.get();
    for (size_t i = 0; i < sizeof(ManifestEntry); ++i)
        ASSERT_EQ(bytes[i], 0) << i;
}

// ---- the scanners ----

struct ScanCase {
    const char* text;
    int expected; // offset of the result, -1 for none
};

int Offset(const char* start, const char* result) {
    return result ? (int)(result - start) : -1;
}

TEST(FindObjectEnd, ClosingBraceOfTheObject) {
    const ScanCase cases[] = {
        {"{}", 2},
        {"{} tail", 2},
        {"{\"a\": {\"b\": {}}} x", 16},
        {"{\"}\": \"{\"}", 10},
        {"{\"\\\"}\"}", 7},
        {"{\"\\\\\"}", 6},
        {"{[}", 3},
        {"{]}", 3},
        {"{\"a\": 1", -1},
        {"{{}", -1},
        {"{\"a}", -1},
        {"{\"a\\", -1},
        {" {}", -1},
        {"[]", -1},
        {"", -1},
    };
    for (const ScanCase& c : cases) {
        const char* end = c.text + strlen(c.text);
        EXPECT_EQ(Offset(c.text, FindObjectEnd(c.text, end)), c.expected) << c.text;
    }
}

TEST(FindKeyValue, DirectMembersOnly) {
    const ScanCase cases[] = {
        {"{\"url\": 1}", 8},
        {"{\"url\"\t\r\n:\t\r\n 1}", 14},
        {"{\"url\":\"x\"}", 7},
        {"{\"a\": {\"url\": 1}, \"url\": 2}", 25},
        {"{\"a\": [\"url\", {\"url\": 1}], \"url\": 2}", 34},
        {"{\"a\": \"url\", \"url\": 2}", -1},
        {"{\"url\" , \"url\": 2}", -1},
        {"{\"URL\": 1}", -1},
        {"{\"ur\\l\": 1}", -1},
        {"{\"urls\": 1, \"ur\": 2}", -1},
        {"{\"x\\\"url\": 1, \"url\": 3}", 21},
        {"{\"url\"", -1},
        {"{\"url\": ", 8},
        {"{\"url\":", 7},
        {"{\"u", -1},
        {"{}", -1},
    };
    for (const ScanCase& c : cases) {
        const char* end = c.text + strlen(c.text);
        EXPECT_EQ(Offset(c.text, FindKeyValue(c.text, end, "url")), c.expected) << c.text;
    }
}

struct StringCase {
    const char* text;
    UINT32 capacity;
    const char* expected; // null when refused
};

TEST(ReadStringValue, CopiesWithinCapacity) {
    const StringCase cases[] = {
        {"{\"k\": \"\"}", 1, ""},
        {"{\"k\": \"a\"}", 1, nullptr},
        {"{\"k\": \"abc\"}", 4, "abc"},
        {"{\"k\": \"abcd\"}", 4, nullptr},
        {"{\"k\": \"ab\\n\"}", 4, "ab\n"},
        {"{\"k\": \"ab\\\\c\"}", 4, nullptr},
        {"{\"k\": \"\\u0041\"}", 16, nullptr},
        {"{\"k\": \"\\U0041\"}", 16, "U0041"},
        {"{\"k\": abc}", 16, nullptr},
        {"{\"k\": \"abc", 16, nullptr},
        {"{\"k\": \"abc\\", 16, nullptr},
        {"{\"k\": \"", 16, nullptr},
        {"{\"k\": ", 16, nullptr},
        {"{\"j\": \"abc\"}", 16, nullptr},
    };
    for (const StringCase& c : cases) {
        char buffer[32];
        memset(buffer, 0x5A, sizeof(buffer));
        const char* end = c.text + strlen(c.text);
        BOOL read = ReadStringValue(c.text, end, "k", buffer, c.capacity);
        EXPECT_EQ(read != FALSE, c.expected != nullptr) << c.text;
        if (read && c.expected) {
            EXPECT_STREQ(buffer, c.expected) << c.text;
        }
        EXPECT_EQ(buffer[c.capacity], 0x5A) << "wrote past capacity: " << c.text;
    }
}

TEST(HasHttpsPrefix, FirstEightUnitsWithoutCase) {
    struct {
        const wchar_t* text;
        bool expected;
    } cases[] = {
        {L"https://x", true}, {L"HtTpS://", true},   {L"HTTPS://A", true},
        {L"https:/", false},  {L"http://x", false},  {L"https:\\\\x", false},
        {L"", false},         {L" https://", false}, {L"\uFF48ttps://", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HasHttpsPrefix(c.text) != FALSE, c.expected) << (const void*)c.text;
}

// ---- never reading at or past the end ----

class GuardPage : public ::testing::TestWithParam<const char*> {};

TEST_P(GuardPage, ScannersStopAtTheEnd) {
    std::string bytes = GetParam();
    trusttest::GuardedRange range = trusttest::PlaceBeforeGuard(bytes);
    ASSERT_TRUE(trusttest::FollowedByGuard(range.end));
    char buffer[64];
    const char* objectEnd = FindObjectEnd(range.start, range.end);
    const char* value = FindKeyValue(range.start, range.end, "url");
    BOOL string = ReadStringValue(range.start, range.end, "url", buffer, sizeof(buffer));
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    BOOL manifest = ReadManifest(range.start, (UINT32)bytes.size(), "win10", entry.get());
    // Each input is cut before its object closes, so nothing may be found beyond the data.
    EXPECT_EQ(objectEnd, nullptr);
    EXPECT_TRUE(value == nullptr || value <= range.end);
    EXPECT_FALSE(string);
    EXPECT_FALSE(manifest);
    trusttest::ReleaseGuard(range.base);
}

INSTANTIATE_TEST_SUITE_P(Ranges, GuardPage,
                         ::testing::Values("", "   \r\n\t", "{", "{\"", "{\"url", "{\"url\"", "{\"url\" \t",
                                           "{\"url\":", "{\"url\":  ", "{\"url\":\"", "{\"url\":\"https://x",
                                           "{\"url\":\"ab\\", "{\"url\":\"ab\\\"", "{\"a\":[{\"url\":\"x\"}",
                                           "{\"latestVersion\":\"1\",\"win10\":{\"url\":\"https://x\","
                                           "\"sha256\":\"0\",\"sizeBytes\":123"));

TEST(GuardPage, CompleteManifestEndingAtTheGuard) {
    std::string json = Manifest();
    json.resize(json.size() - 1); // the closing brace is the last byte before the guard
    trusttest::GuardedRange range = trusttest::PlaceBeforeGuard(json);
    std::unique_ptr<ManifestEntry> entry(new ManifestEntry);
    EXPECT_TRUE(ReadManifest(range.start, (UINT32)json.size(), "win10", entry.get()));
    EXPECT_EQ(FindObjectEnd(range.start, range.end), range.end);
    trusttest::ReleaseGuard(range.base);
}

TEST(GuardPage, HttpsPrefixStopsAtTheTerminator) {
    const wchar_t* texts[] = {L"", L"h", L"https:/", L"HTTP"};
    for (const wchar_t* text : texts) {
        void* base = nullptr;
        const wchar_t* placed = trusttest::PlaceWideBeforeGuard(std::wstring(text, wcslen(text) + 1), &base);
        EXPECT_FALSE(HasHttpsPrefix(placed));
        trusttest::ReleaseGuard(base);
    }
    void* base = nullptr;
    EXPECT_TRUE(HasHttpsPrefix(trusttest::PlaceWideBeforeGuard(std::wstring(L"https://", 8), &base)));
    trusttest::ReleaseGuard(base);
}

} // namespace
