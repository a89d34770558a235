// tovpublish verify: a manifest, its signature and packages, checked as the installer would.
#include <cstdio>
#include <string>

#include "cli_io.h"
#include "options.h"
#include "verify.h"

namespace pub {

namespace {

const char kVerifyHelp[] =
    "usage: tovpublish verify --public public.pem --manifest update.json --signature update.json.sig\n"
    "                         [--channel win7|win10]... [--package CHANNEL=PKG.zip]...\n"
    "                         [--require-packages] [--strict] [--json]\n"
    "\n"
    "Checks the signature over the exact manifest bytes, then reads each named channel (or each\n"
    "channel the manifest mentions) with the installer's reading rules, and applies every rule of\n"
    "'tovpublish manifest' on top (saying so where the installer itself would accept the entry).\n"
    "With --package, also checks that the zip's size and sha256 match the channel's entry and that\n"
    "it holds Payload/TOVKinemo.exe and Payload/tovkinemo.root; without one a channel's package is\n"
    "reported as not checked, and --require-packages makes that a refusal. Prints the public key's\n"
    "fingerprint and says when the manifest has CR LF line ends or a byte-order mark. Shows the\n"
    "opt-in members: a channel's \"reuse\": true (upgrades fetch only changed entries) and the\n"
    "top-level \"allowDowngrade\": true, which it warns about (a newer installation is replaced).\n"
    "Warns about non-ASCII entry names in a package given for win7 (the Shell of Windows 7 and 8.1\n"
    "unpacks them under other names); --strict refuses them. --json prints one JSON object on\n"
    "standard output. Exits non-zero on any refusal.\n";

const char* const kValueOptions[] = {"--public",  "--manifest", "--signature",
                                     "--channel", "--package",  nullptr};
const char* const kFlagOptions[] = {"--json", "--require-packages", "--strict", nullptr};

int RunVerify(const Args& args) {
    bool json = args.Flag("--json");
    std::string publicPath, manifestPath, signaturePath, error;
    if (!Single(args, "--public", &publicPath, &error) ||
        !Single(args, "--manifest", &manifestPath, &error) ||
        !Single(args, "--signature", &signaturePath, &error))
        return UsageError("verify", error, kVerifyHelp);
    VerifyInput input;
    input.requirePackages = args.Flag("--require-packages");
    input.strict = args.Flag("--strict");
    for (const auto& o : args.options) {
        if (o.first == "--channel") {
            input.channels.push_back(o.second);
        } else if (o.first == "--package") {
            size_t eq = o.second.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == o.second.size())
                return UsageError("verify", "--package takes CHANNEL=path.zip", kVerifyHelp);
            input.packages.emplace_back(o.second.substr(0, eq), o.second.substr(eq + 1));
        }
    }
    Bytes publicKey, signature;
    if (!ReadFileBytes(publicPath, &publicKey, &error) ||
        !ReadFileBytes(manifestPath, &input.manifest, &error) ||
        !ReadFileBytes(signaturePath, &signature, &error))
        return Refuse("verify", error);
    input.publicPem.assign(publicKey.begin(), publicKey.end());
    input.signatureText.assign(signature.begin(), signature.end());

    VerifyOutcome outcome;
    VerifyRelease(input, &outcome);
    FILE* info = json ? stderr : stdout;
    std::fprintf(info, "public key fingerprint %s\n",
                 outcome.fingerprint.empty() ? "(unreadable key)" : outcome.fingerprint.c_str());
    for (const std::string& c : outcome.checked)
        std::fprintf(info, "ok: %s\n", c.c_str());
    for (const std::string& w : outcome.warnings)
        std::fprintf(stderr, "warning: %s\n", w.c_str());
    for (const std::string& f : outcome.failures)
        std::fprintf(stderr, "refused: %s\n", f.c_str());
    if (json) {
        bool packagesChecked = !outcome.channels.empty();
        for (const ChannelResult& c : outcome.channels)
            packagesChecked = packagesChecked && !c.package.empty();
        std::string out =
            "{\"command\":\"verify\",\"verdict\":" + Json(outcome.ok() ? "accepted" : "refused") +
            ",\"fingerprint\":" + (outcome.fingerprint.empty() ? "null" : Json(outcome.fingerprint)) +
            ",\"signature\":" + Json(outcome.signatureOk ? "verified" : "refused") +
            ",\"packagesChecked\":" + (packagesChecked ? "true" : "false") +
            JsonFlag("allowDowngrade", outcome.allowDowngrade) + ",\"channels\":[";
        for (size_t i = 0; i < outcome.channels.size(); ++i) {
            const ChannelResult& c = outcome.channels[i];
            out += std::string(i ? "," : "") + JsonChannelOpen(c);
            out += ",\"package\":" + (c.package.empty() ? std::string("null") : Json(c.package)) + "}";
        }
        out += "],\"checked\":" + JsonList(outcome.checked) + ",\"warnings\":" + JsonList(outcome.warnings) +
               ",\"refusals\":" + JsonList(outcome.failures) + "}\n";
        std::fputs(out.c_str(), stdout);
    }
    if (!outcome.ok()) {
        std::fprintf(stderr, "tovpublish verify: %s is NOT acceptable to the installer\n",
                     manifestPath.c_str());
        return kExitRefused;
    }
    std::fprintf(info, "%s and its signature are acceptable to the installer\n", manifestPath.c_str());
    return 0;
}

} // namespace

extern const Command kVerifyCommand = {
    "verify",     "check a manifest, its signature and packages as the installer would",
    kVerifyHelp,  kValueOptions,
    kFlagOptions, RunVerify};

} // namespace pub
