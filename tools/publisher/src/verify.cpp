#include "verify.h"

#include <cstring>

#include "package.h"
#include "reader.h"

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

void CheckEntryExtras(const std::string& channel, const ManifestEntry& entry, VerifyOutcome* out) {
    if (!IsHexDigest(entry.sha256))
        out->failures.push_back(channel + ": \"sha256\" has 64 characters but not all are hex digits; "
                                          "the installer's package check would always fail");
    for (const char* p = entry.url; *p; ++p) {
        unsigned char b = static_cast<unsigned char>(*p);
        if (b <= 0x20 || b == 0x7F) {
            out->warnings.push_back(channel + ": \"url\" contains a space or control character");
            break;
        }
    }
    for (const char* p = entry.latestVersion; *p; ++p) {
        unsigned char b = static_cast<unsigned char>(*p);
        if (b < 0x20 || std::strchr("\\/:*?\"<>|", *p)) {
            out->warnings.push_back("\"latestVersion\" contains a character that is not allowed in a Windows file "
                                    "name; the installer uses it in the cache file name");
            break;
        }
    }
}

}  // namespace

void VerifyRelease(const VerifyInput& input, VerifyOutcome* out) {
    *out = VerifyOutcome();
    std::string why;
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
        out->failures.push_back("signature refused: " + why);
        return;
    }
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
        if (!ReadManifest(bytes, input.manifest.size(), channel.c_str(), &entry, &why)) {
            out->failures.push_back(channel + ": the installer would refuse the manifest: " + why);
            continue;
        }
        size_t before = out->failures.size();
        CheckEntryExtras(channel, entry, out);
        if (out->failures.size() != before) continue;
        out->checked.push_back(channel + ": version " + entry.latestVersion + ", " + entry.url + ", " +
                               std::to_string(entry.sizeBytes) + " bytes, sha256 " + entry.sha256);

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
            if (!PackageUsable(report, &why)) {
                out->failures.push_back(channel + ": " + pkg.second + " cannot be installed: " + why);
                continue;
            }
            out->checked.push_back(channel + ": " + pkg.second + " matches size and sha256 and holds Payload/TOVKinemo.exe "
                                   "and Payload/tovkinemo.root (" + std::to_string(report.payloadFiles) +
                                   " payload files)");
        }
    }
}

}  // namespace pub
