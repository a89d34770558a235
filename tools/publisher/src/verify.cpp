#include "verify.h"

#include <cstring>

#include "package.h"
#include "reader.h"
#include "writer.h"

namespace pub {

namespace {

bool Contains(const std::vector<std::string>& list, const std::string& value) {
    for (const std::string& s : list)
        if (s == value) return true;
    return false;
}

// A channel counts as present when its quoted name occurs anywhere, so that a manifest in which
// the installer cannot find the channel is reported instead of skipped.
bool MentionsChannel(const Bytes& manifest, const std::string& channel) {
    std::string quoted = "\"" + channel + "\"";
    std::string text(manifest.begin(), manifest.end());
    return text.find(quoted) != std::string::npos;
}

// The rules "tovpublish manifest" applies to what it writes, applied to an entry the installer
// reads; each failure says that the installer itself would take the entry.
void CheckEntryExtras(const std::string& channel, const ManifestEntry& entry, VerifyOutcome* out) {
    const char* installerTakes = " (the installer itself would accept it)";
    std::string why, warning;
    if (!CheckVersion(entry.latestVersion, &why))
        out->failures.push_back(channel + ": \"latestVersion\": " + why + installerTakes);
    if (!CheckUrl(entry.url, &why, &warning)) out->failures.push_back(channel + ": \"url\": " + why + installerTakes);
    if (!warning.empty()) out->warnings.push_back(channel + ": " + warning);
    if (!IsHexDigest(entry.sha256))
        out->failures.push_back(channel + ": \"sha256\" has 64 characters but not all are hex digits; "
                                          "the installer's package check would always fail" +
                                installerTakes);
}

// How an upload usually changes a manifest after signing.
void NoteUploadDamage(const Bytes& manifest, VerifyOutcome* out) {
    if (manifest.size() >= 3 && manifest[0] == 0xEF && manifest[1] == 0xBB && manifest[2] == 0xBF)
        out->warnings.push_back("the manifest begins with a UTF-8 byte-order mark; \"tovpublish manifest\" never "
                                "writes one (an editor or upload added it)");
    for (size_t i = 1; i < manifest.size(); ++i)
        if (manifest[i] == '\n' && manifest[i - 1] == '\r') {
            out->warnings.push_back("the manifest has CR LF line ends; \"tovpublish manifest\" writes LF only (a "
                                    "text-mode upload or checkout converts them)");
            break;
        }
}

// The opt-in members: a value other than the literal true is off for the installer, which a vendor who
// wrote it did not mean; allowDowngrade (top level, the same for every channel) is noted once.
void NoteFlags(const std::string& channel, const ManifestEntry& entry, VerifyOutcome* out) {
    const char* off = " is present but not the JSON literal true; the installer treats it as absent";
    if (entry.reuse == FlagMember::Other)
        out->warnings.push_back(channel + ": \"reuse\"" + off);
    if (out->allowDowngrade != FlagMember::Absent)
        return;
    out->allowDowngrade = entry.allowDowngrade;
    if (entry.allowDowngrade == FlagMember::Other)
        out->warnings.push_back(std::string("\"allowDowngrade\"") + off);
    if (entry.allowDowngrade == FlagMember::True)
        out->warnings.push_back(
            std::string("the manifest allows downgrades (\"allowDowngrade\": true): an installation "
                        "newer than ") +
            entry.latestVersion + " is replaced by it; keep this for a deliberate rollback only");
}

}  // namespace

void VerifyRelease(const VerifyInput& input, VerifyOutcome* out) {
    *out = VerifyOutcome();
    std::string why;
    if (!PublicKeyFingerprint(input.publicPem, &out->fingerprint, &why)) out->fingerprint.clear();
    NoteUploadDamage(input.manifest, out);
    if (!IsEmbeddablePublicPem(input.publicPem, &why))
        out->warnings.push_back("the public key file is not in the installer's embedded PEM form: " + why);

    // Signature first, as the installer does: nothing is interpreted before it verifies.
    if (input.manifest.size() > kMaxServedSize) {
        out->failures.push_back("the manifest is 4 MiB or larger; the installer cannot fetch it");
        return;
    }
    if (input.signatureText.size() > kMaxServedSize) {
        out->failures.push_back("the signature file is 4 MiB or larger; the installer cannot fetch it");
        return;
    }
    Bytes signature;
    if (!DecodeSignatureText(input.signatureText, &signature)) {
        out->failures.push_back("the signature file is empty or not base64");
        return;
    }
    if (!VerifyBytes(input.publicPem, input.manifest.data(), input.manifest.size(), signature, &why)) {
        out->failures.push_back("signature refused: " + why +
                                "; if the public key fingerprint differs from the one \"tovpublish sign\" printed, "
                                "this is the wrong key, otherwise the manifest changed after signing");
        return;
    }
    out->signatureOk = true;
    out->checked.push_back("signature: RSA PKCS#1 v1.5 SHA-256 over all " + std::to_string(input.manifest.size()) +
                           " manifest bytes verifies");

    std::vector<std::string> channels = input.channels;
    for (const auto& pkg : input.packages)
        if (!Contains(channels, pkg.first)) channels.push_back(pkg.first);
    if (channels.empty()) {
        for (const char* ch : {"win7", "win10"})
            if (MentionsChannel(input.manifest, ch)) channels.push_back(ch);
        if (channels.empty()) {
            out->failures.push_back("the manifest names neither win7 nor win10");
            return;
        }
    }

    for (const std::string& channel : channels) {
        if (channel != "win7" && channel != "win10") {
            out->failures.push_back("unknown channel \"" + channel + "\" (win7 or win10)");
            continue;
        }
        ManifestEntry entry;
        const char* bytes = reinterpret_cast<const char*>(input.manifest.data());
        out->channels.push_back(ChannelResult());
        ChannelResult& result = out->channels.back();
        result.channel = channel;
        if (!ReadManifest(bytes, input.manifest.size(), channel.c_str(), &entry, &why)) {
            out->failures.push_back(channel + ": the installer would refuse the manifest: " + why);
            continue;
        }
        result.installerAccepts = true;
        result.latestVersion = entry.latestVersion;
        result.url = entry.url;
        result.sha256 = entry.sha256;
        result.sizeBytes = entry.sizeBytes;
        result.reuse = entry.reuse;
        NoteFlags(channel, entry, out);
        size_t before = out->failures.size();
        CheckEntryExtras(channel, entry, out);
        if (out->failures.size() != before) continue;
        bool packageGiven = false;
        for (const auto& pkg : input.packages) packageGiven = packageGiven || pkg.first == channel;
        if (!packageGiven && !input.packagesProbed) {
            if (input.requirePackages)
                out->failures.push_back(channel + ": packages not checked (--require-packages needs --package " +
                                        channel + "=PKG.zip)");
            else
                out->warnings.push_back(channel + ": packages not checked (give --package " + channel + "=PKG.zip)");
        }
        size_t beforePackages = out->failures.size();
        out->checked.push_back(channel + ": version " + entry.latestVersion + ", " + entry.url + ", " +
                               std::to_string(entry.sizeBytes) + " bytes, sha256 " + entry.sha256 +
                               (entry.reuse == FlagMember::True ? ", reuse on" : ""));

        for (const auto& pkg : input.packages) {
            if (pkg.first != channel) continue;
            uint64_t size = 0;
            std::string hex;
            if (!HashFile(pkg.second, &size, &hex, &why)) {
                out->failures.push_back(channel + ": " + why);
                continue;
            }
            if (size != entry.sizeBytes) {
                out->failures.push_back(channel + ": " + pkg.second + " has " + std::to_string(size) +
                                        " bytes, the manifest says " + std::to_string(entry.sizeBytes));
                continue;
            }
            std::string expected = entry.sha256;
            for (char& c : expected)
                if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
            if (hex != expected) {
                out->failures.push_back(channel + ": " + pkg.second + " has sha256 " + hex + ", the manifest says " +
                                        entry.sha256);
                continue;
            }
            PackageReport report;
            if (!InspectPackage(pkg.second, &report, &why)) {
                out->failures.push_back(channel + ": " + why);
                continue;
            }
            for (const std::string& w : report.warnings) out->warnings.push_back(channel + ": " + w);
            NoteWin7Names(channel, report, input.strict, &out->warnings, &out->failures);
            if (!PackageUsable(report, &why)) {
                out->failures.push_back(channel + ": " + pkg.second + " cannot be installed: " + why);
                continue;
            }
            out->checked.push_back(channel + ": " + pkg.second + " matches size and sha256 and holds Payload/TOVKinemo.exe "
                                   "and Payload/tovkinemo.root (" + std::to_string(report.payloadFiles) +
                                   " payload files)");
            result.package = pkg.second;
        }
        result.ok = out->failures.size() == beforePackages && (packageGiven || !input.requirePackages);
    }
}

}  // namespace pub
