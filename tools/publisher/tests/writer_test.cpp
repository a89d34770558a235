// Manifest writing: refused inputs, escaping, and that what is written reads back.
#include <gtest/gtest.h>

#include "reader.h"
#include "writer.h"

namespace {

const std::string kHex(64, 'b');

TEST(Writer, EscapesWithoutUnicodeEscapes) {
    struct Case {
        std::string in;
        bool ok;
        std::string out;
    } cases[] = {
        {"plain/path?a=1&b=~", true, "plain/path?a=1&b=~"},
        {"q\"b\\", true, "q\\\"b\\\\"},
        {"a\nb\rc\td", true, "a\\nb\\rc\\td"},
        {"\xE4\xBE\x8B", true, "\xE4\xBE\x8B"},
        {"del\x7F", true, "del\x7F"},
        {std::string("nul\0", 4), false, ""},
        {"bell\x07", false, ""},
        {"esc\x1B", false, ""},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(pub::EscapeJsonString(c.in, &out), c.ok) << c.in;
        if (c.ok) {
            EXPECT_EQ(out, c.out);
            EXPECT_EQ(out.find("\\u"), std::string::npos);
        }
    }
}

TEST(Writer, InputChecks) {
    struct Case {
        const char* what;
        bool isUrl;
        std::string value;
        bool ok;
    } cases[] = {
        {"version_31", false, std::string(31, '1'), true},
        {"version_32", false, std::string(32, '1'), false},
        {"version_empty", false, "", false},
        {"version_slash", false, "1/../../x", false},
        {"version_backslash", false, "1\\x", false},
        {"version_newline", false, "1\n", false},
        {"version_trailing_dot", false, "1.", false},
        {"version_usual", false, "3.10.0-rc1", true},
        {"url_https", true, "https://dl.example/p.zip", true},
        {"url_upper_scheme", true, "HTTPS://dl.example/p.zip", true},
        {"url_http", true, "http://dl.example/p.zip", false},
        {"url_no_host", true, "https://", false},
        {"url_empty_host", true, "https:///x.zip", false},
        {"url_port_only", true, "https://:443/x.zip", false},
        {"url_empty_user_and_host", true, "https://@/x.zip", false},
        {"url_user_no_host", true, "https://u:p@:8443/x", false},
        {"url_empty_port", true, "https://h:/x.zip", false},
        {"url_port_0", true, "https://h:0/x.zip", false},
        {"url_port_65536", true, "https://h:65536/x.zip", false},
        {"url_port_letters", true, "https://h:8o/x.zip", false},
        {"url_port_443", true, "https://h:443/x.zip", true},
        {"url_ipv6", true, "https://[::1]:8443/x.zip", true},
        {"url_ipv6_empty", true, "https://[]/x.zip", false},
        {"url_host_then_query", true, "https://h?x=/y", true},
        {"url_user_password", true, "https://u:pw@h/x.zip", true},
        {"url_2047", true, "https://h/" + std::string(2037, 'a'), true},
        {"url_2048", true, "https://h/" + std::string(2038, 'a'), false},
        {"url_space", true, "https://h/a b", false},
        {"url_bad_utf8", true, "https://h/\xC0\xAF", false},
    };
    for (const Case& c : cases) {
        std::string why;
        bool ok = c.isUrl ? pub::CheckUrl(c.value, &why) : pub::CheckVersion(c.value, &why);
        EXPECT_EQ(ok, c.ok) << c.what << ": " << why;
        if (!ok) {
            EXPECT_FALSE(why.empty()) << c.what;
        }
    }
    std::string why, warning;
    EXPECT_TRUE(pub::CheckUrl("https://u:pw@h/x.zip", &why, &warning));
    EXPECT_NE(warning.find("u:pw@"), std::string::npos) << warning;
    EXPECT_TRUE(pub::CheckUrl("https://h/x@y.zip", &why, &warning));
    EXPECT_EQ(warning, "");
}

TEST(Writer, BuiltManifestReadsBackForEachChannel) {
    std::vector<pub::ChannelInput> channels = {
        {"win7", "https://h/7.zip?x=\"q\"&y=\\", kHex, 1},
        {"win10", "https://h/10.zip", std::string(64, 'c'), 18446744073709551615ull},
    };
    std::string json, why;
    ASSERT_TRUE(pub::BuildManifest("4.5.6", channels, &json, &why)) << why;
    EXPECT_NE(json.compare(0, 3, "\xEF\xBB\xBF"), 0);
    EXPECT_EQ(json.back(), '\n');
    for (const pub::ChannelInput& ch : channels) {
        pub::ManifestEntry entry;
        ASSERT_TRUE(pub::ReadManifest(json.data(), json.size(), ch.channel.c_str(), &entry, &why)) << why;
        EXPECT_STREQ(entry.latestVersion, "4.5.6");
        EXPECT_EQ(entry.url, ch.url);
        EXPECT_EQ(entry.sha256, ch.sha256);
        EXPECT_EQ(entry.sizeBytes, ch.sizeBytes);
    }
}

TEST(Writer, OptInMembersOnlyWhenAsked) {
    pub::ChannelInput plain{"win10", "https://h/a", kHex, 5}, reuse = plain;
    reuse.reuse = true;
    std::string json, why, entry = "{\"url\":\"https://h/a\",\"sha256\":\"" + kHex + "\",\"sizeBytes\":5";
    struct Case {
        pub::ChannelInput channel;
        bool allowDowngrade;
        std::string text;
    } cases[] = {
        {plain, false, "{\"latestVersion\":\"1\",\"win10\":" + entry + "}}\n"},
        {reuse, false, "{\"latestVersion\":\"1\",\"win10\":" + entry + ",\"reuse\":true}}\n"},
        {plain, true, "{\"latestVersion\":\"1\",\"allowDowngrade\":true,\"win10\":" + entry + "}}\n"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(pub::BuildManifest("1", {c.channel}, &json, &why, c.allowDowngrade)) << why;
        EXPECT_EQ(json, c.text);
        pub::ManifestEntry read;
        ASSERT_TRUE(pub::ReadManifest(json.data(), json.size(), "win10", &read, &why)) << why;
        EXPECT_EQ(read.reuse == pub::FlagMember::True, c.channel.reuse) << c.text;
        EXPECT_EQ(read.allowDowngrade == pub::FlagMember::True, c.allowDowngrade) << c.text;
    }
}

TEST(Writer, RefusesBadChannelSets) {
    std::string json, why;
    pub::ChannelInput good{"win10", "https://h/a", kHex, 5};
    pub::ChannelInput unknown{"linux", "https://h/a", kHex, 5};
    pub::ChannelInput empty{"win7", "https://h/a", kHex, 0};
    pub::ChannelInput shortHex{"win7", "https://h/a", kHex.substr(1), 5};
    EXPECT_FALSE(pub::BuildManifest("1", {}, &json, &why));
    EXPECT_FALSE(pub::BuildManifest("1", {good, good}, &json, &why));
    EXPECT_FALSE(pub::BuildManifest("1", {unknown}, &json, &why));
    EXPECT_FALSE(pub::BuildManifest("1", {good, empty}, &json, &why));
    EXPECT_FALSE(pub::BuildManifest("1", {shortHex}, &json, &why));
    EXPECT_FALSE(pub::BuildManifest(std::string(32, '1'), {good}, &json, &why));
}

}  // namespace
