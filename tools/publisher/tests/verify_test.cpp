// The whole release check: packages against entries, and the tool's commands end to end.
#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

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

pub::VerifyOutcome Verify(const std::string& manifest, const std::string& zip, bool requirePackages = false) {
    pub::VerifyInput in;
    in.requirePackages = requirePackages;
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

bool Mentions(const std::vector<std::string>& texts, const std::string& part) {
    for (const std::string& t : texts)
        if (t.find(part) != std::string::npos) return true;
    return false;
}

TEST(VerifyChannels, ManifestRulesOnTopOfTheInstallers) {
    struct Case {
        const char* name;
        std::string version, url, sha;
        bool ok;
    } cases[] = {
        {"good", "2.1.0", "https://h/p.zip", std::string(64, 'a'), true},
        {"version_slash", "2.1/0", "https://h/p.zip", std::string(64, 'a'), false},
        {"version_trailing_space", "2.1.0 ", "https://h/p.zip", std::string(64, 'a'), false},
        {"url_without_host", "2.1.0", "https:///x.zip", std::string(64, 'a'), false},
        {"url_port_only", "2.1.0", "https://:443/x.zip", std::string(64, 'a'), false},
        {"url_with_space", "2.1.0", "https://h/a b.zip", std::string(64, 'a'), false},
        {"digest_not_hex", "2.1.0", "https://h/p.zip", std::string(64, 'z'), false},
    };
    for (const Case& c : cases) {
        std::string manifest = "{\"latestVersion\":\"" + c.version + "\",\"win10\":{\"url\":\"" + c.url +
                               "\",\"sha256\":\"" + c.sha + "\",\"sizeBytes\":5}}\n";
        pub::VerifyOutcome out = Verify(manifest, "");
        ASSERT_EQ(out.channels.size(), 1u) << c.name;
        EXPECT_TRUE(out.channels[0].installerAccepts) << c.name;
        EXPECT_EQ(out.channels[0].ok, c.ok) << c.name;
        EXPECT_EQ(out.ok(), c.ok) << c.name;
        if (!c.ok) {
            EXPECT_TRUE(Mentions(out.failures, "(the installer itself would accept it)")) << c.name;
        }
    }
}

TEST(VerifyChannels, UploadDamagePackagesAndFingerprint) {
    std::string manifest = "{\"latestVersion\":\"1\",\r\n\"win10\":{\"url\":\"https://h/p.zip\",\"sha256\":\"" +
                           std::string(64, 'a') + "\",\"sizeBytes\":5}}\r\n";
    pub::VerifyOutcome out = Verify(manifest, "");
    EXPECT_TRUE(out.ok());
    EXPECT_TRUE(Mentions(out.warnings, "CR LF"));
    EXPECT_TRUE(Mentions(out.warnings, "win10: packages not checked"));
    // openssl pkey -pubin -in trust/dev-manifest-public.pem -outform DER | sha256sum
    EXPECT_EQ(out.fingerprint, "4c306528bfd0f4e1bb2efa283e0cc9ffdf6e4b964dc520b000f4cc186042734d");
    EXPECT_FALSE(Verify(manifest, "", true).ok());
    pub::VerifyOutcome bom = Verify("\xEF\xBB\xBF" + manifest, "");
    EXPECT_FALSE(bom.ok());
    EXPECT_TRUE(Mentions(bom.warnings, "byte-order mark"));
    std::string lf = manifest;
    lf.erase(std::remove(lf.begin(), lf.end(), '\r'), lf.end());
    EXPECT_FALSE(Mentions(Verify(lf, "").warnings, "CR LF"));
}

void MakeFolder(const std::string& root, const Entries& files) {
    for (const auto& f : files) {
        std::filesystem::create_directories(std::filesystem::path(root + "/" + f.first).parent_path());
        pubtest::WriteText(root + "/" + f.first, f.second);
    }
}

std::vector<std::string> ZipNames(const std::string& path) {
    std::vector<std::string> names;
    zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, nullptr);
    for (zip_int64_t i = 0; z && i < zip_get_num_entries(z, 0); ++i) names.push_back(zip_get_name(z, i, 0));
    if (z) zip_discard(z);
    return names;
}

TEST(Commands, PackIsReproducible) {
    pubtest::TempDir dir;
    const Entries files = {{"TOVKinemo.exe", "MZ fake program"}, {"tovkinemo.root", ""}, {"Assets/AppIcon.ico", "icon"}};
    MakeFolder(dir.File("a"), files);
    MakeFolder(dir.File("b"), Entries(files.rbegin(), files.rend()));  // made in another order
    std::filesystem::last_write_time(dir.File("b/TOVKinemo.exe"), std::filesystem::file_time_type::clock::now() -
                                                                      std::chrono::hours(30000));
    std::string out;
    ASSERT_EQ(pubtest::RunTool({"pack", "--from", dir.File("a"), "--out", dir.File("a.zip")}, &out), 0) << out;
    setenv("TZ", "Asia/Tokyo", 1);
    ASSERT_EQ(pubtest::RunTool({"pack", "--from", dir.File("b"), "--out", dir.File("b.zip")}, &out), 0) << out;
    unsetenv("TZ");
    EXPECT_EQ(pubtest::ReadText(dir.File("a.zip")), pubtest::ReadText(dir.File("b.zip")));
    std::vector<std::string> expected = {"Payload/", "Payload/Assets/", "Payload/Assets/AppIcon.ico",
                                         "Payload/TOVKinemo.exe", "Payload/tovkinemo.root"};
    EXPECT_EQ(ZipNames(dir.File("a.zip")), expected);
    EXPECT_TRUE(Verify(ManifestFor(dir.File("a.zip")), dir.File("a.zip")).ok());
}

// The commands as a release pipeline runs them, in order; each row's exit code and one text of its output.
TEST(Commands, ReleasePipeline) {
    pubtest::TempDir dir;
    MakeFolder(dir.File("app"), {{"TOVKinemo.exe", "MZ"}, {"tovkinemo.root", ""}, {"Assets/AppIcon.ico", "i"}});
    MakeFolder(dir.File("noroot"), {{"TOVKinemo.exe", "MZ"}});
    MakeFolder(dir.File("device"), {{"TOVKinemo.exe", "MZ"}, {"tovkinemo.root", ""}, {"Docs/com1.txt", ""}});
    MakeFolder(dir.File("cases"), {{"TOVKinemo.exe", "MZ"}, {"tovkinemo.root", ""}, {"a.txt", ""}, {"A.TXT", ""}});
    MakeFolder(dir.File("names"), {{"TOVKinemo.exe", "MZ"}, {"tovkinemo.root", ""}, {"\xE8\xAF\xB4\xE6\x98\x8E.txt", ""}});
    std::string key = dir.File("dev.pem"), enc = dir.File("enc.pem"), zip = dir.File("p.zip"),
                json = dir.File("update.json"), sig = dir.File("update.json.sig"), pub = dir.File("pub.pem");
    pubtest::WriteText(key, pubtest::DevPrivatePem());
    ASSERT_EQ(std::system(("openssl pkcs8 -topk8 -v2 aes-256-cbc -passout pass:s3cret -in '" + key + "' -out '" + enc +
                           "'").c_str()), 0);
    pubtest::WriteText(pub, pubtest::DevPublicPem());
    pubtest::WriteText(dir.File("wrong.txt"), "wrong\n");
    setenv("TOVPUB_TEST_PASS", "s3cret", 1);
    setenv("TOVPUB_TEST_KEY", pubtest::DevPrivatePem().c_str(), 1);
    const std::string fingerprint = "4c306528bfd0f4e1bb2efa283e0cc9ffdf6e4b964dc520b000f4cc186042734d";
    using Args = std::vector<std::string>;
    Args win10 = {"--channel", "win10", "--package", zip, "--url", "https://h/p.zip"};
    auto manifest = [&](Args head) {
        head.insert(head.begin(), "manifest");
        head.insert(head.end(), win10.begin(), win10.end());
        return head;
    };
    Args verify = {"verify", "--public", pub, "--manifest", json, "--signature", sig};
    // A release with the opt-in members and a win7 package with a non-ASCII name.
    std::string names = dir.File("names.zip"), json2 = dir.File("opt-in.json"), sig2 = dir.File("opt-in.json.sig");
    Args optIn = {"manifest", "--version", "1.0", "--out", json2, "--reuse", "--allow-downgrade", "--channel", "win7",
                  "--package", names, "--url", "https://h/7.zip"};
    Args verify2 = {"verify", "--public", pub, "--manifest", json2, "--signature", sig2, "--package", "win7=" + names};
    auto with = [](Args a, const Args& more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    struct Row {
        const char* name;
        Args args;
        int code;
        std::string text;
        std::string stdinPath = "";
    } rows[] = {
        {"pack", {"pack", "--from", dir.File("app"), "--out", zip}, 0, "sha256 "},
        {"pack_into_its_folder", {"pack", "--from", dir.File("app"), "--out", dir.File("app/p.zip")}, 1, "inside"},
        {"pack_without_root", {"pack", "--from", dir.File("noroot"), "--out", dir.File("q.zip")}, 1,
         "\"Payload/tovkinemo.root\" is missing"},
        {"pack_device_name", {"pack", "--from", dir.File("device"), "--out", dir.File("q.zip")}, 1, "device name"},
        {"pack_names_differ_in_case", {"pack", "--from", dir.File("cases"), "--out", dir.File("q.zip")}, 1, "a.txt exists twice"},
        {"dry_run", manifest({"--version", "1.0", "--dry-run"}), 0, "nothing written"},
        {"version_slash", manifest({"--version", "2.1/0", "--out", json}), 1, "Windows file name"},
        {"out_is_package", manifest({"--version", "1.0", "--out", zip, "--force"}), 1, "never overwritten"},
        {"url_without_host", {"manifest", "--version", "1.0", "--out", json, "--channel", "win10", "--package", zip,
                              "--url", "https:///x.zip"}, 1, "no host"},
        {"manifest", manifest({"--version", "1.0", "--out", json}), 0, "wrote "},
        {"encrypted_no_passphrase", {"sign", "--key", enc, "--in", json, "--out", sig}, 1,
         "the key is encrypted; give its passphrase with --passphrase-env NAME or --passphrase-file FILE"},
        {"wrong_passphrase", {"sign", "--key", enc, "--passphrase-file", dir.File("wrong.txt"), "--in", json, "--out",
                              sig}, 1, "does not unlock"},
        {"key_from_stdin", {"sign", "--key", "-", "--passphrase-env", "TOVPUB_TEST_PASS", "--in", json, "--out", sig},
         0, "fingerprint " + fingerprint, enc},
        {"key_from_env", {"sign", "--key-env", "TOVPUB_TEST_KEY", "--in", json, "--out", sig, "--force"}, 0,
         fingerprint},
        {"key_env_unset", {"sign", "--key-env", "TOVPUB_TEST_UNSET", "--in", json, "--out", "-"}, 1, "not set"},
        {"out_is_key", {"sign", "--key", key, "--in", json, "--out", key, "--force"}, 1, "never overwritten"},
        {"two_keys", {"sign", "--key", key, "--key-env", "TOVPUB_TEST_KEY", "--in", json, "--out", "-"}, 2, "exactly one"},
        {"verify", verify, 0, "packages not checked"},
        {"verify_require", with(verify, {"--require-packages"}), 1, "packages not checked"},
        {"verify_packages", with(verify, {"--require-packages", "--package", "win10=" + zip}), 0, fingerprint},
        {"pack_names", {"pack", "--from", dir.File("names"), "--out", names}, 0, "note: 1 entry name is not plain ASCII"},
        {"manifest_names_strict", with(optIn, {"--strict"}), 1, "(refused with --strict)"},
        {"manifest_names_win10_strict", {"manifest", "--version", "1.0", "--dry-run", "--strict", "--channel", "win10",
                                         "--package", names, "--url", "https://h/p.zip"}, 0, "nothing written"},
        {"manifest_opt_in", optIn, 0, "win7: 1 entry name is not plain ASCII"},
        {"manifest_opt_in_lines", with(optIn, {"--dry-run", "--force"}), 0,
         "allowDowngrade: an installation newer than 1.0"},
        {"sign_opt_in", {"sign", "--key", key, "--in", json2, "--out", sig2}, 0, fingerprint},
        {"verify_opt_in", verify2, 0, "reuse on"},
        {"verify_downgrade_warning", verify2, 0, "warning: the manifest allows downgrades"},
        {"verify_opt_in_json", with(verify2, {"--json"}), 0, "\"allowDowngrade\":true,\"channels\""},
        {"verify_opt_in_json_reuse", with(verify2, {"--json"}), 0, "\"reuse\":true,\"package\""},
        {"verify_names_strict", with(verify2, {"--strict"}), 1, "win7: 1 entry name is not plain ASCII"},
        {"help_command", {"help", "pack"}, 0, "exit codes: 0"},
        {"version", {"--version"}, 0, "tovpublish "},
        {"unknown_option", {"manifest", "--bogus"}, 2, "unknown option"},
    };
    std::string out, zipBefore, keyBefore = pubtest::ReadText(key);
    for (const Row& r : rows) {
        if (std::string(r.name) == "dry_run") zipBefore = pubtest::ReadText(zip);
        EXPECT_EQ(pubtest::RunTool(r.args, &out, false, r.stdinPath), r.code) << r.name << ": " << out;
        EXPECT_NE(out.find(r.text), std::string::npos) << r.name << ": " << out;
        if (std::string(r.name) == "dry_run") {
            EXPECT_FALSE(std::filesystem::exists(json));
        }
    }
    EXPECT_EQ(pubtest::ReadText(zip), zipBefore);
    EXPECT_EQ(pubtest::ReadText(key), keyBefore);

    // --json: one object alone on standard output; "-" as output: the data alone.
    ASSERT_EQ(pubtest::RunTool(with(verify, {"--json", "--package", "win10=" + zip}), &out, true), 0);
    EXPECT_EQ(out.rfind("{\"command\":\"verify\",\"verdict\":\"accepted\",\"fingerprint\":\"" + fingerprint, 0), 0u)
        << out;
    EXPECT_NE(out.find("\"sha256\":\"" + ManifestFor(zip).substr(ManifestFor(zip).find("sha256\":\"") + 9, 64)),
              std::string::npos);
    EXPECT_EQ(out.find('\n'), out.size() - 1);
    ASSERT_EQ(pubtest::RunTool(manifest({"--version", "1.0", "--out", "-"}), &out, true), 0);
    EXPECT_EQ(out, pubtest::ReadText(json));
    ASSERT_EQ(pubtest::RunTool(manifest({"--version", "1/0", "--dry-run", "--json"}), &out, true), 1);
    EXPECT_NE(out.find("\"verdict\":\"refused\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"refusals\":[\"the version contains"), std::string::npos) << out;
    unsetenv("TOVPUB_TEST_PASS");
    unsetenv("TOVPUB_TEST_KEY");
}

}  // namespace
