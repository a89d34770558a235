// Release keys inside a PKCS#11 token, named by RFC 7512 "pkcs11:" URIs: signing with them and
// making them, without the private half ever leaving the token.
#pragma once

#include <functional>
#include <string>

#include "files.h"

namespace pub {

struct TokenOptions {
    std::string uri;        // pkcs11:token=...;object=...
    std::string module;     // --pkcs11-module; empty: TOV_PKCS11_MODULE, else p11-kit's proxy module
    std::string pinEnv;     // --pin-env NAME
    bool mayPrompt = false; // the PIN may be asked for once on the terminal
};

bool IsTokenUri(const std::string& text);

// The URI as messages show it: without its pin-value, pin-source and pinfile attributes.
std::string UriWithoutPin(const std::string& uri);

// The module to load: the option, else the environment's TOV_PKCS11_MODULE (envValue, may be
// null), else p11-kit's proxy module.
std::string ChooseModule(const std::string& option, const char* envValue);

// RSASSA-PKCS1-v1_5 SHA-256 signature made inside the token with the URI's private key, and the
// key's public half in the embedded PEM form. The key must be RSA-3072.
bool SignInToken(const TokenOptions& options, const unsigned char* data, size_t size, Bytes* signature,
                 std::string* publicPem, std::string* error);

// Makes an RSA-3072 pair inside the token under the URI's object label (refused when the token
// holds an object with that label already): the private half sensitive, never extractable, for
// signing only. keep gets the public half in the embedded PEM form; when it fails, the new pair is
// removed from the token again and its message is returned.
bool GenerateInToken(const TokenOptions& options,
                     const std::function<bool(const std::string& publicPem, std::string* error)>& keep,
                     std::string* error);

} // namespace pub
