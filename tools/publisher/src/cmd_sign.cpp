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
#include "verify.h"

namespace pub {

namespace {

const char kSignHelp[] =
    "usage: tovpublish sign (--key private.pem | --key - | --key-env NAME)\n"
    "                       [--passphrase-env NAME | --passphrase-file FILE]\n"
    "                       --in update.json --out update.json.sig [--force]\n"
    "\n"
    "Writes the base64 (one line, final LF) of the RSASSA-PKCS1-v1_5 SHA-256 signature over the\n"
    "exact bytes of the manifest. The private key comes from a file, from standard input (--key -)\n"
    "or from an environment variable holding the PEM (--key-env). An encrypted key takes its\n"
    "passphrase from --passphrase-env or --passphrase-file (its first line); without them it is\n"
    "asked for once on a terminal, and refused without one. Prints the key's fingerprint. Do not\n"
    "edit the manifest after signing: any change, even of line ends, makes the installer refuse it.\n";

const char* const kValueOptions[] = {"--key", "--key-env", "--passphrase-env", "--passphrase-file", "--in",
                                     "--out", nullptr};
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

int RunSign(const Args& args) {
    std::string keyPath, keyEnv, inPath, outPath, error, ignored;
    bool hasKey = Single(args, "--key", &keyPath, &error);
    bool hasKeyEnv = Single(args, "--key-env", &keyEnv, &ignored);
    if (hasKey == hasKeyEnv)
        return UsageError("sign", "give exactly one of --key FILE, --key - and --key-env NAME", kSignHelp);
    if (!Single(args, "--in", &inPath, &error) || !Single(args, "--out", &outPath, &error))
        return UsageError("sign", error, kSignHelp);
    if (IsStdio(keyPath) && IsStdio(inPath))
        return UsageError("sign", "--key - and --in - both use standard input", kSignHelp);
    Passphrase passphrase;
    bool usage = false;
    if (!ReadPassphrase(args, IsStdio(keyPath), &passphrase, &error, &usage))
        return usage ? UsageError("sign", error, kSignHelp) : Refuse("sign", error);
    FILE* info = IsStdio(outPath) ? stderr : stdout;
    std::string why;
    std::vector<std::string> inputs = {inPath};
    if (hasKey)
        inputs.push_back(keyPath);
    if (OutputIsInput(outPath, inputs, &why))
        return Refuse("sign", why);
    if (!CanCreate(outPath, args.force, &why))
        return Refuse("sign", why);

    Bytes key, manifest, signature;
    if (hasKeyEnv) {
        const char* value = std::getenv(keyEnv.c_str());
        if (!value || !*value)
            return Refuse("sign", "the environment variable " + keyEnv + " (--key-env) is not set or empty");
        key.assign(value, value + std::strlen(value));
    } else if (!ReadInput(keyPath, &key, &error)) {
        return Refuse("sign", error);
    }
    if (!ReadInput(inPath, &manifest, &error))
        return Refuse("sign", error);
    if (manifest.empty())
        return Refuse("sign", inPath + " is empty");
    if (manifest.size() > kMaxServedSize)
        return Refuse("sign", inPath + " is 4 MiB or larger; the installer cannot fetch it");
    std::string keyPem;
    if (!UnlockPrivateKey(std::string(key.begin(), key.end()), passphrase, &keyPem, &error))
        return Refuse("sign", error);
    if (!SignBytes(keyPem, manifest.data(), manifest.size(), &signature, &error))
        return Refuse("sign", error);
    // Self-check with the matching public key.
    std::string publicPem, fingerprint;
    if (!PublicPemOfPrivate(keyPem, &publicPem, &error) ||
        !VerifyBytes(publicPem, manifest.data(), manifest.size(), signature, &error) ||
        !PublicKeyFingerprint(publicPem, &fingerprint, &error))
        return Refuse("sign", "the new signature does not verify: " + error);
    std::string text = EncodeBase64(signature.data(), signature.size()) + "\n";
    if (!WriteOutput(outPath, text, args.force, 0644, &error))
        return Refuse("sign", error);
    std::fprintf(info, "wrote %s: %zu-byte signature over %zu bytes of %s\n", Shown(outPath),
                 signature.size(), manifest.size(), inPath.c_str());
    std::fprintf(info, "key fingerprint %s (SHA-256 of the DER public key)\n", fingerprint.c_str());
    return 0;
}

} // namespace

extern const Command kSignCommand = {
    "sign", "sign update.json, writing update.json.sig", kSignHelp, kValueOptions, kFlagOptions, RunSign};

} // namespace pub
