// Keys in a PKCS#11 token: a SoftHSM2 token of the test's own under the build folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "signature.h"
#include "test_support.h"

namespace {

const std::string kPin = "48213579", kWrongPin = "97531284";
const std::string kUri = "pkcs11:token=kinemo-release;object=";
const std::string kManifest =
    "{\"latestVersion\":\"2.0.1\",\"win10\":{\"url\":\"https://h/p.zip\",\"sha256\":\"" +
    std::string(64, 'a') + "\",\"sizeBytes\":5}}\n";

// A token directory and SOFTHSM2_CONF of its own, the token "kinemo-release" initialised with
// kPin and holding the development key as "manifest" and a 2048-bit key as "short".
struct SoftToken {
    std::string dir;
    explicit SoftToken(const std::string& name) : dir(std::string(PUBLISHER_TEST_WORK) + "/" + name) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir + "/tokens");
        pubtest::WriteText(dir + "/softhsm2.conf", "directories.tokendir = " + dir + "/tokens\n" +
                                                       "objectstore.backend = file\nlog.level = ERROR\n");
        setenv("SOFTHSM2_CONF", (dir + "/softhsm2.conf").c_str(), 1);
        setenv("TOV_PKCS11_MODULE", SOFTHSM2_MODULE, 1);
        setenv("TOV_TEST_PIN", kPin.c_str(), 1);
        std::string util = "softhsm2-util --pin " + kPin + " ";
        std::string shortKey = dir + "/short.pem";
        Run(util + "--init-token --free --label kinemo-release --so-pin 12345678");
        Run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + shortKey);
        Run(util + "--import " + pubtest::RepoPath("tests/keys/TEST-ONLY-dev-manifest-private.pem") +
            " --token kinemo-release --label manifest --id 01");
        Run(util + "--import " + shortKey + " --token kinemo-release --label short --id 02");
    }
    static void Run(const std::string& command) {
        ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
    }
    std::string File(const std::string& name) const { return dir + "/" + name; }
};

TEST(Token, SignAndKeygenRefusals) {
    ASSERT_TRUE(std::filesystem::exists(SOFTHSM2_MODULE))
        << "SoftHSM2 is missing: see the README's setup command";
    SoftToken token("sign-and-keygen");
    std::string manifest = token.File("update.json"), pinFile = token.File("pin.txt");
    std::string devPublic = pubtest::RepoPath("trust/dev-manifest-public.pem"),
                otherPublic = token.File("other.pem");
    pubtest::WriteText(manifest, kManifest);
    pubtest::WriteText(pinFile, kPin + "\n");
    std::string other;
    ASSERT_TRUE(pub::PublicPemOfPrivate(pubtest::OtherPrivatePem(), &other, nullptr));
    pubtest::WriteText(otherPublic, other);
    const std::string pemSignature = pubtest::SignText(kManifest, pubtest::DevPrivatePem());
    auto sign = [&](const std::string& key, std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"sign", "--key", key, "--in", manifest};
        args.insert(args.end(), more.begin(), more.end());
        args.push_back("--out");
        return args;
    };
    auto with = [](std::vector<std::string> args, const std::string& last) {
        args.push_back(last);
        return args;
    };
    struct Row {
        const char* name;
        std::vector<std::string> args; // the output's path follows
        int code;
        std::string text;
    } rows[] = {
        {"pem_and_token_same_bytes",
         sign(kUri + "manifest", {"--pin-env", "TOV_TEST_PIN", "--public", devPublic}), 0,
         "signed inside the token with " + kUri + "manifest\n"},
        {"pin_source_file", sign(kUri + "manifest?pin-source=file:" + pinFile), 0,
         "with " + kUri + "manifest\n"},
        {"pin_value", sign(kUri + "manifest?pin-value=" + kPin), 0, "with " + kUri + "manifest\n"},
        {"wrong_pin", sign(kUri + "manifest?pin-value=" + kWrongPin), 1,
         "wrong PIN for the token 'kinemo-release'"},
        {"missing_token", sign("pkcs11:token=elsewhere;object=manifest", {"--pin-env", "TOV_TEST_PIN"}), 1,
         "no token matches pkcs11:token=elsewhere;object=manifest"},
        {"missing_object", sign(kUri + "nothing", {"--pin-env", "TOV_TEST_PIN"}), 1,
         "holds no private key that matches " + kUri + "nothing"},
        {"unloadable_module", sign(kUri + "manifest", {"--pkcs11-module", token.File("none.so")}), 1,
         "the PKCS#11 module " + token.File("none.so") + " does not load"},
        {"no_pin_no_terminal", sign(kUri + "manifest"), 1, "needs a PIN: give --pin-env NAME"},
        {"short_key", sign(kUri + "short", {"--pin-env", "TOV_TEST_PIN"}), 1, "is a 2048-bit RSA key"},
        {"other_public", sign(kUri + "manifest", {"--pin-env", "TOV_TEST_PIN", "--public", otherPublic}), 1,
         "is not the key in " + otherPublic},
        {"misspelt_attribute",
         sign("pkcs11:token=kinemo-release;objekt=manifest", {"--pin-env", "TOV_TEST_PIN"}), 1,
         "not one of RFC 7512's"},
        {"keygen_existing_label",
         {"keygen", "--pkcs11", kUri + "manifest", "--pin-env", "TOV_TEST_PIN", "--public"},
         1,
         "already holds an object labelled 'manifest'"},
        {"keygen", {"keygen", "--pkcs11", kUri + "fresh?pin-value=" + kPin, "--public"}, 0, "sign only"},
    };
    std::string out;
    for (const Row& r : rows) {
        std::string output = token.File(std::string(r.name) + ".out");
        EXPECT_EQ(pubtest::RunTool(with(r.args, output), &out), r.code) << r.name << ": " << out;
        EXPECT_NE(out.find(r.text), std::string::npos) << r.name << ": " << out;
        EXPECT_EQ(out.find(kPin), std::string::npos) << r.name << ": " << out;
        EXPECT_EQ(out.find(kWrongPin), std::string::npos) << r.name << ": " << out;
        EXPECT_EQ(std::filesystem::exists(output), r.code == 0) << r.name;
        if (r.code == 0 && r.args[0] == "sign") {
            EXPECT_EQ(pubtest::ReadText(output), pemSignature) << r.name;
        }
    }

    // The key made in the token signs, and its public key verifies the signature.
    std::string fresh = token.File("keygen.out"), sig = token.File("fresh.sig");
    EXPECT_TRUE(pub::IsEmbeddablePublicPem(pubtest::ReadText(fresh), nullptr));
    ASSERT_EQ(pubtest::RunTool(
                  with(sign(kUri + "fresh", {"--pin-env", "TOV_TEST_PIN", "--public", fresh}), sig), &out),
              0)
        << out;
    EXPECT_EQ(
        pubtest::RunTool({"verify", "--public", fresh, "--manifest", manifest, "--signature", sig}, &out), 0)
        << out;
    EXPECT_NE(pubtest::ReadText(sig), pemSignature);
    // As the token itself lists the new private key: for signing only, never out of the token.
    FILE* list = popen(("pkcs11-tool --module " + std::string(SOFTHSM2_MODULE) +
                        " --token-label kinemo-release --login --pin " + kPin +
                        " --list-objects --type privkey --label fresh 2>&1")
                           .c_str(),
                       "r");
    ASSERT_NE(list, nullptr);
    char buf[4096];
    out.assign(buf, std::fread(buf, 1, sizeof(buf), list));
    pclose(list);
    EXPECT_NE(out.find("Usage:      sign\n"), std::string::npos) << out;
    EXPECT_NE(out.find("always sensitive, never extractable, local"), std::string::npos) << out;
}

} // namespace
