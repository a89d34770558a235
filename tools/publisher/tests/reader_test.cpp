// The installer's reading rules for update.json, case by case.
#include <gtest/gtest.h>

#include <string>

#include "reader.h"

namespace {

const std::string kHex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string Entry(const std::string& url, const std::string& sha, const std::string& size) {
    return "{\"url\":\"" + url + "\",\"sha256\":\"" + sha + "\",\"sizeBytes\":" + size + "}";
}
std::string Manifest(const std::string& version, const std::string& win10) {
    return "{\"latestVersion\":\"" + version + "\",\"win10\":" + win10 + "}";
}
std::string Good() { return Manifest("1.2.3", Entry("https://h/p.zip", kHex, "100")); }

struct ReaderCase {
    const char* name;
    std::string manifest;
    bool accepted;
    std::string version = "";  // checked when accepted and not empty
    std::string url = "";
    unsigned long long size = 0;  // checked when non-zero
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

class ReaderRules : public testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderRules, ReadsAsTheInstallerDoes) {
    const ReaderCase& c = GetParam();
    pub::ManifestEntry entry;
    std::string reason;
    bool ok = pub::ReadManifest(c.manifest.data(), c.manifest.size(), "win10", &entry, &reason);
    ASSERT_EQ(ok, c.accepted) << c.manifest << "\nreason: " << reason;
    if (!ok) {
        EXPECT_FALSE(reason.empty());
        return;
    }
    if (!c.version.empty()) {
        EXPECT_EQ(entry.latestVersion, c.version);
    }
    if (!c.url.empty()) {
        EXPECT_EQ(entry.url, c.url);
    }
    if (c.size) {
        EXPECT_EQ(entry.sizeBytes, c.size);
    }
}

const std::string k31(31, 'v'), k32(32, 'v');
const std::string kUrl2047 = "https://h/" + std::string(2037, 'a');

INSTANTIATE_TEST_SUITE_P(
    Manifests, ReaderRules,
    testing::Values(
        ReaderCase{"plain", Good(), true, "1.2.3", "https://h/p.zip", 100},
        ReaderCase{"leading_whitespace", " \t\r\n" + Good(), true},
        ReaderCase{"form_feed_is_not_whitespace", "\f" + Good(), false},
        ReaderCase{"bom", "\xEF\xBB\xBF" + Good(), false},
        ReaderCase{"empty", "", false},
        ReaderCase{"array", "[" + Good() + "]", false},
        ReaderCase{"unclosed", Good().substr(0, Good().size() - 1), false},
        ReaderCase{"trailing_text_ignored", Good() + "garbage{", true},
        ReaderCase{"other_members_and_channels_ignored",
                   "{\"x\":[1,{\"a\":2}],\"latestVersion\":\"1\",\"win7\":5,\"linux\":{},\"win10\":" +
                       Entry("https://h/a", kHex, "9") + "}",
                   true, "1", "https://h/a", 9},
        ReaderCase{"channel_name_as_earlier_value", "{\"latestVersion\":\"1\",\"a\":\"win10\",\"win10\":" +
                                                         Entry("https://h/a", kHex, "9") + "}",
                   false},
        ReaderCase{"version_name_as_earlier_value", "{\"a\":\"latestVersion\",\"latestVersion\":\"1\",\"win10\":" +
                                                         Entry("https://h/a", kHex, "9") + "}",
                   false},
        ReaderCase{"nested_url_not_found",
                   Manifest("1", "{\"m\":{\"url\":\"https://h/a\"},\"sha256\":\"" + kHex + "\",\"sizeBytes\":1}"),
                   false},
        ReaderCase{"url_in_array_not_found",
                   Manifest("1", "{\"m\":[\"url\",\"https://h/a\"],\"sha256\":\"" + kHex + "\",\"sizeBytes\":1}"),
                   false},
        ReaderCase{"nested_url_then_direct_url",
                   Manifest("1", "{\"m\":{\"url\":\"http://x\"},\"url\":\"https://h/b\",\"sha256\":\"" + kHex +
                                     "\",\"sizeBytes\":1}"),
                   true, "1", "https://h/b"},
        ReaderCase{"first_occurrence_wins",
                   "{\"latestVersion\":\"1\",\"latestVersion\":\"2\",\"win10\":" + Entry("https://h/a", kHex, "1") +
                       "}",
                   true, "1"},
        ReaderCase{"channel_not_object", "{\"latestVersion\":\"1\",\"win10\":\"x\"}", false},
        ReaderCase{"only_win7", "{\"latestVersion\":\"1\",\"win7\":" + Entry("https://h/a", kHex, "1") + "}", false},
        ReaderCase{"key_without_colon", "{\"latestVersion\" \"1\",\"win10\":" + Entry("https://h/a", kHex, "1") + "}",
                   false},
        ReaderCase{"version_31_bytes", Manifest(k31, Entry("https://h/a", kHex, "1")), true, k31},
        ReaderCase{"version_32_bytes", Manifest(k32, Entry("https://h/a", kHex, "1")), false},
        ReaderCase{"version_escape_counts_once", Manifest(std::string(29, 'v') + "\\\\x", Entry("https://h/a", kHex, "1")),
                   true, std::string(29, 'v') + "\\x"},
        ReaderCase{"version_not_string", "{\"latestVersion\":1,\"win10\":" + Entry("https://h/a", kHex, "1") + "}",
                   false},
        ReaderCase{"digest_63", Manifest("1", Entry("https://h/a", kHex.substr(1), "1")), false},
        ReaderCase{"digest_64", Manifest("1", Entry("https://h/a", kHex, "1")), true},
        ReaderCase{"digest_65", Manifest("1", Entry("https://h/a", kHex + "0", "1")), false},
        ReaderCase{"digest_64_not_hex_passes_reader", Manifest("1", Entry("https://h/a", std::string(64, 'z'), "1")),
                   true},
        ReaderCase{"size_fraction", Manifest("1", Entry("https://h/a", kHex, "12.5")), true, "", "", 12},
        ReaderCase{"size_exponent", Manifest("1", Entry("https://h/a", kHex, "1e6")), true, "", "", 1},
        ReaderCase{"size_leading_zeros", Manifest("1", Entry("https://h/a", kHex, "007")), true, "", "", 7},
        ReaderCase{"size_quoted", Manifest("1", Entry("https://h/a", kHex, "\"12\"")), false},
        ReaderCase{"size_minus", Manifest("1", Entry("https://h/a", kHex, "-12")), false},
        ReaderCase{"size_plus", Manifest("1", Entry("https://h/a", kHex, "+12")), false},
        ReaderCase{"size_zero", Manifest("1", Entry("https://h/a", kHex, "0")), false},
        ReaderCase{"size_max", Manifest("1", Entry("https://h/a", kHex, "18446744073709551615")), true, "", "",
                   18446744073709551615ull},
        ReaderCase{"size_max_plus_one", Manifest("1", Entry("https://h/a", kHex, "18446744073709551616")), false},
        ReaderCase{"size_huge", Manifest("1", Entry("https://h/a", kHex, "99999999999999999999999")), false},
        ReaderCase{"size_missing", Manifest("1", "{\"url\":\"https://h/a\",\"sha256\":\"" + kHex + "\"}"), false},
        ReaderCase{"unicode_escape_url", Manifest("1", Entry("https://h/\\u0041", kHex, "1")), false},
        ReaderCase{"unicode_escape_version", Manifest("1\\u0032", Entry("https://h/a", kHex, "1")), false},
        ReaderCase{"unicode_escape_digest", Manifest("1", Entry("https://h/a", "\\u0030" + kHex.substr(1), "1")),
                   false},
        ReaderCase{"other_escapes", Manifest("1", Entry("https:\\/\\/h\\/a\\b\\\"", kHex, "1")), true, "",
                   "https://h/ab\""},
        ReaderCase{"http_url", Manifest("1", Entry("http://h/a", kHex, "1")), false},
        ReaderCase{"upper_case_scheme", Manifest("1", Entry("HTTPS://h/a", kHex, "1")), true},
        ReaderCase{"scheme_only_prefix", Manifest("1", Entry("https:/", kHex, "1")), false},
        ReaderCase{"url_2047_bytes", Manifest("1", Entry(kUrl2047, kHex, "1")), true, "", kUrl2047},
        ReaderCase{"url_2048_bytes", Manifest("1", Entry(kUrl2047 + "a", kHex, "1")), false},
        ReaderCase{"url_utf8", Manifest("1", Entry("https://h/\xE4\xBE\x8B", kHex, "1")), true},
        ReaderCase{"url_overlong_utf8", Manifest("1", Entry("https://h/\xC0\xAF", kHex, "1")), false},
        ReaderCase{"url_lone_continuation", Manifest("1", Entry("https://h/\x80", kHex, "1")), false},
        ReaderCase{"url_surrogate", Manifest("1", Entry("https://h/\xED\xA0\x80", kHex, "1")), false},
        ReaderCase{"url_four_byte_utf8", Manifest("1", Entry("https://h/\xF0\x9F\x98\x80", kHex, "1")), true},
        ReaderCase{"url_above_10ffff", Manifest("1", Entry("https://h/\xF4\x90\x80\x80", kHex, "1")), false},
        ReaderCase{"url_overlong_three_bytes", Manifest("1", Entry("https://h/\xE0\x80\xAF", kHex, "1")), false},
        ReaderCase{"url_truncated_sequence", Manifest("1", Entry("https://h/\xE4\xBE", kHex, "1")), false},
        ReaderCase{"unterminated_string_in_channel", Manifest("1", "{\"url\":\"https://h/a}"), false}),
    [](const testing::TestParamInfo<ReaderCase>& info) { return std::string(info.param.name); });

TEST(ReaderScanners, NeverReadPastEnd) {
    // The object closes only beyond the given end: none, for every truncation.
    std::string text = Good();
    for (size_t cut = 0; cut < text.size(); ++cut) {
        std::string part = text.substr(0, cut);
        pub::ManifestEntry entry;
        EXPECT_FALSE(pub::ReadManifest(part.data(), part.size(), "win10", &entry, nullptr)) << cut;
        EXPECT_EQ(pub::FindObjectEnd(part.data(), part.data() + part.size()), nullptr) << cut;
    }
}

TEST(ReaderScanners, BracketsInsideStringsDoNotCount) {
    std::string text = "{\"a\":\"}{]\",\"k\" :\t 7}";
    const char* end = pub::FindObjectEnd(text.data(), text.data() + text.size());
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end, text.data() + text.size());
    const char* value = pub::FindKeyValue(text.data(), end, "k");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(*value, '7');
}

}  // namespace
