// tovpublish keygen: a new RSA-3072 manifest signing key pair.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli_io.h"
#include "options.h"
#include "signature.h"
#include "token.h"

namespace pub {

namespace {

const char kKeygenHelp[] =
    "usage: tovpublish keygen --private OUT.pem --public OUT.pem [--force]\n"
    "       tovpublish keygen --pkcs11 pkcs11:URI [--pkcs11-module PATH] [--pin-env NAME]\n"
    "                         --public OUT.pem [--force]\n"
    "\n"
    "Makes a new RSA-3072 key pair. The private key is written as PKCS#8 PEM (mode 0600); the\n"
    "public key in the exact 625-character PEM form that the installer embeds. Prints the key's\n"
    "fingerprint (SHA-256 of the DER public key, hex). Both outputs are checked before anything is\n"
    "written, and either both are written or neither. Existing files are not replaced unless\n"
    "--force is given.\n"
    "\n"
    "With --pkcs11 the pair is made inside the PKCS#11 token the RFC 7512 URI names, under its\n"
    "object= label: the private half sensitive, never extractable, for signing only; only the\n"
    "public key is written. A token that already holds an object with that label is refused, so\n"
    "that a release key is never replaced. Module and PIN as for 'tovpublish sign'.\n";

const char* const kValueOptions[] = {"--private",       "--public",  "--pkcs11",
                                     "--pkcs11-module", "--pin-env", nullptr};
const char* const kFlagOptions[] = {"--force", nullptr};

// The pair inside a token: only the public key is written, and the pair leaves the token again
// when it cannot be.
int RunTokenKeygen(const Args& args, const std::string& publicPath) {
    TokenOptions token;
    std::string error, why;
    if (!Single(args, "--pkcs11", &token.uri, &error) ||
        !Optional(args, "--pkcs11-module", &token.module, &error) ||
        !Optional(args, "--pin-env", &token.pinEnv, &error))
        return UsageError("keygen", error, kKeygenHelp);
    if (!IsTokenUri(token.uri))
        return UsageError("keygen", "--pkcs11 takes a pkcs11: URI", kKeygenHelp);
    if (!CanCreate(publicPath, args.force, &why))
        return Refuse("keygen", why);
    token.mayPrompt = ::isatty(0) && ::isatty(2);
    std::string publicPem, fingerprint;
    auto keep = [&](const std::string& pem, std::string* failure) {
        publicPem = pem;
        return PublicKeyFingerprint(pem, &fingerprint, failure) &&
               WriteOutput(publicPath, pem, args.force, 0644, failure);
    };
    if (!GenerateInToken(token, keep, &error))
        return Refuse("keygen", error);
    FILE* info = IsStdio(publicPath) ? stderr : stdout;
    std::fprintf(info, "made an RSA-3072 pair inside the token: %s (sensitive, not extractable, sign only)\n",
                 UriWithoutPin(token.uri).c_str());
    std::fprintf(info, "wrote public key %s (%zu characters, the form the installer embeds)\n",
                 Shown(publicPath), publicPem.size());
    std::fprintf(info, "fingerprint %s (SHA-256 of the DER public key)\n", fingerprint.c_str());
    return 0;
}

int RunKeygen(const Args& args) {
    std::string privatePath, publicPath, error;
    bool inToken = args.Has("--pkcs11");
    if (inToken && args.Has("--private"))
        return UsageError("keygen", "--pkcs11 and --private do not go together: a key in a token stays there",
                          kKeygenHelp);
    if (!inToken && (args.Has("--pkcs11-module") || args.Has("--pin-env")))
        return UsageError("keygen", "--pkcs11-module and --pin-env go with --pkcs11", kKeygenHelp);
    if (inToken) {
        if (!Single(args, "--public", &publicPath, &error))
            return UsageError("keygen", error, kKeygenHelp);
        return RunTokenKeygen(args, publicPath);
    }
    if (!Single(args, "--private", &privatePath, &error) || !Single(args, "--public", &publicPath, &error))
        return UsageError("keygen", error, kKeygenHelp);
    if (privatePath == publicPath || SameFile(privatePath, publicPath))
        return UsageError("keygen", "--private and --public name the same file", kKeygenHelp);
    FILE* info = IsStdio(privatePath) || IsStdio(publicPath) ? stderr : stdout;
    // Both outputs are checked before either is written, so a failure leaves no lone private key.
    std::string why;
    for (const std::string& p : {privatePath, publicPath})
        if (!CanCreate(p, args.force, &why))
            return Refuse("keygen", why);
    std::string privatePem, publicPem, fingerprint;
    if (!GenerateKeyPair(&privatePem, &publicPem, &error))
        return Refuse("keygen", error);
    if (!IsEmbeddablePublicPem(publicPem, &why))
        return Refuse("keygen", "generated public key has the wrong form: " + why);
    if (!PublicKeyFingerprint(publicPem, &fingerprint, &error))
        return Refuse("keygen", error);

    std::string privateTemp, publicTemp;
    if (!IsStdio(privatePath) &&
        !PrepareFile(privatePath, privatePem.data(), privatePem.size(), 0600, &privateTemp, &error))
        return Refuse("keygen", error);
    if (!IsStdio(publicPath) &&
        !PrepareFile(publicPath, publicPem.data(), publicPem.size(), 0644, &publicTemp, &error)) {
        if (!privateTemp.empty())
            DiscardFile(privateTemp);
        return Refuse("keygen", error);
    }
    bool privateExisted = FileExists(privatePath);
    if (privateTemp.empty() ? !WriteStdout(privatePem.data(), privatePem.size(), &error)
                            : !CommitFile(privateTemp, privatePath, args.force, &error)) {
        if (!publicTemp.empty())
            DiscardFile(publicTemp);
        return Refuse("keygen", error);
    }
    if (publicTemp.empty() ? !WriteStdout(publicPem.data(), publicPem.size(), &error)
                           : !CommitFile(publicTemp, publicPath, args.force, &error)) {
        if (!privateTemp.empty() && !privateExisted) {
            ::unlink(privatePath.c_str());
            return Refuse("keygen", error + "; the new private key was removed again");
        }
        return Refuse("keygen", error);
    }
    std::fprintf(info, "wrote private key %s (PKCS#8 PEM, keep it secret)\n", Shown(privatePath));
    std::fprintf(info, "wrote public key %s (%zu characters, the form the installer embeds)\n",
                 Shown(publicPath), publicPem.size());
    std::fprintf(info, "fingerprint %s (SHA-256 of the DER public key)\n", fingerprint.c_str());
    return 0;
}

} // namespace

extern const Command kKeygenCommand = {"keygen",     "make a new RSA-3072 manifest signing key pair",
                                       kKeygenHelp,  kValueOptions,
                                       kFlagOptions, RunKeygen};

} // namespace pub
