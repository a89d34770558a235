// tovpublish manifest: update.json for one or two packages, read back before it is kept.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli_io.h"
#include "options.h"
#include "package.h"
#include "reader.h"
#include "verify.h"
#include "writer.h"

namespace pub {

namespace {

const char kManifestHelp[] =
    "usage: tovpublish manifest --version V --out update.json\n"
    "                           (--channel win7|win10 --package PKG.zip --url https://...)...\n"
    "                           [--reuse] [--allow-downgrade] [--strict] [--force] [--dry-run] [--json]\n"
    "\n"
    "Writes update.json (UTF-8, no BOM) with latestVersion V and, for each channel, the URL, the\n"
    "package's sha256 and sizeBytes. Each --channel starts a channel; the --package and --url after\n"
    "it belong to it. Refuses a version of 32 bytes or more, a URL that is not https://, has no\n"
    "host or is longer than 2047 bytes, an unknown channel, an empty package, a package without\n"
    "Payload/TOVKinemo.exe and Payload/tovkinemo.root, and texts that would need a \\u escape; warns\n"
    "on user:password in a URL. The written file is read back with the installer's rules before it\n"
    "is kept. --reuse writes \"reuse\": true in each channel: an upgrade then fetches only the\n"
    "entries that changed since a package the user's cache holds (packs must be reproducible).\n"
    "--allow-downgrade writes \"allowDowngrade\": true: the installer then replaces a newer\n"
    "installation with this version (a deliberate rollback). Warns about non-ASCII entry names in\n"
    "the win7 package (the Shell of Windows 7 and 8.1 unpacks them under other names); --strict\n"
    "refuses them. --dry-run checks everything and writes nothing (--out may then be left out). --json\n"
    "prints one JSON object on standard output (channels, warnings, refusals, verdict).\n";

const char* const kValueOptions[] = {"--version", "--out", "--channel", "--package", "--url", nullptr};
const char* const kFlagOptions[] = {"--force",           "--dry-run", "--json", "--reuse",
                                    "--allow-downgrade", "--strict",  nullptr};

int RunManifest(const Args& args) {
    bool dryRun = args.Flag("--dry-run"), json = args.Flag("--json");
    bool allowDowngrade = args.Flag("--allow-downgrade");
    std::string version, outPath, error;
    if (!Single(args, "--version", &version, &error))
        return UsageError("manifest", error, kManifestHelp);
    if (!Single(args, "--out", &outPath, &error) && !(dryRun && error.rfind("missing", 0) == 0))
        return UsageError("manifest", error, kManifestHelp);
    if (json && IsStdio(outPath))
        return UsageError("manifest", "--json and --out - both use standard output", kManifestHelp);
    FILE* info = json || IsStdio(outPath) ? stderr : stdout;

    struct Group {
        std::string channel, package, url;
    };
    std::vector<Group> groups;
    for (const auto& o : args.options) {
        if (o.first == "--channel") {
            groups.push_back(Group{o.second, "", ""});
        } else if (o.first == "--package" || o.first == "--url") {
            if (groups.empty())
                return UsageError("manifest", o.first + " must follow a --channel", kManifestHelp);
            std::string& slot = o.first == "--package" ? groups.back().package : groups.back().url;
            if (!slot.empty())
                return UsageError("manifest", o.first + " given twice for channel " + groups.back().channel,
                                  kManifestHelp);
            slot = o.second;
        }
    }
    if (groups.empty())
        return UsageError("manifest", "at least one --channel with --package and --url is needed",
                          kManifestHelp);
    for (const Group& g : groups)
        if (g.package.empty() || g.url.empty())
            return UsageError("manifest", "channel " + g.channel + " needs both --package and --url",
                              kManifestHelp);

    // Every check runs, so that one run lists every refusal.
    std::vector<std::string> refusals, warnings;
    std::string why, warning;
    if (!CheckVersion(version, &why))
        refusals.push_back(why);
    std::vector<std::string> packages;
    for (const Group& g : groups)
        packages.push_back(g.package);
    if (!outPath.empty()) {
        if (OutputIsInput(outPath, packages, &why))
            refusals.push_back(why);
        else if (!CanCreate(outPath, args.force, &why))
            refusals.push_back(why);
    }
    std::vector<ChannelInput> channels;
    for (size_t i = 0; i < groups.size(); ++i) {
        const Group& g = groups[i];
        size_t before = refusals.size();
        if (g.channel != "win7" && g.channel != "win10")
            refusals.push_back("unknown channel \"" + g.channel + "\" (win7 or win10)");
        for (size_t j = 0; j < i; ++j)
            if (groups[j].channel == g.channel)
                refusals.push_back("channel " + g.channel + " given twice");
        if (!CheckUrl(g.url, &why, &warning))
            refusals.push_back(g.channel + ": " + why);
        if (!warning.empty())
            warnings.push_back(g.channel + ": " + warning);
        ChannelInput ch;
        ch.channel = g.channel;
        ch.url = g.url;
        ch.reuse = args.Flag("--reuse");
        PackageReport report;
        if (!HashFile(g.package, &ch.sizeBytes, &ch.sha256, &error)) {
            refusals.push_back(error);
        } else if (ch.sizeBytes == 0) {
            refusals.push_back(g.package + " is empty");
        } else if (!InspectPackage(g.package, &report, &error)) {
            refusals.push_back(error);
        } else {
            for (const std::string& w : report.warnings)
                warnings.push_back(g.channel + ": " + w);
            NoteWin7Names(g.channel, report, args.Flag("--strict"), &warnings, &refusals);
            if (!PackageUsable(report, &why))
                refusals.push_back(g.package + " cannot be installed: " + why);
        }
        if (refusals.size() == before)
            channels.push_back(ch);
    }
    std::string text;
    if (refusals.empty()) {
        if (!BuildManifest(version, channels, &text, &why, allowDowngrade)) {
            refusals.push_back(why);
        } else if (text.size() > kMaxServedSize) {
            refusals.push_back("the manifest would be 4 MiB or larger");
        } else {
            // Read back with the installer's rules before writing.
            for (const ChannelInput& ch : channels) {
                ManifestEntry entry;
                if (!ReadManifest(text.data(), text.size(), ch.channel.c_str(), &entry, &why) ||
                    std::strcmp(entry.latestVersion, version.c_str()) != 0 || ch.url != entry.url ||
                    ch.sha256 != entry.sha256 || ch.sizeBytes != entry.sizeBytes ||
                    ch.reuse != (entry.reuse == FlagMember::True) ||
                    allowDowngrade != (entry.allowDowngrade == FlagMember::True))
                    refusals.push_back("internal error: the written manifest does not read back (" + why +
                                       ")");
            }
        }
    }
    bool written = false;
    if (refusals.empty() && !dryRun) {
        if (WriteOutput(outPath, text, args.force, 0644, &error))
            written = true;
        else
            refusals.push_back(error);
    }

    for (const std::string& w : warnings)
        std::fprintf(stderr, "warning: %s\n", w.c_str());
    for (const std::string& r : refusals)
        std::fprintf(stderr, "tovpublish manifest: %s\n", r.c_str());
    if (json) {
        std::string out =
            "{\"command\":\"manifest\",\"verdict\":" + Json(refusals.empty() ? "accepted" : "refused") +
            ",\"dryRun\":" + (dryRun ? "true" : "false") +
            ",\"written\":" + (written ? Json(outPath) : "null") +
            ",\"bytes\":" + std::to_string(refusals.empty() ? text.size() : 0) +
            ",\"latestVersion\":" + Json(version) +
            JsonFlag("allowDowngrade", allowDowngrade ? FlagMember::True : FlagMember::Absent) +
            ",\"channels\":[";
        for (size_t i = 0; i < channels.size(); ++i)
            out += std::string(i ? "," : "") + "{\"channel\":" + Json(channels[i].channel) +
                   ",\"version\":" + Json(version) + ",\"url\":" + Json(channels[i].url) +
                   ",\"sizeBytes\":" + std::to_string(channels[i].sizeBytes) +
                   ",\"sha256\":" + Json(channels[i].sha256) +
                   JsonFlag("reuse", channels[i].reuse ? FlagMember::True : FlagMember::Absent) + "}";
        out += "],\"warnings\":" + JsonList(warnings) + ",\"refusals\":" + JsonList(refusals) + "}\n";
        std::fputs(out.c_str(), stdout);
    }
    if (!refusals.empty())
        return kExitRefused;
    if (written)
        std::fprintf(info, "wrote %s (%zu bytes), latestVersion %s\n", Shown(outPath), text.size(),
                     version.c_str());
    else
        std::fprintf(info, "dry run: %s would be %zu bytes, latestVersion %s; nothing written\n",
                     outPath.empty() ? "update.json" : outPath.c_str(), text.size(), version.c_str());
    if (allowDowngrade)
        std::fprintf(info, "  allowDowngrade: an installation newer than %s is replaced by it\n",
                     version.c_str());
    for (const ChannelInput& ch : channels)
        std::fprintf(info, "  %s: %llu bytes, sha256 %s, %s%s\n", ch.channel.c_str(),
                     static_cast<unsigned long long>(ch.sizeBytes), ch.sha256.c_str(), ch.url.c_str(),
                     ch.reuse ? ", reuse on" : "");
    if (written)
        std::fprintf(info, "sign it next; any later change to the file makes the signature fail\n");
    return 0;
}

} // namespace

extern const Command kManifestCommand = {"manifest",    "write update.json for one or two packages",
                                         kManifestHelp, kValueOptions,
                                         kFlagOptions,  RunManifest};

} // namespace pub
