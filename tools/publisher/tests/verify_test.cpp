// The whole release check: packages against entries, and the tool's commands end to end.
#include <gtest/gtest.h>

#include "package.h"
#include "test_support.h"
#include "verify.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

const Entries kGoodPayload = {{"Payload/", ""},
                              {"Payload/TOVKinemo.exe", "MZ fake program"},
                              {"Payload/tovkinemo.root", ""},
                              {"Payload/Assets/AppIcon.ico", "icon"}};

std::string ManifestFor(const std::string& zip, const std::string& sha = "") {
    uint64_t size = 0;
    std::string hex, error;
    EXPECT_TRUE(pub::HashFile(zip, &size, &hex, &error)) << error;
    return "{\"latestVersion\":\"1.0\",\"win10\":{\"url\":\"https://h/p.zip\",\"sha256\":\"" +
           (sha.empty() ? hex : sha) + "\",\"sizeBytes\":" + std::to_string(size) + "}}";
}

pub::VerifyOutcome Verify(const std::string& manifest, const std::string& zip) {
    pub::VerifyInput in;
    in.publicPem = pubtest::DevPublicPem();
    in.manifest.assign(manifest.begin(), manifest.end());
    in.signatureText = pubtest::SignText(manifest, pubtest::DevPrivatePem());
    if (!zip.empty()) in.packages.emplace_back("win10", zip);
    pub::VerifyOutcome out;
    pub::VerifyRelease(in, &out);
    return out;
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

TEST(VerifyPackages, PackageContentAndEntry) {
    pubtest::TempDir dir;
    struct Case {
        const char* name;
        Entries entries;
        bool ok;
    } cases[] = {
        {"good", kGoodPayload, true},
        {"no_folder_entries", {{"Payload/TOVKinemo.exe", "x"}, {"Payload/tovkinemo.root", ""}}, true},
        {"other_case_and_backslashes", {{"payload\\tovkinemo.EXE", "x"}, {"PAYLOAD\\TovKinemo.Root", ""}}, true},
        {"missing_payload", {{"TOVKinemo.exe", "x"}, {"tovkinemo.root", ""}}, false},
        {"payload_nested", {{"dist/Payload/TOVKinemo.exe", "x"}, {"dist/Payload/tovkinemo.root", ""}}, false},
        {"payload_is_file", {{"Payload", "x"}}, false},
        {"missing_root", {{"Payload/TOVKinemo.exe", "x"}, {"Payload/readme.txt", ""}}, false},
        {"missing_exe", {{"Payload/tovkinemo.root", ""}}, false},
        {"root_in_subfolder", {{"Payload/TOVKinemo.exe", "x"}, {"Payload/bin/tovkinemo.root", ""}}, false},
    };
    for (const Case& c : cases) {
        std::string zip = dir.File(std::string(c.name) + ".zip");
        pubtest::MakeZip(zip, c.entries);
        pub::VerifyOutcome out = Verify(ManifestFor(zip), zip);
        EXPECT_EQ(out.ok(), c.ok) << c.name << (out.failures.empty() ? "" : ": " + out.failures[0]);
    }
}

TEST(VerifyPackages, EntryMustMatchFile) {
    pubtest::TempDir dir;
    std::string zip = dir.File("p.zip"), other = dir.File("q.zip");
    pubtest::MakeZip(zip, kGoodPayload);
    Entries changed = kGoodPayload;
    changed[1].second = "MZ fake progran";  // same size, one byte differs
    pubtest::MakeZip(other, changed);
    std::string manifest = ManifestFor(zip);
    std::string hex = manifest.substr(manifest.find("sha256\":\"") + 9, 64);

    EXPECT_TRUE(Verify(manifest, zip).ok());
    EXPECT_TRUE(Verify(ManifestFor(zip, Upper(hex)), zip).ok());
    EXPECT_FALSE(Verify(manifest, other).ok());
    EXPECT_FALSE(Verify(manifest, dir.File("missing.zip")).ok());
    std::string biggerSize = manifest;
    biggerSize.insert(biggerSize.find("}}"), "0");
    EXPECT_FALSE(Verify(biggerSize, zip).ok());
    // 64 characters that the reader takes but the package check never matches.
    pub::VerifyOutcome notHex = Verify(ManifestFor(zip, " " + hex.substr(1)), "");
    EXPECT_FALSE(notHex.ok());
}

TEST(VerifyChannels, ChannelTheInstallerCannotFindIsReported) {
    // win7 reads fine; win10 is mentioned first as a value, so the installer cannot find it.
    std::string entry = "{\"url\":\"https://h/a\",\"sha256\":\"" + std::string(64, 'a') + "\",\"sizeBytes\":3}";
    std::string manifest = "{\"latestVersion\":\"1\",\"win7\":" + entry + ",\"note\":\"win10\",\"win10\":" + entry + "}";
    pub::VerifyOutcome out = Verify(manifest, "");
    EXPECT_FALSE(out.ok());
    ASSERT_EQ(out.failures.size(), 1u);
    EXPECT_NE(out.failures[0].find("win10"), std::string::npos);
    EXPECT_EQ(out.checked.size(), 2u);  // the signature and win7
    EXPECT_FALSE(Verify("{\"latestVersion\":\"1\"}", "").ok());
}

TEST(Commands, ManifestSignVerify) {
    pubtest::TempDir dir;
    std::string zip = dir.File("p.zip"), bad = dir.File("bad.zip"), json = dir.File("update.json"),
                sig = dir.File("update.json.sig"), out;
    pubtest::MakeZip(zip, kGoodPayload);
    pubtest::MakeZip(bad, {{"Payload/TOVKinemo.exe", "x"}});
    std::string key = pubtest::RepoPath("tests/keys/TEST-ONLY-dev-manifest-private.pem");
    std::string pub = pubtest::RepoPath("trust/dev-manifest-public.pem");

    EXPECT_NE(pubtest::RunTool({"manifest", "--version", "1.0", "--out", json, "--channel", "win10", "--package", bad,
                                "--url", "https://h/p.zip"}, &out), 0);
    EXPECT_NE(out.find("tovkinemo.root"), std::string::npos) << out;
    EXPECT_NE(pubtest::RunTool({"manifest", "--version", "1.0", "--out", json, "--channel", "win10", "--package", zip,
                                "--url", "http://h/p.zip"}, &out), 0);
    ASSERT_EQ(pubtest::RunTool({"manifest", "--version", "1.0", "--out", json, "--channel", "win7", "--package", zip,
                                "--url", "https://h/7.zip", "--channel", "win10", "--package", zip, "--url",
                                "https://h/10.zip"}, &out), 0) << out;
    ASSERT_EQ(pubtest::RunTool({"sign", "--key", key, "--in", json, "--out", sig}, &out), 0) << out;
    std::vector<std::string> verify = {"verify", "--public", pub, "--manifest", json, "--signature", sig};
    ASSERT_EQ(pubtest::RunTool(verify, &out), 0) << out;
    EXPECT_NE(out.find("win7"), std::string::npos);
    EXPECT_NE(out.find("win10"), std::string::npos);
    std::vector<std::string> withPackage = verify;
    withPackage.insert(withPackage.end(), {"--package", "win10=" + zip});
    EXPECT_EQ(pubtest::RunTool(withPackage, &out), 0) << out;
    withPackage.back() = "win10=" + bad;
    EXPECT_NE(pubtest::RunTool(withPackage, &out), 0) << out;

    // Existing outputs are kept; an edited manifest no longer verifies.
    EXPECT_NE(pubtest::RunTool({"sign", "--key", key, "--in", json, "--out", sig}, &out), 0);
    pubtest::WriteText(json, pubtest::ReadText(json) + "\n");
    EXPECT_NE(pubtest::RunTool(verify, &out), 0);
    EXPECT_NE(out.find("signature"), std::string::npos) << out;
    EXPECT_NE(pubtest::RunTool({"verify", "--manifest", json}, &out), 0);
    EXPECT_EQ(pubtest::RunTool({"verify", "--help"}, &out), 0);
}

}  // namespace
