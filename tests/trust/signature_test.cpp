// Manifest signature: signatures made by openssl from the test-only keys (generated into the build
// tree before the tests run), checked against the built-in key and against another key.
#include "trust/trust.h"
#include "trust_test_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using Transform = std::function<std::string(std::string)>;

std::string Same(std::string bytes) {
    return bytes;
}

std::string ToCrLf(std::string bytes) {
    std::string out;
    for (char c : bytes) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

struct SignatureCase {
    const char* name;
    Transform manifest;
    const char* signatureFile; // null: the signature text itself is given
    const char* signatureText;
    bool verifies;
};

bool VerifyCase(const SignatureCase& c, const char* keyPem) {
    std::string manifest = c.manifest(trusttest::ReadData("manifest.json"));
    std::string signature = c.signatureFile ? trusttest::ReadData(c.signatureFile) : c.signatureText;
    return VerifySignatureWithKey(keyPem, (const BYTE*)manifest.data(), (UINT32)manifest.size(),
                                  signature.c_str()) != FALSE;
}

class BuiltInKey : public ::testing::TestWithParam<SignatureCase> {};

TEST_P(BuiltInKey, Verifies) {
    const SignatureCase& c = GetParam();
    ASSERT_FALSE(trusttest::ReadData("manifest.json").empty()) << "trust test data missing";
    std::string manifest = c.manifest(trusttest::ReadData("manifest.json"));
    std::string signature = c.signatureFile ? trusttest::ReadData(c.signatureFile) : c.signatureText;
    EXPECT_EQ(VerifyManifestSignature((const BYTE*)manifest.data(), (UINT32)manifest.size(),
                                      signature.c_str()) != FALSE,
              c.verifies);
}

const SignatureCase SIGNATURE_CASES[] = {
    {"OneLine", Same, "sig-oneline.txt", nullptr, true},
    {"OneLineFinalBreak", Same, "sig-oneline-lf.txt", nullptr, true},
    {"MultiLineLf", Same, "sig-multiline-lf.txt", nullptr, true},
    {"MultiLineCrLf", Same, "sig-multiline-crlf.txt", nullptr, true},
    {"MultiLineNoFinalBreak", Same, "sig-multiline-nofinal.txt", nullptr, true},
    {"PemWrapped", Same, "sig-pem.txt", nullptr, true},
    {"FirstByteChanged",
     [](std::string m) {
         m[0] ^= 1;
         return m;
     },
     "sig-oneline.txt", nullptr, false},
    {"MiddleByteChanged",
     [](std::string m) {
         m[m.size() / 2] ^= 0x20;
         return m;
     },
     "sig-oneline.txt", nullptr, false},
    {"LastByteChanged",
     [](std::string m) {
         m.back() = ' ';
         return m;
     },
     "sig-oneline.txt", nullptr, false},
    {"LineEndsToCrLf", ToCrLf, "sig-oneline.txt", nullptr, false},
    {"ByteOrderMarkAdded", [](std::string m) { return "\xEF\xBB\xBF" + m; }, "sig-oneline.txt", nullptr,
     false},
    {"FinalBreakRemoved",
     [](std::string m) {
         m.pop_back();
         return m;
     },
     "sig-oneline.txt", nullptr, false},
    {"FinalBreakAdded", [](std::string m) { return m + "\n"; }, "sig-oneline.txt", nullptr, false},
    {"Empty", [](std::string) { return std::string(); }, "sig-oneline.txt", nullptr, false},
    {"ReversedByteOrder", Same, "sig-reversed.txt", nullptr, false},
    {"TruncatedSignature", Same, "sig-truncated.txt", nullptr, false},
    {"OtherKey", Same, "sig-other-key.txt", nullptr, false},
    {"Sha1", Same, "sig-sha1.txt", nullptr, false},
    {"EmptySignature", Same, nullptr, "", false},
    {"BreaksOnlySignature", Same, nullptr, "\r\n\r\n", false},
    {"NotBase64", Same, nullptr, "this is *not* base64 at all!", false},
    {"ShortBase64", Same, nullptr, "QUJD", false},
};

INSTANTIATE_TEST_SUITE_P(Cases, BuiltInKey, ::testing::ValuesIn(SIGNATURE_CASES),
                         [](const ::testing::TestParamInfo<SignatureCase>& info) { return info.param.name; });

TEST(SignatureWithKey, OtherKeyVerifiesOnlyItsOwnSignature) {
    std::string otherKey = trusttest::ReadData("other-public.pem");
    ASSERT_FALSE(otherKey.empty());
    EXPECT_TRUE(VerifyCase({"", Same, "sig-other-key.txt", nullptr, true}, otherKey.c_str()));
    EXPECT_FALSE(VerifyCase({"", Same, "sig-oneline.txt", nullptr, false}, otherKey.c_str()));
    EXPECT_TRUE(VerifyCase({"", Same, "sig-multiline-crlf.txt", nullptr, true}, MANIFEST_PUBLIC_KEY));
}

TEST(SignatureWithKey, UnusableKeyFails) {
    const char* keys[] = {"", "not a key", "-----BEGIN PUBLIC KEY-----\nQUJD\n-----END PUBLIC KEY-----\n"};
    for (const char* key : keys)
        EXPECT_FALSE(VerifyCase({"", Same, "sig-oneline.txt", nullptr, false}, key)) << key;
}

TEST(SignatureWithKey, NullArgumentsFail) {
    std::string manifest = trusttest::ReadData("manifest.json");
    std::string signature = trusttest::ReadData("sig-oneline.txt");
    EXPECT_FALSE(VerifyManifestSignature(nullptr, 10, signature.c_str()));
    EXPECT_FALSE(VerifyManifestSignature((const BYTE*)manifest.data(), (UINT32)manifest.size(), nullptr));
    EXPECT_FALSE(VerifySignatureWithKey(nullptr, (const BYTE*)manifest.data(), (UINT32)manifest.size(),
                                        signature.c_str()));
}

TEST(ManifestPublicKey, IsTheConfiguredPemKey) {
    std::string pem = MANIFEST_PUBLIC_KEY;
    EXPECT_EQ(pem.size(), 625u);
    EXPECT_EQ(pem.rfind("-----BEGIN PUBLIC KEY-----\n", 0), 0u);
    EXPECT_EQ(pem.substr(pem.size() - 25), "-----END PUBLIC KEY-----\n");
    EXPECT_EQ(pem.find('\r'), std::string::npos);
}

} // namespace
