// tovpublish sign: the signature of update.json.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli_io.h"
#include "options.h"
#include "signature.h"
#include "token.h"
#include "verify.h"

namespace pub {

namespace {

const char kSignHelp[] =
    "usage: tovpublish sign (--key private.pem | --key - | --key-env NAME | --key pkcs11:URI)\n"
    "                       [--passphrase-env NAME | --passphrase-file FILE]\n"
    "                       [--pkcs11-module PATH] [--pin-env NAME] [--public public.pem]\n"
    "                       --in update.json --out update.json.sig [--force]\n"
    "\n"
    "Writes the base64 (one line, final LF) of the RSASSA-PKCS1-v1_5 SHA-256 signature over the\n"
    "exact bytes of the manifest. The private key comes from a file, from standard input (--key -)\n"
    "or from an environment variable holding the PEM (--key-env). An encrypted key takes its\n"
    "passphrase from --passphrase-env or --passphrase-file (its first line); without them it is\n"
    "asked for once on a terminal, and refused without one. Prints the key's fingerprint. Do not\n"
    "edit the manifest after signing: any change, even of line ends, makes the installer refuse it.\n"
    "\n"
    "A key in a PKCS#11 token is named by its RFC 7512 URI, such as\n"
    "'pkcs11:token=kinemo-release;object=manifest'; the token signs, the key never leaves it, and\n"
    "the signature is the one the same key as a PEM file gives. The module is --pkcs11-module, else\n"
    "the environment's TOV_PKCS11_MODULE, else p11-kit's proxy module. The PIN comes from the\n"
    "environment variable --pin-env names, or from the URI's pin-source=file:PATH (its first line) or\n"
    "pin-value=; without them it is asked for once on a terminal. A wrong PIN is not tried again.\n"
    "--public checks that the key's public half is the one in that file.\n";

const char* const kValueOptions[] = {"--key",    "--key-env", "--passphrase-env", "--passphrase-file",
                                     "--in",     "--out",     "--pkcs11-module",  "--pin-env",
                                     "--public", nullptr};
const char* const kFlagOptions[] = {"--force", nullptr};

// The passphrase options of sign; false with a usage message.
bool ReadPassphrase(const Args& args, bool keyFromStdin, Passphrase* passphrase, std::string* error,
                    bool* usage) {
    std::string envName, file, envError, fileError;
    bool fromEnv = Single(args, "--passphrase-env", &envName, &envError);
    bool fromFile = Single(args, "--passphrase-file", &file, &fileError);
    *usage = true;
    if (fromEnv && fromFile)
        return *error = "give --passphrase-env or --passphrase-file, not both", false;
    for (const auto& o : args.options)
        if ((o.first == "--passphrase-env" && !fromEnv) || (o.first == "--passphrase-file" && !fromFile))
            return *error = o.first + " given more than once", false;
    *usage = false;
    if (fromEnv) {
        const char* value = std::getenv(envName.c_str());
        if (!value)
            return *error = "the environment variable " + envName + " (--passphrase-env) is not set", false;
        passphrase->given = true;
        passphrase->text = value;
    } else if (fromFile) {
        Bytes bytes;
        if (!ReadFileBytes(file, &bytes, error))
            return false;
        std::string text(bytes.begin(), bytes.end());
        // The first line is the passphrase, as with openssl's "file:" source.
        size_t eol = text.find_first_of("\r\n");
        if (eol != std::string::npos)
            text.resize(eol);
        passphrase->given = true;
        passphrase->text = text;
    }
    passphrase->mayPrompt = !keyFromStdin && ::isatty(0) && ::isatty(2);
    return true;
}

// The bytes of a PEM key from a file, standard input or the environment; false with a message.
bool ReadPemKey(const std::string& keyPath, const std::string& keyEnv, Bytes* key, std::string* error) {
    if (keyEnv.empty())
        return ReadInput(keyPath, key, error);
    const char* value = std::getenv(keyEnv.c_str());
    if (!value || !*value)
        return *error = "the environment variable " + keyEnv + " (--key-env) is not set or empty", false;
    key->assign(value, value + std::strlen(value));
    return true;
}

int RunSign(const Args& args) {
    std::string keyPath, keyEnv, inPath, outPath, publicPath, error, ignored;
    bool hasKey = Single(args, "--key", &keyPath, &error);
    bool hasKeyEnv = Single(args, "--key-env", &keyEnv, &ignored);
    if (hasKey == hasKeyEnv)
        return UsageError("sign",
                          "give exactly one of --key FILE, --key -, --key pkcs11:URI and --key-env NAME",
                          kSignHelp);
    if (!Single(args, "--in", &inPath, &error) || !Single(args, "--out", &outPath, &error))
        return UsageError("sign", error, kSignHelp);
    TokenOptions token;
    if (!Optional(args, "--pkcs11-module", &token.module, &error) ||
        !Optional(args, "--pin-env", &token.pinEnv, &error) ||
        !Optional(args, "--public", &publicPath, &error))
        return UsageError("sign", error, kSignHelp);
    bool inToken = hasKey && IsTokenUri(keyPath);
    if (!inToken && (!token.module.empty() || !token.pinEnv.empty()))
        return UsageError("sign", "--pkcs11-module and --pin-env go with a --key pkcs11:URI", kSignHelp);
    if (inToken && (args.Has("--passphrase-env") || args.Has("--passphrase-file")))
        return UsageError("sign", "a key in a token takes a PIN (--pin-env), not a passphrase", kSignHelp);
    if (IsStdio(keyPath) && IsStdio(inPath))
        return UsageError("sign", "--key - and --in - both use standard input", kSignHelp);
    Passphrase passphrase;
    bool usage = false;
    if (!inToken && !ReadPassphrase(args, IsStdio(keyPath), &passphrase, &error, &usage))
        return usage ? UsageError("sign", error, kSignHelp) : Refuse("sign", error);
    FILE* info = IsStdio(outPath) ? stderr : stdout;
    std::string why;
    std::vector<std::string> inputs = {inPath};
    if (hasKey && !inToken)
        inputs.push_back(keyPath);
    if (!publicPath.empty())
        inputs.push_back(publicPath);
    if (OutputIsInput(outPath, inputs, &why))
        return Refuse("sign", why);
    if (!CanCreate(outPath, args.force, &why))
        return Refuse("sign", why);

    Bytes key, manifest, signature, expected;
    std::string publicPem, fingerprint, expectedFingerprint, keyPem;
    if (!inToken && !ReadPemKey(keyPath, keyEnv, &key, &error))
        return Refuse("sign", error);
    if (!ReadInput(inPath, &manifest, &error))
        return Refuse("sign", error);
    if (manifest.empty())
        return Refuse("sign", inPath + " is empty");
    if (manifest.size() > kMaxServedSize)
        return Refuse("sign", inPath + " is 4 MiB or larger; the installer cannot fetch it");
    if (!publicPath.empty() &&
        (!ReadFileBytes(publicPath, &expected, &error) ||
         !PublicKeyFingerprint(std::string(expected.begin(), expected.end()), &expectedFingerprint, &error)))
        return Refuse("sign", publicPath + ": " + error);
    if (inToken) {
        token.uri = keyPath;
        token.mayPrompt = ::isatty(0) && ::isatty(2);
        if (!SignInToken(token, manifest.data(), manifest.size(), &signature, &publicPem, &error))
            return Refuse("sign", error);
    } else {
        if (!UnlockPrivateKey(std::string(key.begin(), key.end()), passphrase, &keyPem, &error) ||
            !SignBytes(keyPem, manifest.data(), manifest.size(), &signature, &error))
            return Refuse("sign", error);
        if (!PublicPemOfPrivate(keyPem, &publicPem, &error))
            return Refuse("sign", "the new signature does not verify: " + error);
    }
    // Self-check with the matching public key.
    if (!VerifyBytes(publicPem, manifest.data(), manifest.size(), signature, &error) ||
        !PublicKeyFingerprint(publicPem, &fingerprint, &error))
        return Refuse("sign", "the new signature does not verify: " + error);
    if (!publicPath.empty() && fingerprint != expectedFingerprint)
        return Refuse("sign", "the key's public half (fingerprint " + fingerprint + ") is not the key in " +
                                  publicPath + " (fingerprint " + expectedFingerprint + ")");
    std::string text = EncodeBase64(signature.data(), signature.size()) + "\n";
    if (!WriteOutput(outPath, text, args.force, 0644, &error))
        return Refuse("sign", error);
    std::fprintf(info, "wrote %s: %zu-byte signature over %zu bytes of %s\n", Shown(outPath),
                 signature.size(), manifest.size(), inPath.c_str());
    if (inToken)
        std::fprintf(info, "signed inside the token with %s\n", UriWithoutPin(keyPath).c_str());
    std::fprintf(info, "key fingerprint %s (SHA-256 of the DER public key)\n", fingerprint.c_str());
    return 0;
}

} // namespace

extern const Command kSignCommand = {
    "sign", "sign update.json, writing update.json.sig", kSignHelp, kValueOptions, kFlagOptions, RunSign};

} // namespace pub
