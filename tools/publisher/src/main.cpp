// tovpublish: the vendor's release tool for update.json, its signature and the packages.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

const char kVersion[] = "tovpublish 1.1\n";

const char kExitCodes[] =
    "\n"
    "exit codes: 0 done (or acceptable), 1 refused (the reason is on standard error), 2 usage error.\n";

const char kUsage[] =
    "usage: tovpublish <command> [options]\n"
    "       tovpublish help <command> | --help | --version\n"
    "\n"
    "commands:\n"
    "  keygen    make a new RSA-3072 manifest signing key pair\n"
    "  pack      make a package zip from a folder of the application's files\n"
    "  manifest  write update.json for one or two packages\n"
    "  sign      sign update.json, writing update.json.sig\n"
    "  verify    check a manifest, its signature and packages as the installer would\n"
    "\n"
    "Run 'tovpublish help <command>' for the options of a command. An output path of - means\n"
    "standard output; messages then go to standard error.\n";

const char kKeygenHelp[] =
    "usage: tovpublish keygen --private OUT.pem --public OUT.pem [--force]\n"
    "\n"
    "Makes a new RSA-3072 key pair. The private key is written as PKCS#8 PEM (mode 0600); the\n"
    "public key in the exact 625-character PEM form that the installer embeds. Prints the key's\n"
    "fingerprint (SHA-256 of the DER public key, hex). Both outputs are checked before anything is\n"
    "written, and either both are written or neither. Existing files are not replaced unless\n"
    "--force is given.\n";

const char kPackHelp[] =
    "usage: tovpublish pack --from DIR --out PACKAGE.zip [--force]\n"
    "\n"
    "Makes the package the installer unpacks: the files and folders of DIR go into the archive's\n"
    "top-level \"Payload\" folder. DIR must hold TOVKinemo.exe and tovkinemo.root (and should hold\n"
    "Assets/AppIcon.ico for the shortcut's icon). The archive is reproducible: entries sorted by\n"
    "name, files deflated at level 9, every time stamp 1980-01-01 00:00, DOS attributes; the same\n"
    "folder gives the same bytes on any machine with the same zlib. Refuses symbolic links, special\n"
    "files, names Windows cannot hold, and an output inside DIR.\n";

const char kManifestHelp[] =
    "usage: tovpublish manifest --version V --out update.json\n"
    "                           (--channel win7|win10 --package PKG.zip --url https://...)...\n"
    "                           [--force] [--dry-run] [--json]\n"
    "\n"
    "Writes update.json (UTF-8, no BOM) with latestVersion V and, for each channel, the URL, the\n"
    "package's sha256 and sizeBytes. Each --channel starts a channel; the --package and --url after\n"
    "it belong to it. Refuses a version of 32 bytes or more, a URL that is not https://, has no\n"
    "host or is longer than 2047 bytes, an unknown channel, an empty package, a package without\n"
    "Payload/TOVKinemo.exe and Payload/tovkinemo.root, and texts that would need a \\u escape; warns\n"
    "on user:password in a URL. The written file is read back with the installer's rules before it\n"
    "is kept. --dry-run checks everything and writes nothing (--out may then be left out). --json\n"
    "prints one JSON object on standard output (channels, warnings, refusals, verdict).\n";

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

const char kVerifyHelp[] =
    "usage: tovpublish verify --public public.pem --manifest update.json --signature update.json.sig\n"
    "                         [--channel win7|win10]... [--package CHANNEL=PKG.zip]...\n"
    "                         [--require-packages] [--json]\n"
    "\n"
    "Checks the signature over the exact manifest bytes, then reads each named channel (or each\n"
    "channel the manifest mentions) with the installer's reading rules, and applies every rule of\n"
    "'tovpublish manifest' on top (saying so where the installer itself would accept the entry).\n"
    "With --package, also checks that the zip's size and sha256 match the channel's entry and that\n"
    "it holds Payload/TOVKinemo.exe and Payload/tovkinemo.root; without one a channel's package is\n"
    "reported as not checked, and --require-packages makes that a refusal. Prints the public key's\n"
    "fingerprint and says when the manifest has CR LF line ends or a byte-order mark. --json prints\n"
    "one JSON object on standard output. Exits non-zero on any refusal.\n";

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

struct Args {
    std::vector<std::pair<std::string, std::string>> options;  // in order
    std::vector<std::string> flags;                           // flags given, such as "--force"
    bool help = false;
    bool force = false;
    std::string error;
    bool Flag(const std::string& name) const {
        for (const std::string& f : flags)
            if (f == name) return true;
        return false;
    }
};

// Parses "--name value" and "--name=value" for the given names; --help and the given flags (such
// as --force) take no value.
bool ParseArgs(int argc, char** argv, int first, const std::vector<std::string>& valueNames,
               const std::vector<std::string>& flagNames, Args* args) {
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            args->help = true;
            continue;
        }
        bool flag = false;
        for (const std::string& f : flagNames) flag = flag || f == a;
        if (flag) {
            args->flags.push_back(a);
            args->force = args->force || a == "--force";
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
    return ::lstat(path.c_str(), &st) == 0;
}

bool IsStdio(const std::string& path) { return path == "-"; }

// A path as messages show it.
const char* Shown(const std::string& path) { return IsStdio(path) ? "standard output" : path.c_str(); }

// True when both names lead to one file (also through links), or name one file yet to be made.
bool SameFile(const std::string& a, const std::string& b) {
    if (IsStdio(a) || IsStdio(b)) return false;
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return a == b;
}

std::string ParentFolder(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether a file could be created at path: its folder exists and is writable, and it does not
// exist unless it may be replaced. False with a message otherwise.
bool CanCreate(const std::string& path, bool force, std::string* why) {
    if (IsStdio(path)) return true;
    struct stat st;
    std::string folder = ParentFolder(path);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *why = "cannot create " + path + ": the folder " + folder + " does not exist";
        return false;
    }
    if (::access(folder.c_str(), W_OK) != 0) {
        *why = "cannot create " + path + ": the folder " + folder + " is not writable";
        return false;
    }
    if (!force && FileExists(path)) {
        *why = path + " already exists (use --force to replace it)";
        return false;
    }
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *why = path + " is a folder";
        return false;
    }
    return true;
}

bool WriteStdout(const void* data, size_t size, std::string* error) {
    if (std::fwrite(data, 1, size, stdout) != size || std::fflush(stdout) != 0) {
        *error = "cannot write to standard output";
        return false;
    }
    return true;
}

// An output file, or standard output for "-".
bool WriteOutput(const std::string& path, const std::string& data, bool force, unsigned mode, std::string* error) {
    if (IsStdio(path)) return WriteStdout(data.data(), data.size(), error);
    return WriteFileBytes(path, data.data(), data.size(), force, mode, error);
}

// An input file, or standard input for "-".
bool ReadInput(const std::string& path, Bytes* out, std::string* error) {
    if (!IsStdio(path)) return ReadFileBytes(path, out, error);
    out->clear();
    unsigned char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), stdin)) > 0) out->insert(out->end(), buf, buf + n);
    if (std::ferror(stdin)) {
        *error = "cannot read standard input";
        return false;
    }
    return true;
}

// The output must not be one of the inputs, whatever --force says.
bool OutputIsInput(const std::string& output, const std::vector<std::string>& inputs, std::string* why) {
    for (const std::string& in : inputs)
        if (SameFile(output, in)) {
            *why = "the output " + output + " is the input " + in + "; it is never overwritten, not even with --force";
            return true;
        }
    return false;
}

int Refuse(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "tovpublish %s: %s\n", command.c_str(), message.c_str());
    return kExitRefused;
}

int UsageError(const std::string& command, const std::string& message, const char* help) {
    std::fprintf(stderr, "tovpublish %s: %s\n\n%s%s", command.c_str(), message.c_str(), help, kExitCodes);
    return kExitUsage;
}

int Help(const char* help) {
    std::fputs(help, stdout);
    std::fputs(kExitCodes, stdout);
    return 0;
}

// JSON string: quote, backslash and control characters escaped; a byte that does not start valid
// UTF-8 is written as the code point of the same value, so that any text gives valid JSON.
std::string Json(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b < 0x20 || b == 0x7F) {
            out += "\\u00";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            std::string sequence = text.substr(i, length);
            if (length > 1 && sequence.size() == length && IsValidUtf8(sequence.c_str())) {
                out += sequence;
                i += length - 1;
            } else {
                out += "\\u00";
                out += kHex[b >> 4];
                out += kHex[b & 15];
            }
        }
    }
    return out + "\"";
}

std::string JsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + Json(items[i]);
    return out + "]";
}

int RunKeygen(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, 2, {"--private", "--public"}, {"--force"}, &args))
        return UsageError("keygen", args.error, kKeygenHelp);
    if (args.help) return Help(kKeygenHelp);
    std::string privatePath, publicPath, error;
    if (!Single(args, "--private", &privatePath, &error) || !Single(args, "--public", &publicPath, &error))
        return UsageError("keygen", error, kKeygenHelp);
    if (privatePath == publicPath || SameFile(privatePath, publicPath))
        return UsageError("keygen", "--private and --public name the same file", kKeygenHelp);
    FILE* info = IsStdio(privatePath) || IsStdio(publicPath) ? stderr : stdout;
    // Both outputs are checked before either is written, so a failure leaves no lone private key.
    std::string why;
    for (const std::string& p : {privatePath, publicPath})
        if (!CanCreate(p, args.force, &why)) return Refuse("keygen", why);
    std::string privatePem, publicPem, fingerprint;
    if (!GenerateKeyPair(&privatePem, &publicPem, &error)) return Refuse("keygen", error);
    if (!IsEmbeddablePublicPem(publicPem, &why)) return Refuse("keygen", "generated public key has the wrong form: " + why);
    if (!PublicKeyFingerprint(publicPem, &fingerprint, &error)) return Refuse("keygen", error);

    std::string privateTemp, publicTemp;
    if (!IsStdio(privatePath) && !PrepareFile(privatePath, privatePem.data(), privatePem.size(), 0600, &privateTemp, &error))
        return Refuse("keygen", error);
    if (!IsStdio(publicPath) && !PrepareFile(publicPath, publicPem.data(), publicPem.size(), 0644, &publicTemp, &error)) {
        if (!privateTemp.empty()) DiscardFile(privateTemp);
        return Refuse("keygen", error);
    }
    bool privateExisted = FileExists(privatePath);
    if (privateTemp.empty() ? !WriteStdout(privatePem.data(), privatePem.size(), &error)
                            : !CommitFile(privateTemp, privatePath, args.force, &error)) {
        if (!publicTemp.empty()) DiscardFile(publicTemp);
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
    std::fprintf(info, "wrote public key %s (%zu characters, the form the installer embeds)\n", Shown(publicPath),
                 publicPem.size());
    std::fprintf(info, "fingerprint %s (SHA-256 of the DER public key)\n", fingerprint.c_str());
    return 0;
}

int RunPack(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, 2, {"--from", "--out"}, {"--force"}, &args))
        return UsageError("pack", args.error, kPackHelp);
    if (args.help) return Help(kPackHelp);
    std::string fromDir, outPath, error, why;
    if (!Single(args, "--from", &fromDir, &error) || !Single(args, "--out", &outPath, &error))
        return UsageError("pack", error, kPackHelp);
    FILE* info = IsStdio(outPath) ? stderr : stdout;
    if (!IsStdio(outPath)) {
        char* from = ::realpath(fromDir.c_str(), nullptr);
        char* folder = ::realpath(ParentFolder(outPath).c_str(), nullptr);
        bool inside = false;
        if (from && folder) {
            std::string f = from, o = folder;
            inside = o == f || o.compare(0, f.size() + 1, f + "/") == 0;
        }
        std::free(from);
        std::free(folder);
        if (inside) return Refuse("pack", "the output " + outPath + " lies inside " + fromDir + ", which is packed");
        if (!CanCreate(outPath, args.force, &why)) return Refuse("pack", why);
    }
    std::vector<PackEntry> entries;
    std::vector<std::string> problems;
    bool listed = ListPackageFolder(fromDir, &entries, &problems);
    for (const std::string& p : problems) std::fprintf(stderr, "refused: %s\n", p.c_str());
    if (!listed) return Refuse("pack", "nothing written");
    PackageReport report;
    for (const PackEntry& e : entries) AddPackageEntry(e.name, false, 8, &report);
    FinishPackageReport(&report);
    for (const std::string& w : report.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
    if (!PackageUsable(report, &why)) return Refuse("pack", "the package from " + fromDir + " cannot be installed: " + why);

    std::string temp = (IsStdio(outPath) ? std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                                               "/tovpublish-pack.zip"
                                         : outPath) + ".tmp-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return Refuse("pack", "cannot create " + outPath + ": " + std::strerror(errno));
    ::close(fd);
    temp = name.data();
    uint64_t size = 0;
    std::string sha256;
    bool ok = WritePackage(entries, temp, &error) && ::chmod(temp.c_str(), 0644) == 0 &&
              HashFile(temp, &size, &sha256, &error);
    if (ok && IsStdio(outPath)) {
        Bytes bytes;
        ok = ReadFileBytes(temp, &bytes, &error) && WriteStdout(bytes.data(), bytes.size(), &error);
        DiscardFile(temp);
    } else if (ok) {
        ok = CommitFile(temp, outPath, args.force, &error);
    } else {
        DiscardFile(temp);
    }
    if (!ok) return Refuse("pack", error);
    std::fprintf(info, "wrote %s: %zu entries, %llu bytes, sha256 %s\n", Shown(outPath), entries.size(),
                 static_cast<unsigned long long>(size), sha256.c_str());
    return 0;
}

int RunManifest(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, 2, {"--version", "--out", "--channel", "--package", "--url"},
                   {"--force", "--dry-run", "--json"}, &args))
        return UsageError("manifest", args.error, kManifestHelp);
    if (args.help) return Help(kManifestHelp);
    bool dryRun = args.Flag("--dry-run"), json = args.Flag("--json");
    std::string version, outPath, error;
    if (!Single(args, "--version", &version, &error)) return UsageError("manifest", error, kManifestHelp);
    if (!Single(args, "--out", &outPath, &error) && !(dryRun && error.rfind("missing", 0) == 0))
        return UsageError("manifest", error, kManifestHelp);
    if (json && IsStdio(outPath)) return UsageError("manifest", "--json and --out - both use standard output", kManifestHelp);
    FILE* info = json || IsStdio(outPath) ? stderr : stdout;

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
    for (const Group& g : groups)
        if (g.package.empty() || g.url.empty())
            return UsageError("manifest", "channel " + g.channel + " needs both --package and --url", kManifestHelp);

    // Every check runs, so that one run lists every refusal.
    std::vector<std::string> refusals, warnings;
    std::string why, warning;
    if (!CheckVersion(version, &why)) refusals.push_back(why);
    std::vector<std::string> packages;
    for (const Group& g : groups) packages.push_back(g.package);
    if (!outPath.empty()) {
        if (OutputIsInput(outPath, packages, &why)) refusals.push_back(why);
        else if (!CanCreate(outPath, args.force, &why)) refusals.push_back(why);
    }
    std::vector<ChannelInput> channels;
    for (size_t i = 0; i < groups.size(); ++i) {
        const Group& g = groups[i];
        size_t before = refusals.size();
        if (g.channel != "win7" && g.channel != "win10")
            refusals.push_back("unknown channel \"" + g.channel + "\" (win7 or win10)");
        for (size_t j = 0; j < i; ++j)
            if (groups[j].channel == g.channel) refusals.push_back("channel " + g.channel + " given twice");
        if (!CheckUrl(g.url, &why, &warning)) refusals.push_back(g.channel + ": " + why);
        if (!warning.empty()) warnings.push_back(g.channel + ": " + warning);
        ChannelInput ch;
        ch.channel = g.channel;
        ch.url = g.url;
        PackageReport report;
        if (!HashFile(g.package, &ch.sizeBytes, &ch.sha256, &error)) {
            refusals.push_back(error);
        } else if (ch.sizeBytes == 0) {
            refusals.push_back(g.package + " is empty");
        } else if (!InspectPackage(g.package, &report, &error)) {
            refusals.push_back(error);
        } else {
            for (const std::string& w : report.warnings) warnings.push_back(g.channel + ": " + w);
            if (!PackageUsable(report, &why)) refusals.push_back(g.package + " cannot be installed: " + why);
        }
        if (refusals.size() == before) channels.push_back(ch);
    }
    std::string text;
    if (refusals.empty()) {
        if (!BuildManifest(version, channels, &text, &why)) {
            refusals.push_back(why);
        } else if (text.size() > kMaxServedSize) {
            refusals.push_back("the manifest would be 4 MiB or larger");
        } else {
            // Read back with the installer's rules before writing.
            for (const ChannelInput& ch : channels) {
                ManifestEntry entry;
                if (!ReadManifest(text.data(), text.size(), ch.channel.c_str(), &entry, &why) ||
                    std::strcmp(entry.latestVersion, version.c_str()) != 0 || ch.url != entry.url ||
                    ch.sha256 != entry.sha256 || ch.sizeBytes != entry.sizeBytes)
                    refusals.push_back("internal error: the written manifest does not read back (" + why + ")");
            }
        }
    }
    bool written = false;
    if (refusals.empty() && !dryRun) {
        if (WriteOutput(outPath, text, args.force, 0644, &error)) written = true;
        else refusals.push_back(error);
    }

    for (const std::string& w : warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
    for (const std::string& r : refusals) std::fprintf(stderr, "tovpublish manifest: %s\n", r.c_str());
    if (json) {
        std::string out = "{\"command\":\"manifest\",\"verdict\":" + Json(refusals.empty() ? "accepted" : "refused") +
                          ",\"dryRun\":" + (dryRun ? "true" : "false") +
                          ",\"written\":" + (written ? Json(outPath) : "null") +
                          ",\"bytes\":" + std::to_string(refusals.empty() ? text.size() : 0) +
                          ",\"latestVersion\":" + Json(version) + ",\"channels\":[";
        for (size_t i = 0; i < channels.size(); ++i)
            out += std::string(i ? "," : "") + "{\"channel\":" + Json(channels[i].channel) +
                   ",\"version\":" + Json(version) + ",\"url\":" + Json(channels[i].url) +
                   ",\"sizeBytes\":" + std::to_string(channels[i].sizeBytes) +
                   ",\"sha256\":" + Json(channels[i].sha256) + "}";
        out += "],\"warnings\":" + JsonList(warnings) + ",\"refusals\":" + JsonList(refusals) + "}\n";
        std::fputs(out.c_str(), stdout);
    }
    if (!refusals.empty()) return kExitRefused;
    if (written)
        std::fprintf(info, "wrote %s (%zu bytes), latestVersion %s\n", Shown(outPath), text.size(), version.c_str());
    else
        std::fprintf(info, "dry run: %s would be %zu bytes, latestVersion %s; nothing written\n",
                     outPath.empty() ? "update.json" : outPath.c_str(), text.size(), version.c_str());
    for (const ChannelInput& ch : channels)
        std::fprintf(info, "  %s: %llu bytes, sha256 %s, %s\n", ch.channel.c_str(),
                     static_cast<unsigned long long>(ch.sizeBytes), ch.sha256.c_str(), ch.url.c_str());
    if (written) std::fprintf(info, "sign it next; any later change to the file makes the signature fail\n");
    return 0;
}

// The passphrase options of sign; false with a usage message.
bool ReadPassphrase(const Args& args, bool keyFromStdin, Passphrase* passphrase, std::string* error, bool* usage) {
    std::string envName, file, envError, fileError;
    bool fromEnv = Single(args, "--passphrase-env", &envName, &envError);
    bool fromFile = Single(args, "--passphrase-file", &file, &fileError);
    *usage = true;
    if (fromEnv && fromFile) return *error = "give --passphrase-env or --passphrase-file, not both", false;
    for (const auto& o : args.options)
        if ((o.first == "--passphrase-env" && !fromEnv) || (o.first == "--passphrase-file" && !fromFile))
            return *error = o.first + " given more than once", false;
    *usage = false;
    if (fromEnv) {
        const char* value = std::getenv(envName.c_str());
        if (!value) return *error = "the environment variable " + envName + " (--passphrase-env) is not set", false;
        passphrase->given = true;
        passphrase->text = value;
    } else if (fromFile) {
        Bytes bytes;
        if (!ReadFileBytes(file, &bytes, error)) return false;
        std::string text(bytes.begin(), bytes.end());
        // The first line is the passphrase, as with openssl's "file:" source.
        size_t eol = text.find_first_of("\r\n");
        if (eol != std::string::npos) text.resize(eol);
        passphrase->given = true;
        passphrase->text = text;
    }
    passphrase->mayPrompt = !keyFromStdin && ::isatty(0) && ::isatty(2);
    return true;
}

int RunSign(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, 2, {"--key", "--key-env", "--passphrase-env", "--passphrase-file", "--in", "--out"},
                   {"--force"}, &args))
        return UsageError("sign", args.error, kSignHelp);
    if (args.help) return Help(kSignHelp);
    std::string keyPath, keyEnv, inPath, outPath, error, ignored;
    bool hasKey = Single(args, "--key", &keyPath, &error);
    bool hasKeyEnv = Single(args, "--key-env", &keyEnv, &ignored);
    if (hasKey == hasKeyEnv) return UsageError("sign", "give exactly one of --key FILE, --key - and --key-env NAME", kSignHelp);
    if (!Single(args, "--in", &inPath, &error) || !Single(args, "--out", &outPath, &error))
        return UsageError("sign", error, kSignHelp);
    if (IsStdio(keyPath) && IsStdio(inPath)) return UsageError("sign", "--key - and --in - both use standard input", kSignHelp);
    Passphrase passphrase;
    bool usage = false;
    if (!ReadPassphrase(args, IsStdio(keyPath), &passphrase, &error, &usage))
        return usage ? UsageError("sign", error, kSignHelp) : Refuse("sign", error);
    FILE* info = IsStdio(outPath) ? stderr : stdout;
    std::string why;
    std::vector<std::string> inputs = {inPath};
    if (hasKey) inputs.push_back(keyPath);
    if (OutputIsInput(outPath, inputs, &why)) return Refuse("sign", why);
    if (!CanCreate(outPath, args.force, &why)) return Refuse("sign", why);

    Bytes key, manifest, signature;
    if (hasKeyEnv) {
        const char* value = std::getenv(keyEnv.c_str());
        if (!value || !*value) return Refuse("sign", "the environment variable " + keyEnv + " (--key-env) is not set or empty");
        key.assign(value, value + std::strlen(value));
    } else if (!ReadInput(keyPath, &key, &error)) {
        return Refuse("sign", error);
    }
    if (!ReadInput(inPath, &manifest, &error)) return Refuse("sign", error);
    if (manifest.empty()) return Refuse("sign", inPath + " is empty");
    if (manifest.size() > kMaxServedSize) return Refuse("sign", inPath + " is 4 MiB or larger; the installer cannot fetch it");
    std::string keyPem;
    if (!UnlockPrivateKey(std::string(key.begin(), key.end()), passphrase, &keyPem, &error))
        return Refuse("sign", error);
    if (!SignBytes(keyPem, manifest.data(), manifest.size(), &signature, &error)) return Refuse("sign", error);
    // Self-check with the matching public key.
    std::string publicPem, fingerprint;
    if (!PublicPemOfPrivate(keyPem, &publicPem, &error) ||
        !VerifyBytes(publicPem, manifest.data(), manifest.size(), signature, &error) ||
        !PublicKeyFingerprint(publicPem, &fingerprint, &error))
        return Refuse("sign", "the new signature does not verify: " + error);
    std::string text = EncodeBase64(signature.data(), signature.size()) + "\n";
    if (!WriteOutput(outPath, text, args.force, 0644, &error)) return Refuse("sign", error);
    std::fprintf(info, "wrote %s: %zu-byte signature over %zu bytes of %s\n", Shown(outPath), signature.size(),
                 manifest.size(), inPath.c_str());
    std::fprintf(info, "key fingerprint %s (SHA-256 of the DER public key)\n", fingerprint.c_str());
    return 0;
}

int RunVerify(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, 2, {"--public", "--manifest", "--signature", "--channel", "--package"},
                   {"--json", "--require-packages"}, &args))
        return UsageError("verify", args.error, kVerifyHelp);
    if (args.help) return Help(kVerifyHelp);
    bool json = args.Flag("--json");
    std::string publicPath, manifestPath, signaturePath, error;
    if (!Single(args, "--public", &publicPath, &error) || !Single(args, "--manifest", &manifestPath, &error) ||
        !Single(args, "--signature", &signaturePath, &error))
        return UsageError("verify", error, kVerifyHelp);
    VerifyInput input;
    input.requirePackages = args.Flag("--require-packages");
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
    FILE* info = json ? stderr : stdout;
    std::fprintf(info, "public key fingerprint %s\n", outcome.fingerprint.empty() ? "(unreadable key)" : outcome.fingerprint.c_str());
    for (const std::string& c : outcome.checked) std::fprintf(info, "ok: %s\n", c.c_str());
    for (const std::string& w : outcome.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
    for (const std::string& f : outcome.failures) std::fprintf(stderr, "refused: %s\n", f.c_str());
    if (json) {
        bool packagesChecked = !outcome.channels.empty();
        for (const ChannelResult& c : outcome.channels) packagesChecked = packagesChecked && !c.package.empty();
        std::string out = "{\"command\":\"verify\",\"verdict\":" + Json(outcome.ok() ? "accepted" : "refused") +
                          ",\"fingerprint\":" + (outcome.fingerprint.empty() ? "null" : Json(outcome.fingerprint)) +
                          ",\"signature\":" + Json(outcome.signatureOk ? "verified" : "refused") +
                          ",\"packagesChecked\":" + (packagesChecked ? "true" : "false") + ",\"channels\":[";
        for (size_t i = 0; i < outcome.channels.size(); ++i) {
            const ChannelResult& c = outcome.channels[i];
            out += std::string(i ? "," : "") + "{\"channel\":" + Json(c.channel) +
                   ",\"installer\":" + Json(c.installerAccepts ? "accepts" : "refuses") +
                   ",\"ok\":" + (c.ok ? "true" : "false");
            if (c.installerAccepts)
                out += ",\"version\":" + Json(c.latestVersion) + ",\"url\":" + Json(c.url) +
                       ",\"sizeBytes\":" + std::to_string(c.sizeBytes) + ",\"sha256\":" + Json(c.sha256);
            out += ",\"package\":" + (c.package.empty() ? std::string("null") : Json(c.package)) + "}";
        }
        out += "],\"checked\":" + JsonList(outcome.checked) + ",\"warnings\":" + JsonList(outcome.warnings) +
               ",\"refusals\":" + JsonList(outcome.failures) + "}\n";
        std::fputs(out.c_str(), stdout);
    }
    if (!outcome.ok()) {
        std::fprintf(stderr, "tovpublish verify: %s is NOT acceptable to the installer\n", manifestPath.c_str());
        return kExitRefused;
    }
    std::fprintf(info, "%s and its signature are acceptable to the installer\n", manifestPath.c_str());
    return 0;
}

const char* CommandHelp(const std::string& command) {
    if (command == "keygen") return kKeygenHelp;
    if (command == "pack") return kPackHelp;
    if (command == "manifest") return kManifestHelp;
    if (command == "sign") return kSignHelp;
    if (command == "verify") return kVerifyHelp;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        std::fputs(kExitCodes, stderr);
        return kExitUsage;
    }
    std::string command = argv[1];
    if (command == "--version") {
        std::fputs(kVersion, stdout);
        return 0;
    }
    if (command == "--help" || command == "-h" || (command == "help" && argc == 2)) return Help(kUsage);
    if (command == "help") {
        const char* help = CommandHelp(argv[2]);
        if (help && argc == 3) return Help(help);
        std::fprintf(stderr, "tovpublish: no command \"%s\"\n\n%s%s", argv[2], kUsage, kExitCodes);
        return kExitUsage;
    }
    if (command == "keygen") return RunKeygen(argc, argv);
    if (command == "pack") return RunPack(argc, argv);
    if (command == "manifest") return RunManifest(argc, argv);
    if (command == "sign") return RunSign(argc, argv);
    if (command == "verify") return RunVerify(argc, argv);
    std::fprintf(stderr, "tovpublish: unknown command \"%s\"\n\n%s%s", command.c_str(), kUsage, kExitCodes);
    return kExitUsage;
}
