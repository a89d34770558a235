// The installer's reading rules for update.json, case by case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "reader.h"
#include "packagetail.h"

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
    pub::FlagMember reuse = pub::FlagMember::Absent, allowDowngrade = pub::FlagMember::Absent;
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
    EXPECT_EQ(entry.reuse, c.reuse);
    EXPECT_EQ(entry.allowDowngrade, c.allowDowngrade);
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
        ReaderCase{"unterminated_string_in_channel", Manifest("1", "{\"url\":\"https://h/a}"), false},
        // Opt-in members: only the literal true turns one on; anything else is there but off.
        ReaderCase{"reuse_true_last",
                   Manifest("1", "{\"url\":\"https://h/a\",\"sha256\":\"" + kHex + "\",\"sizeBytes\":5,\"reuse\": true}"),
                   true, "", "", 5, pub::FlagMember::True},
        ReaderCase{"reuse_true_first_and_downgrade",
                   "{\"allowDowngrade\":true\n,\"latestVersion\":\"1\",\"win10\":{\"reuse\":true,\"url\":\"https://h/a\","
                   "\"sha256\":\"" + kHex + "\",\"sizeBytes\":5}}",
                   true, "1", "", 5, pub::FlagMember::True, pub::FlagMember::True},
        ReaderCase{"reuse_quoted",
                   Manifest("1", "{\"reuse\":\"true\",\"url\":\"https://h/a\",\"sha256\":\"" + kHex + "\",\"sizeBytes\":5}"),
                   true, "", "", 5, pub::FlagMember::Other},
        ReaderCase{"reuse_trueish_and_downgrade_one",
                   "{\"latestVersion\":\"1\",\"allowDowngrade\":1,\"win10\":{\"reuse\":truex,\"url\":\"https://h/a\","
                   "\"sha256\":\"" + kHex + "\",\"sizeBytes\":5}}",
                   true, "1", "", 5, pub::FlagMember::Other, pub::FlagMember::Other},
        ReaderCase{"reuse_nested_and_downgrade_in_channel",
                   Manifest("1", "{\"m\":{\"reuse\":true},\"allowDowngrade\":true,\"url\":\"https://h/a\",\"sha256\":\"" +
                                     kHex + "\",\"sizeBytes\":5}"),
                   true, "", "", 5}),
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

std::string Le(uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

// A package's tail read by the installer's ranges, as probe and diff read it before an upgrade with reuse.
TEST(ZipTail, ReadByTheInstallersRanges) {
    const uint64_t kData = 1000; // bytes of entries before the directory
    auto record = [](const std::string& name, uint64_t offset, size_t comment) {
        return "PK\x01\x02" + std::string(24, '\0') + Le(name.size(), 2) + Le(0, 2) + Le(comment, 2) +
               std::string(8, '\0') + Le(offset, 4) + name + std::string(comment, 'c');
    };
    // Two records; a long file comment on the second makes the directory larger than the last 64 KiB.
    std::string records = record("Payload/", 0, 0) + record("Payload/TOVKinemo.exe", 500, 0);
    std::string wide = record("Payload/", 0, 0) + record("Payload/TOVKinemo.exe", 500, 65535);
    auto end = [&](uint64_t count, uint64_t size, uint64_t offset, const std::string& comment) {
        return "PK\x05\x06" + Le(0, 4) + Le(count, 2) + Le(count, 2) + Le(size, 4) + Le(offset, 4) +
               Le(comment.size(), 2) + comment;
    };
    auto zip64 = [&](const std::string& directory, uint64_t locatorRecord, const std::string& comment) {
        uint64_t record = kData + directory.size();
        return directory + "PK\x06\x06" + Le(44, 8) + Le(45, 4) + Le(0, 8) + Le(2, 8) + Le(2, 8) +
               Le(directory.size(), 8) + Le(kData, 8) + "PK\x06\x07" + Le(0, 4) +
               Le(locatorRecord ? locatorRecord : record, 8) + Le(1, 4) +
               end(0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, comment);
    };
    struct Case {
        const char* name;
        std::string tail; // what follows the entries' bytes
        pub::TailRead read;
        uint32_t requests; // Ok: more than one reaches back to the directory's start
        bool zip64;
    } cases[] = {
        {"plain", records + end(2, records.size(), kData, ""), pub::TailRead::Ok, 1, false},
        {"comment_holds_a_signature", records + end(2, records.size(), kData, "PK\x05\x06 x"),
         pub::TailRead::Ok, 1, false},
        {"directory_before_the_last_64_KiB", wide + end(2, wide.size(), kData, ""), pub::TailRead::Ok, 2,
         false},
        {"zip64_record_and_directory_before_the_last_64_KiB", zip64(wide, 0, std::string(65535, 'x')),
         pub::TailRead::Ok, 3, true},
        {"zip64_locator_points_past_itself", zip64(records, kData + records.size() + 60, ""),
         pub::TailRead::Bad, 1, false},
        {"count_above_records", records + end(3, records.size(), kData, ""), pub::TailRead::Bad, 1, false},
        {"directory_past_end_record", records + end(2, records.size(), kData + 1, ""), pub::TailRead::Bad, 1,
         false},
        {"record_runs_past_directory", records + end(2, records.size() - 1, kData, ""), pub::TailRead::Bad, 1,
         false},
        {"not_a_zip", std::string(100, 'x'), pub::TailRead::Bad, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = std::string(kData, 'd') + c.tail;
        std::vector<std::pair<uint64_t, uint64_t>> asked;
        auto fetch = [&](uint64_t first, uint64_t end, pub::Bytes* piece) {
            asked.emplace_back(first, end);
            piece->assign(file.begin() + first, file.begin() + end);
            return true;
        };
        pub::PackageTail tail;
        pub::TailRead read = pub::ReadPackageTail(file.size(), fetch, &tail);
        EXPECT_EQ(read, c.read) << tail.why;
        ASSERT_EQ(asked.size(), c.requests);
        // The last 64 KiB first, then each piece ends where the one before began.
        EXPECT_EQ(asked[0].first, file.size() - std::min<uint64_t>(file.size(), ZIP_TAIL_CAPACITY));
        EXPECT_EQ(asked[0].second, file.size());
        for (size_t i = 1; i < asked.size(); ++i)
            EXPECT_EQ(asked[i].second, asked[i - 1].first);
        if (read == pub::TailRead::Ok) {
            EXPECT_EQ(tail.place.offset, kData);
            EXPECT_EQ(tail.records.size(), 2u);
            EXPECT_EQ(tail.zip64, c.zip64);
            EXPECT_EQ(tail.start, c.requests > 1 ? kData : asked[0].first);
        }
    }
}

}  // namespace
