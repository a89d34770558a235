// Signing, signature checking and key generation for update.json, with the installer's rules:
// RSASSA-PKCS1-v1_5 with SHA-256 over the exact file bytes, base64 signature text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files.h"

namespace pub {

// Signature text as the installer reads it: zero-terminated, base64 possibly split over LF or
// CR LF lines, possibly between a PEM-style BEGIN line and END line.
bool DecodeSignatureText(const std::string& text, Bytes* out);
std::string EncodeBase64(const unsigned char* data, size_t size);

// Private key (PEM, PKCS#8 or traditional) and public key (PEM SubjectPublicKeyInfo).
bool SignBytes(const std::string& privatePem, const unsigned char* data, size_t size, Bytes* signature,
               std::string* error);
bool VerifyBytes(const std::string& publicPem, const unsigned char* data, size_t size, const Bytes& signature,
                 std::string* error);

// Where the passphrase of an encrypted private key comes from: the given text, else one prompt on
// the terminal when mayPrompt is set, else none (and a plain message says how to give it).
struct Passphrase {
    bool given = false;
    std::string text;
    bool mayPrompt = false;
};
// Reads a private key (PKCS#8, encrypted PKCS#8 or traditional PEM) once and gives back its
// unencrypted PKCS#8 PEM, so that the steps after it need no passphrase.
bool UnlockPrivateKey(const std::string& pem, const Passphrase& passphrase, std::string* plainPem,
                      std::string* error);

// Lowercase hex SHA-256 of the public key's DER SubjectPublicKeyInfo.
bool PublicKeyFingerprint(const std::string& publicPem, std::string* hex, std::string* error);

// PEM of a DER SubjectPublicKeyInfo, 64 base64 characters a line (the embedded form for RSA-3072).
std::string PublicPemOfDer(const unsigned char* der, size_t size);

// Public key PEM of a private key PEM, in the installer's embedded form.
bool PublicPemOfPrivate(const std::string& privatePem, std::string* publicPem, std::string* error);

// A new RSA-3072 pair: PKCS#8 private PEM and the 625-character public PEM.
bool GenerateKeyPair(std::string* privatePem, std::string* publicPem, std::string* error);

// True when text is exactly the embedded form: BEGIN line, eight 64-char and one 52-char base64
// lines of a 422-byte DER key, END line, LF endings, 625 characters.
bool IsEmbeddablePublicPem(const std::string& text, std::string* why);

} // namespace pub
