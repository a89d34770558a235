// tovpublish: the vendor's release tool for update.json, its signature and the packages.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "package.h"
#include "reader.h"
#include "signature.h"
#include "verify.h"
#include "writer.h"

using namespace pub;

namespace {

const char kUsage[] =
    "usage: tovpublish <command> [options]\n"
    "\n"
    "commands:\n"
    "  keygen    make a new RSA-3072 manifest signing key pair\n"
    "  manifest  write update.json for one or two packages\n"
    "  sign      sign update.json, writing update.json.sig\n"
    "  verify    check a manifest, its signature and packages as the installer would\n"
    "\n"
    "Run 'tovpublish <command> --help' for the options of a command.\n";

const char kKeygenHelp[] =
    "usage: tovpublish keygen --private OUT.pem --public OUT.pem [--force]\n"
    "\n"
    "Makes a new RSA-3072 key pair. The private key is written as PKCS#8 PEM (mode 0600); the\n"
    "public key in the exact 625-character PEM form that the installer embeds.\n"
    "Existing files are not replaced unless --force is given.\n";

const char kManifestHelp[] =
    "usage: tovpublish manifest --version V --out update.json\n"
    "                           (--channel win7|win10 --package PKG.zip --url https://...)...\n"
    "                           [--force]\n"
    "\n"
    "Writes update.json (UTF-8, no BOM) with latestVersion V and, for each channel, the URL, the\n"
    "package's sha256 and sizeBytes. Each --channel starts a channel; the --package and --url after\n"
    "it belong to it. Refuses a version of 32 bytes or more, a URL that is not https:// or is longer\n"
    "than 2047 bytes, an unknown channel, an empty package, a package without Payload/TOVKinemo.exe\n"
    "and Payload/tovkinemo.root, and texts that would need a \\u escape. The written file is read\n"
    "back with the installer's rules before it is kept.\n";

const char kSignHelp[] =
    "usage: tovpublish sign --key private.pem --in update.json --out update.json.sig [--force]\n"
    "\n"
    "Writes the base64 (one line, final LF) of the RSASSA-PKCS1-v1_5 SHA-256 signature over the\n"
    "exact bytes of the manifest. Do not edit the manifest after signing: any change, even of line\n"
    "ends, makes the installer refuse it.\n";

const char kVerifyHelp[] =
    "usage: tovpublish verify --public public.pem --manifest update.json --signature update.json.sig\n"
    "                         [--channel win7|win10]... [--package CHANNEL=PKG.zip]...\n"
    "\n"
    "Checks the signature over the exact manifest bytes, then reads each named channel (or each\n"
    "channel the manifest mentions) with the installer's reading rules. With --package, also checks\n"
    "that the zip's size and sha256 match the channel's entry and that it holds Payload/TOVKinemo.exe\n"
    "and Payload/tovkinemo.root. Exits non-zero on any refusal.\n";

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

struct Args {
    std::vector<std::pair<std::string, std::string>> options;  // in order
    bool help = false;
    bool force = false;
    std::string error;
};

// Parses "--name value" and "--name=value" for the given names; --help and --force take no value.
bool ParseArgs(int argc, char** argv, int first, const std::vector<std::string>& valueNames, Args* args) {
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            args->help = true;
            continue;
        }
        if (a == "--force") {
            args->force = true;
            continue;
        }
        std::string name = a, value;
        bool hasValue = false;
        size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            hasValue = true;
        }
        bool known = false;
        for (const std::string& v : valueNames) known = known || v == name;
        if (!known) {
            args->error = "unknown option " + a;
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                args->error = name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        args->options.emplace_back(name, value);
    }
    return true;
}

// The single value of an option; false with a message when missing or repeated.
bool Single(const Args& args, const std::string& name, std::string* value, std::string* error) {
    int count = 0;
    for (const auto& o : args.options)
        if (o.first == name) {
            *value = o.second;
            ++count;
        }
    if (count == 1) return true;
    *error = count == 0 ? "missing " + name : name + " given more than once";
    return false;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

int Refuse(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "tovpublish %s: %s\n", command.c_str(), message.c_str());
    return kExitRefused;
}

int UsageError(const std::string& command, const std::string& message, const char* help) {
    std::fprintf(stderr, "tovpublish %s: %s\n\n%s", command.c_str(), message.c_str(), help);
    return kExitUsage;
}

int RunKeygen(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, 2, {"--private", "--public"}, &args)) return UsageError("keygen", args.error, kKeygenHelp);
    if (args.help) {
        std::fputs(kKeygenHelp, stdout);
        return 0;
    }
    std::string privatePath, publicPath, error;
    if (!Single(args, "--private", &privatePath, &error) || !Single(args, "--public", &publicPath, &error))
        return UsageError("keygen", error, kKeygenHelp);
    if (privatePath == publicPath) return UsageError("keygen", "--private and --public name the same file", kKeygenHelp);
    if (!args.force) {
        for (const std::string& p : {privatePath, publicPath})
            if (FileExists(p)) return Refuse("keygen", p + " already exists (use --force to replace it)");
    }
    std::string privatePem, publicPem;
    if (!GenerateKeyPair(&privatePem, &publicPem, &error)) return Refuse("keygen", error);
    std::string why;
    if (!IsEmbeddablePublicPem(publicPem, &why)) return Refuse("keygen", "generated public key has the wrong form: " + why);
    if (!WriteFileBytes(privatePath, privatePem.data(), privatePem.size(), args.force, 0600, &error))
        return Refuse("keygen", error);
    if (args.force) ::chmod(privatePath.c_str(), 0600);
    if (!WriteFileBytes(publicPath, publicPem.data(), publicPem.size(), args.force, 0644, &error))
        return Refuse("keygen", error);
    std::printf("wrote private key %s (PKCS#8 PEM, keep it secret)\n", privatePath.c_str());
    std::printf("wrote public key %s (%zu characters, the form the installer embeds)\n", publicPath.c_str(),
                publicPem.size());
    return 0;
}

int RunManifest(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, 2, {"--version", "--out", "--channel", "--package", "--url"}, &args))
        return UsageError("manifest", args.error, kManifestHelp);
    if (args.help) {
        std::fputs(kManifestHelp, stdout);
        return 0;
    }
    std::string version, outPath, error;
    if (!Single(args, "--version", &version, &error) || !Single(args, "--out", &outPath, &error))
        return UsageError("manifest", error, kManifestHelp);

    struct Group {
        std::string channel, package, url;
    };
    std::vector<Group> groups;
    for (const auto& o : args.options) {
        if (o.first == "--channel") {
            groups.push_back(Group{o.second, "", ""});
        } else if (o.first == "--package" || o.first == "--url") {
            if (groups.empty()) return UsageError("manifest", o.first + " must follow a --channel", kManifestHelp);
            std::string& slot = o.first == "--package" ? groups.back().package : groups.back().url;
            if (!slot.empty()) return UsageError("manifest", o.first + " given twice for channel " + groups.back().channel, kManifestHelp);
            slot = o.second;
        }
    }
    if (groups.empty()) return UsageError("manifest", "at least one --channel with --package and --url is needed", kManifestHelp);

    std::string why;
    if (!CheckVersion(version, &why)) return Refuse("manifest", why);
    std::vector<ChannelInput> channels;
    for (const Group& g : groups) {
        if (g.package.empty() || g.url.empty())
            return UsageError("manifest", "channel " + g.channel + " needs both --package and --url", kManifestHelp);
        if (g.channel != "win7" && g.channel != "win10")
            return Refuse("manifest", "unknown channel \"" + g.channel + "\" (win7 or win10)");
        if (!CheckUrl(g.url, &why)) return Refuse("manifest", g.channel + ": " + why);
        ChannelInput ch;
        ch.channel = g.channel;
        ch.url = g.url;
        if (!HashFile(g.package, &ch.sizeBytes, &ch.sha256, &error)) return Refuse("manifest", error);
        if (ch.sizeBytes == 0) return Refuse("manifest", g.package + " is empty");
        PackageReport report;
        if (!InspectPackage(g.package, &report, &error)) return Refuse("manifest", error);
        for (const std::string& w : report.warnings) std::fprintf(stderr, "warning: %s: %s\n", g.channel.c_str(), w.c_str());
        if (!PackageUsable(report, &why)) return Refuse("manifest", g.package + " cannot be installed: " + why);
        channels.push_back(ch);
    }
    std::string json;
    if (!BuildManifest(version, channels, &json, &why)) return Refuse("manifest", why);

    // Read back with the installer's rules before writing.
    for (const ChannelInput& ch : channels) {
        ManifestEntry entry;
        if (!ReadManifest(json.data(), json.size(), ch.channel.c_str(), &entry, &why) ||
            std::strcmp(entry.latestVersion, version.c_str()) != 0 || ch.url != entry.url ||
            ch.sha256 != entry.sha256 || ch.sizeBytes != entry.sizeBytes)
            return Refuse("manifest", "internal error: the written manifest does not read back (" + why + ")");
    }
    if (json.size() > kMaxServedSize) return Refuse("manifest", "the manifest would be 4 MiB or larger");
    if (!WriteFileBytes(outPath, json.data(), json.size(), args.force, 0644, &error)) return Refuse("manifest", error);
    std::printf("wrote %s (%zu bytes), latestVersion %s\n", outPath.c_str(), json.size(), version.c_str());
    for (const ChannelInput& ch : channels)
        std::printf("  %s: %llu bytes, sha256 %s, %s\n", ch.channel.c_str(),
                    static_cast<unsigned long long>(ch.sizeBytes), ch.sha256.c_str(), ch.url.c_str());
    std::printf("sign it next; any later change to the file makes the signature fail\n");
    return 0;
}

int RunSign(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, 2, {"--key", "--in", "--out"}, &args)) return UsageError("sign", args.error, kSignHelp);
    if (args.help) {
        std::fputs(kSignHelp, stdout);
        return 0;
    }
    std::string keyPath, inPath, outPath, error;
    if (!Single(args, "--key", &keyPath, &error) || !Single(args, "--in", &inPath, &error) ||
        !Single(args, "--out", &outPath, &error))
        return UsageError("sign", error, kSignHelp);
    Bytes key, manifest, signature;
    if (!ReadFileBytes(keyPath, &key, &error) || !ReadFileBytes(inPath, &manifest, &error)) return Refuse("sign", error);
    if (manifest.empty()) return Refuse("sign", inPath + " is empty");
    if (manifest.size() > kMaxServedSize) return Refuse("sign", inPath + " is 4 MiB or larger; the installer cannot fetch it");
    std::string keyPem(key.begin(), key.end());
    if (!SignBytes(keyPem, manifest.data(), manifest.size(), &signature, &error)) return Refuse("sign", error);
    // Self-check with the matching public key.
    std::string publicPem;
    if (!PublicPemOfPrivate(keyPem, &publicPem, &error) ||
        !VerifyBytes(publicPem, manifest.data(), manifest.size(), signature, &error))
        return Refuse("sign", "the new signature does not verify: " + error);
    std::string text = EncodeBase64(signature.data(), signature.size()) + "\n";
    if (!WriteFileBytes(outPath, text.data(), text.size(), args.force, 0644, &error)) return Refuse("sign", error);
    std::printf("wrote %s: %zu-byte signature over %zu bytes of %s\n", outPath.c_str(), signature.size(),
                manifest.size(), inPath.c_str());
    return 0;
}

int RunVerify(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, 2, {"--public", "--manifest", "--signature", "--channel", "--package"}, &args))
        return UsageError("verify", args.error, kVerifyHelp);
    if (args.help) {
        std::fputs(kVerifyHelp, stdout);
        return 0;
    }
    std::string publicPath, manifestPath, signaturePath, error;
    if (!Single(args, "--public", &publicPath, &error) || !Single(args, "--manifest", &manifestPath, &error) ||
        !Single(args, "--signature", &signaturePath, &error))
        return UsageError("verify", error, kVerifyHelp);
    VerifyInput input;
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
    if (!ReadFileBytes(publicPath, &publicKey, &error) || !ReadFileBytes(manifestPath, &input.manifest, &error) ||
        !ReadFileBytes(signaturePath, &signature, &error))
        return Refuse("verify", error);
    input.publicPem.assign(publicKey.begin(), publicKey.end());
    input.signatureText.assign(signature.begin(), signature.end());

    VerifyOutcome outcome;
    VerifyRelease(input, &outcome);
    for (const std::string& c : outcome.checked) std::printf("ok: %s\n", c.c_str());
    for (const std::string& w : outcome.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
    for (const std::string& f : outcome.failures) std::fprintf(stderr, "refused: %s\n", f.c_str());
    if (!outcome.ok()) {
        std::fprintf(stderr, "tovpublish verify: %s is NOT acceptable to the installer\n", manifestPath.c_str());
        return kExitRefused;
    }
    std::printf("%s and its signature are acceptable to the installer\n", manifestPath.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "keygen") return RunKeygen(argc, argv);
    if (command == "manifest") return RunManifest(argc, argv);
    if (command == "sign") return RunSign(argc, argv);
    if (command == "verify") return RunVerify(argc, argv);
    std::fprintf(stderr, "tovpublish: unknown command \"%s\"\n\n%s", command.c_str(), kUsage);
    return kExitUsage;
}
