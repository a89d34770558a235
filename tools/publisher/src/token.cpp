#include "token.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <cctype>
#include <cstring>

#include "signature.h"
#include "token_session.h"

#ifndef TOV_P11_KIT_PROXY
#define TOV_P11_KIT_PROXY "p11-kit-proxy.so"
#endif

namespace pub {

namespace {

bool Fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The parts of one URI component (path or query) whose names are not PIN attributes.
std::string WithoutPin(const std::string& part, char separator) {
    std::string kept;
    size_t start = 0;
    while (start <= part.size()) {
        size_t end = part.find(separator, start);
        if (end == std::string::npos)
            end = part.size();
        std::string item = part.substr(start, end - start);
        std::string name = Lower(item.substr(0, item.find('=')));
        if (!item.empty() && name != "pin-value" && name != "pin-source" && name != "pinfile")
            kept += (kept.empty() ? "" : std::string(1, separator)) + item;
        start = end + 1;
    }
    return kept;
}

bool IsTrue(const Bytes& value) {
    return value.size() == sizeof(CK_BBOOL) && value[0] == CK_TRUE;
}

// The embedded-form PEM of an RSA public key given as modulus and exponent (big-endian).
bool PublicPemOfRsa(const Bytes& modulus, const Bytes& exponent, std::string* pem, std::string* error) {
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
    BIGNUM* e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
    OSSL_PARAM* fields = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    unsigned char* der = nullptr;
    int length = 0;
    if (build && n && e && OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n) == 1 &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e) == 1 &&
        (fields = OSSL_PARAM_BLD_to_param(build)) && ctx && EVP_PKEY_fromdata_init(ctx) == 1 &&
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, fields) == 1)
        length = i2d_PUBKEY(key, &der);
    if (length > 0)
        *pem = PublicPemOfDer(der, static_cast<size_t>(length));
    OPENSSL_free(der);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(fields);
    BN_free(n);
    BN_free(e);
    OSSL_PARAM_BLD_free(build);
    ERR_clear_error();
    return length > 0 || Fail(error, "the token's public key does not make an RSA public key");
}

size_t BitLength(const Bytes& number) {
    size_t i = 0;
    while (i < number.size() && number[i] == 0)
        ++i;
    if (i == number.size())
        return 0;
    size_t bits = (number.size() - i) * 8;
    for (unsigned char top = number[i]; !(top & 0x80); top = static_cast<unsigned char>(top << 1))
        --bits;
    return bits;
}

// The public half of an RSA-3072 key in the token, from the private key object or, when that
// does not show the exponent, from the public key object with the same id.
bool PublicHalf(TokenSession* s, CK_OBJECT_HANDLE key, std::string* pem, std::string* error) {
    Bytes type, modulus, exponent, id;
    CK_KEY_TYPE rsa = CKK_RSA;
    if (!ReadAttribute(s, key, CKA_KEY_TYPE, &type) || type.size() != sizeof(rsa) ||
        std::memcmp(type.data(), &rsa, sizeof(rsa)) != 0)
        return Fail(error, "the key " + s->shownUri + " is not an RSA key");
    bool found =
        ReadAttribute(s, key, CKA_MODULUS, &modulus) && ReadAttribute(s, key, CKA_PUBLIC_EXPONENT, &exponent);
    if (!found && ReadAttribute(s, key, CKA_ID, &id) && !id.empty()) {
        CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
        std::vector<CK_OBJECT_HANDLE> publics;
        if (!FindObjects(s, {{CKA_CLASS, &publicClass, sizeof(publicClass)}, {CKA_ID, id.data(), id.size()}},
                         &publics, error))
            return false;
        found = publics.size() == 1 && ReadAttribute(s, publics[0], CKA_MODULUS, &modulus) &&
                ReadAttribute(s, publics[0], CKA_PUBLIC_EXPONENT, &exponent);
    }
    if (!found)
        return Fail(error,
                    "the token shows neither the public exponent of " + s->shownUri + " nor its public key");
    size_t bits = BitLength(modulus);
    if (bits != 3072)
        return Fail(error, "the key " + s->shownUri + " is a " + std::to_string(bits) +
                               "-bit RSA key, not a 3072-bit one (the installer embeds a 3072-bit key)");
    return PublicPemOfRsa(modulus, exponent, pem, error);
}

// The URI's object type, which must be a private key when given.
bool PrivateKeyType(TokenSession* s, CK_OBJECT_CLASS* keyClass, std::string* error) {
    *keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE_PTR type = p11_kit_uri_get_attribute(s->uri, CKA_CLASS);
    if (type && (type->ulValueLen != sizeof(CK_OBJECT_CLASS) ||
                 std::memcmp(type->pValue, keyClass, sizeof(CK_OBJECT_CLASS)) != 0))
        return Fail(error, s->shownUri + " does not name a private key (type=private)");
    return true;
}

// The one private key the URI names (by object= and id=, the attributes RFC 7512 gives).
bool FindPrivateKey(TokenSession* s, CK_OBJECT_HANDLE* key, std::string* error) {
    CK_OBJECT_CLASS keyClass;
    if (!PrivateKeyType(s, &keyClass, error))
        return false;
    std::vector<CK_ATTRIBUTE> match = {{CKA_CLASS, &keyClass, sizeof(keyClass)}};
    for (CK_ATTRIBUTE_TYPE named : {CKA_LABEL, CKA_ID})
        if (CK_ATTRIBUTE_PTR a = p11_kit_uri_get_attribute(s->uri, named))
            match.push_back(*a);
    std::vector<CK_OBJECT_HANDLE> keys;
    if (!FindObjects(s, match, &keys, error))
        return false;
    if (keys.empty())
        return Fail(error, "the token '" + s->token + "' holds no private key that matches " + s->shownUri);
    if (keys.size() > 1)
        return Fail(error, std::to_string(keys.size()) + " private keys in the token '" + s->token +
                               "' match " + s->shownUri + "; name one with object= or id=");
    *key = keys[0];
    return true;
}

// The new pair as asked for: the private half sensitive and not extractable, the public half in
// the embedded form.
bool CheckNewPair(TokenSession* s, CK_OBJECT_HANDLE privateKey, CK_OBJECT_HANDLE publicKey, std::string* pem,
                  std::string* error) {
    Bytes sensitive, extractable, modulus, exponent;
    if (!ReadAttribute(s, privateKey, CKA_SENSITIVE, &sensitive) || !IsTrue(sensitive) ||
        !ReadAttribute(s, privateKey, CKA_EXTRACTABLE, &extractable) || IsTrue(extractable))
        return Fail(error, "the token '" + s->token +
                               "' did not keep the new private key sensitive and not extractable");
    if (!ReadAttribute(s, publicKey, CKA_MODULUS, &modulus) ||
        !ReadAttribute(s, publicKey, CKA_PUBLIC_EXPONENT, &exponent))
        return Fail(error, "the token '" + s->token + "' does not show the new public key");
    std::string why;
    if (!PublicPemOfRsa(modulus, exponent, pem, error))
        return false;
    if (!IsEmbeddablePublicPem(*pem, &why))
        return Fail(error, "the token's new public key has the wrong form: " + why);
    return true;
}

} // namespace

bool IsTokenUri(const std::string& text) {
    return Lower(text.substr(0, 7)) == "pkcs11:";
}

std::string UriWithoutPin(const std::string& uri) {
    if (!IsTokenUri(uri))
        return uri;
    size_t question = uri.find('?');
    std::string path = uri.substr(7, question == std::string::npos ? std::string::npos : question - 7);
    std::string shown = uri.substr(0, 7) + WithoutPin(path, ';');
    if (question != std::string::npos) {
        std::string query = WithoutPin(uri.substr(question + 1), '&');
        if (!query.empty())
            shown += "?" + query;
    }
    return shown;
}

std::string ChooseModule(const std::string& option, const char* envValue) {
    if (!option.empty())
        return option;
    if (envValue && *envValue)
        return envValue;
    return TOV_P11_KIT_PROXY;
}

bool SignInToken(const TokenOptions& options, const unsigned char* data, size_t size, Bytes* signature,
                 std::string* publicPem, std::string* error) {
    TokenSession s;
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    if (!OpenTokenSession(options, false, &s, error) || !FindPrivateKey(&s, &key, error) ||
        !PublicHalf(&s, key, publicPem, error))
        return false;
    // The token hashes and signs: RSASSA-PKCS1-v1_5 with SHA-256, as the PEM key gives.
    CK_MECHANISM mechanism = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_BYTE_PTR bytes = const_cast<CK_BYTE_PTR>(data);
    CK_ULONG length = 0;
    CK_RV rv = s.f->C_SignInit(s.session, &mechanism, key);
    if (rv == CKR_OK)
        rv = s.f->C_Sign(s.session, bytes, size, nullptr, &length);
    if (rv == CKR_OK) {
        signature->assign(length, 0);
        rv = s.f->C_Sign(s.session, bytes, size, signature->data(), &length);
    }
    if (rv != CKR_OK)
        return Fail(error, "the token '" + s.token + "' does not sign with " + s.shownUri +
                               " (CKM_SHA256_RSA_PKCS): " + CkrText(rv));
    signature->resize(length);
    return true;
}

bool GenerateInToken(const TokenOptions& options,
                     const std::function<bool(const std::string& publicPem, std::string* error)>& keep,
                     std::string* error) {
    TokenSession s;
    if (!OpenTokenSession(options, true, &s, error))
        return false;
    CK_OBJECT_CLASS privateClass, publicClass = CKO_PUBLIC_KEY;
    if (!PrivateKeyType(&s, &privateClass, error))
        return false;
    CK_ATTRIBUTE_PTR label = p11_kit_uri_get_attribute(s.uri, CKA_LABEL);
    CK_ATTRIBUTE_PTR id = p11_kit_uri_get_attribute(s.uri, CKA_ID);
    if (!label || label->ulValueLen == 0)
        return Fail(error, s.shownUri + " names no object= label for the new key");
    std::string name(static_cast<const char*>(label->pValue), label->ulValueLen);
    // A release key is never replaced: any object under that label (or id) stops the keygen.
    std::vector<CK_OBJECT_HANDLE> existing;
    if (!FindObjects(&s, {*label}, &existing, error) ||
        (existing.empty() && id && !FindObjects(&s, {*id}, &existing, error)))
        return false;
    if (!existing.empty())
        return Fail(error, "the token '" + s.token + "' already holds an object labelled '" + name +
                               "' (or with that id); a release key is never replaced");

    CK_KEY_TYPE rsa = CKK_RSA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ULONG bits = 3072;
    CK_BYTE exponent[] = {0x01, 0x00, 0x01};
    std::vector<CK_ATTRIBUTE> publicTemplate = {{CKA_CLASS, &publicClass, sizeof(publicClass)},
                                                {CKA_KEY_TYPE, &rsa, sizeof(rsa)},
                                                {CKA_TOKEN, &yes, sizeof(yes)},
                                                {CKA_PRIVATE, &no, sizeof(no)},
                                                {CKA_MODULUS_BITS, &bits, sizeof(bits)},
                                                {CKA_PUBLIC_EXPONENT, exponent, sizeof(exponent)},
                                                {CKA_VERIFY, &yes, sizeof(yes)},
                                                {CKA_ENCRYPT, &no, sizeof(no)},
                                                {CKA_WRAP, &no, sizeof(no)},
                                                *label};
    std::vector<CK_ATTRIBUTE> privateTemplate = {{CKA_CLASS, &privateClass, sizeof(privateClass)},
                                                 {CKA_KEY_TYPE, &rsa, sizeof(rsa)},
                                                 {CKA_TOKEN, &yes, sizeof(yes)},
                                                 {CKA_PRIVATE, &yes, sizeof(yes)},
                                                 {CKA_SENSITIVE, &yes, sizeof(yes)},
                                                 {CKA_EXTRACTABLE, &no, sizeof(no)},
                                                 {CKA_SIGN, &yes, sizeof(yes)},
                                                 {CKA_SIGN_RECOVER, &no, sizeof(no)},
                                                 {CKA_DECRYPT, &no, sizeof(no)},
                                                 {CKA_UNWRAP, &no, sizeof(no)},
                                                 {CKA_DERIVE, &no, sizeof(no)},
                                                 *label};
    if (id) {
        publicTemplate.push_back(*id);
        privateTemplate.push_back(*id);
    }
    CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE, privateKey = CK_INVALID_HANDLE;
    CK_RV rv =
        s.f->C_GenerateKeyPair(s.session, &mechanism, publicTemplate.data(), publicTemplate.size(),
                               privateTemplate.data(), privateTemplate.size(), &publicKey, &privateKey);
    if (rv != CKR_OK)
        return Fail(error, "the token '" + s.token + "' cannot make an RSA-3072 pair: " + CkrText(rv));

    // From here on a failure takes the new pair out of the token again.
    std::string pem;
    bool ok = CheckNewPair(&s, privateKey, publicKey, &pem, error) && keep(pem, error);
    if (!ok) {
        s.f->C_DestroyObject(s.session, privateKey);
        s.f->C_DestroyObject(s.session, publicKey);
    }
    return ok;
}

} // namespace pub
