#include "signature.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace pub {

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using MdPtr = std::unique_ptr<EVP_MD_CTX, MdFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

std::string OpensslError(const char* what) {
    std::string text = what;
    unsigned long code = ERR_get_error();
    if (code) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof(buf));
        text += ": ";
        text += buf;
    }
    ERR_clear_error();
    return text;
}

bool Fail(std::string* error, const std::string& text) {
    if (error)
        *error = text;
    return false;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool IsBase64Space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Plain base64 body, decoded as the platform's decoder does: whitespace is skipped; "=" right
// after a full four-character block, or "=" that completes a block, ends the text and whatever
// follows is ignored; data between padding characters is invalid.
bool DecodeBase64Body(const char* p, const char* end, Bytes* out) {
    out->clear();
    uint32_t acc = 0;
    int bits = 0;
    int chars = 0;
    int padding = 0;
    for (; p < end; ++p) {
        char c = *p;
        if (IsBase64Space(c))
            continue;
        if (c == '=') {
            if (chars % 4 == 0)
                break;
            ++padding;
            if ((chars + padding) % 4 == 0)
                break;
            continue;
        }
        if (padding)
            return false;
        int v = Base64Value(c);
        if (v < 0)
            return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        ++chars;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<unsigned char>((acc >> bits) & 0xFF));
        }
    }
    if (chars % 4 == 1)
        return false;
    if (padding && (chars + padding) % 4 != 0)
        return false;
    return !out->empty();
}

// No passphrase is ever asked for here: a key that needs one fails to load.
int NoPassphrase(char*, int, int, void*) {
    return -1;
}

KeyPtr LoadPrivateKey(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        return nullptr;
    return KeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
}

struct PassphraseState {
    const Passphrase* passphrase;
    bool asked = false;
    bool prompted = false;
    std::string typed;
};

// Gives the passphrase once per key, from the option or from one prompt on the terminal.
int PassphraseCallback(char* buf, int size, int, void* user) {
    PassphraseState* state = static_cast<PassphraseState*>(user);
    state->asked = true;
    const std::string* text = nullptr;
    if (state->passphrase->given) {
        text = &state->passphrase->text;
    } else if (state->prompted) {
        text = &state->typed;
    } else if (state->passphrase->mayPrompt) {
        std::vector<char> typed(1024, '\0');
        if (EVP_read_pw_string(typed.data(), static_cast<int>(typed.size()),
                               "Passphrase of the signing key: ", 0) != 0)
            return -1;
        state->prompted = true;
        state->typed = typed.data();
        OPENSSL_cleanse(typed.data(), typed.size());
        text = &state->typed;
    } else {
        return -1;
    }
    if (text->size() > static_cast<size_t>(size))
        return -1;
    std::memcpy(buf, text->data(), text->size());
    return static_cast<int>(text->size());
}

KeyPtr LoadPublicKey(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        return nullptr;
    return KeyPtr(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

bool PublicPemOfKey(EVP_PKEY* key, std::string* publicPem, std::string* error) {
    unsigned char* der = nullptr;
    int len = i2d_PUBKEY(key, &der);
    if (len <= 0)
        return Fail(error, OpensslError("cannot encode the public key"));
    *publicPem = PublicPemOfDer(der, static_cast<size_t>(len));
    OPENSSL_free(der);
    return true;
}

} // namespace

bool DecodeSignatureText(const std::string& text, Bytes* out) {
    // The installer reads the file as a zero-terminated text.
    size_t length = text.find('\0');
    if (length == std::string::npos)
        length = text.size();
    const char* begin = text.data();
    const char* end = begin + length;
    std::string view(begin, length);

    // With a header: the body lies between the end of the BEGIN line's dashes and the END line.
    size_t header = view.find("-----BEGIN");
    if (header != std::string::npos) {
        size_t headerClose = view.find("-----", header + 10);
        if (headerClose != std::string::npos) {
            size_t bodyStart = headerClose + 5;
            size_t trailer = view.find("-----END", bodyStart);
            if (trailer != std::string::npos && DecodeBase64Body(begin + bodyStart, begin + trailer, out))
                return true;
        }
    }
    return DecodeBase64Body(begin, end, out);
}

std::string EncodeBase64(const unsigned char* data, size_t size) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        uint32_t v = static_cast<uint32_t>(data[i]) << 16;
        if (i + 1 < size)
            v |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (i + 2 < size)
            v |= data[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < size ? kAlphabet[v & 63] : '=';
    }
    return out;
}

bool SignBytes(const std::string& privatePem, const unsigned char* data, size_t size, Bytes* signature,
               std::string* error) {
    KeyPtr key = LoadPrivateKey(privatePem);
    if (!key)
        return Fail(error, OpensslError("not a readable PEM private key"));
    if (EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA)
        return Fail(error, "the private key is not an RSA key");
    if (EVP_PKEY_get_bits(key.get()) != 3072)
        return Fail(error, "the private key is not a 3072-bit RSA key (the installer embeds a 3072-bit key)");
    MdPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestSignInit(md.get(), &pctx, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1)
        return Fail(error, OpensslError("cannot start signing"));
    size_t sigLength = 0;
    if (EVP_DigestSign(md.get(), nullptr, &sigLength, data, size) != 1)
        return Fail(error, OpensslError("cannot sign"));
    signature->assign(sigLength, 0);
    if (EVP_DigestSign(md.get(), signature->data(), &sigLength, data, size) != 1)
        return Fail(error, OpensslError("cannot sign"));
    signature->resize(sigLength);
    return true;
}

bool VerifyBytes(const std::string& publicPem, const unsigned char* data, size_t size, const Bytes& signature,
                 std::string* error) {
    KeyPtr key = LoadPublicKey(publicPem);
    if (!key)
        return Fail(error, OpensslError("not a readable PEM public key"));
    if (EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA)
        return Fail(error, "the public key is not an RSA key");
    MdPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestVerifyInit(md.get(), &pctx, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1)
        return Fail(error, OpensslError("cannot start verification"));
    int ok = EVP_DigestVerify(md.get(), signature.data(), signature.size(), data, size);
    if (ok != 1) {
        ERR_clear_error();
        return Fail(
            error,
            "the signature does not match the manifest bytes with this key (RSA PKCS#1 v1.5, SHA-256)");
    }
    return true;
}

bool UnlockPrivateKey(const std::string& pem, const Passphrase& passphrase, std::string* plainPem,
                      std::string* error) {
    PassphraseState state;
    state.passphrase = &passphrase;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    KeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, PassphraseCallback, &state) : nullptr);
    OPENSSL_cleanse(&state.typed[0], state.typed.size());
    ERR_clear_error();
    if (!key) {
        if (!state.asked)
            return Fail(error, "not a readable PEM private key");
        if (!passphrase.given && !state.prompted)
            return Fail(error, "the key is encrypted; give its passphrase with --passphrase-env NAME or "
                               "--passphrase-file FILE");
        return Fail(error, "the passphrase does not unlock the key");
    }
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out ||
        PEM_write_bio_PKCS8PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return Fail(error, OpensslError("cannot encode the private key"));
    char* mem = nullptr;
    long len = BIO_get_mem_data(out.get(), &mem);
    plainPem->assign(mem, static_cast<size_t>(len));
    return true;
}

bool PublicKeyFingerprint(const std::string& publicPem, std::string* hex, std::string* error) {
    KeyPtr key = LoadPublicKey(publicPem);
    if (!key)
        return Fail(error, OpensslError("not a readable PEM public key"));
    unsigned char* der = nullptr;
    int len = i2d_PUBKEY(key.get(), &der);
    if (len <= 0)
        return Fail(error, OpensslError("cannot encode the public key"));
    unsigned char digest[32];
    unsigned int digestLength = 0;
    bool ok = EVP_Digest(der, static_cast<size_t>(len), digest, &digestLength, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!ok || digestLength != 32)
        return Fail(error, OpensslError("cannot hash the public key"));
    static const char kHex[] = "0123456789abcdef";
    hex->clear();
    for (unsigned char b : digest) {
        *hex += kHex[b >> 4];
        *hex += kHex[b & 15];
    }
    return true;
}

std::string PublicPemOfDer(const unsigned char* der, size_t size) {
    std::string b64 = EncodeBase64(der, size);
    std::string pem = "-----BEGIN PUBLIC KEY-----\n";
    for (size_t i = 0; i < b64.size(); i += 64)
        pem += b64.substr(i, 64) + "\n";
    return pem + "-----END PUBLIC KEY-----\n";
}

bool PublicPemOfPrivate(const std::string& privatePem, std::string* publicPem, std::string* error) {
    KeyPtr key = LoadPrivateKey(privatePem);
    if (!key)
        return Fail(error, OpensslError("not a readable PEM private key"));
    return PublicPemOfKey(key.get(), publicPem, error);
}

bool GenerateKeyPair(std::string* privatePem, std::string* publicPem, std::string* error) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 3072) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1)
        return Fail(error, OpensslError("cannot generate an RSA-3072 key"));
    KeyPtr key(raw);
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return Fail(error, OpensslError("cannot encode the private key"));
    char* mem = nullptr;
    long len = BIO_get_mem_data(bio.get(), &mem);
    privatePem->assign(mem, static_cast<size_t>(len));
    return PublicPemOfKey(key.get(), publicPem, error);
}

bool IsEmbeddablePublicPem(const std::string& text, std::string* why) {
    static const char kBegin[] = "-----BEGIN PUBLIC KEY-----\n";
    static const char kEnd[] = "-----END PUBLIC KEY-----\n";
    if (text.size() != 625)
        return Fail(why, "it has " + std::to_string(text.size()) + " characters, not 625");
    if (text.compare(0, sizeof(kBegin) - 1, kBegin) != 0)
        return Fail(why, "it does not start with the BEGIN PUBLIC KEY line");
    if (text.compare(text.size() - (sizeof(kEnd) - 1), sizeof(kEnd) - 1, kEnd) != 0)
        return Fail(why, "it does not end with the END PUBLIC KEY line and a LF");
    size_t pos = sizeof(kBegin) - 1;
    std::string body;
    for (int line = 0; line < 9; ++line) {
        size_t nl = text.find('\n', pos);
        size_t want = line < 8 ? 64 : 52;
        if (nl == std::string::npos || nl - pos != want)
            return Fail(why, "base64 line " + std::to_string(line + 1) + " is not " + std::to_string(want) +
                                 " characters");
        body += text.substr(pos, want);
        pos = nl + 1;
    }
    Bytes der;
    if (!DecodeBase64Body(body.data(), body.data() + body.size(), &der) || der.size() != 422)
        return Fail(why, "its base64 is not a 422-byte DER key");
    const unsigned char* p = der.data();
    KeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
    if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key.get()) != 3072) {
        ERR_clear_error();
        return Fail(why, "it is not an RSA-3072 SubjectPublicKeyInfo");
    }
    return true;
}

} // namespace pub
