#include "probe.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "package.h"
#include "packagetail.h"

namespace pub {

const char* const kCachingHeaders[4] = {"Last-Modified", "ETag", "Age", "Cache-Control"};

namespace {

bool ParseDecimal(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || v > (UINT64_MAX - (c - '0')) / 10)
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

// How caches are told to keep a response: Cache-Control without spaces and case, and whether
// Expires is given.
std::string CachePolicy(const HttpResponse& r) {
    std::string policy;
    for (char c : r.Header("Cache-Control"))
        if (c != ' ' && c != '\t')
            policy += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    std::string expires;
    return r.Header("Expires", &expires) ? policy + " +Expires" : policy;
}

// A temporary file for a downloaded package, removed when done.
struct TempFile {
    std::string path;
    int fd = -1;
    bool Create(std::string* error) {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/tovpublish-probe-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        fd = ::mkstemp(name.data());
        if (fd < 0)
            return *error = "cannot create a temporary file in " + pattern + ": " + std::strerror(errno),
                   false;
        path = name.data();
        return true;
    }
    ~TempFile() {
        if (fd >= 0)
            ::close(fd);
        if (!path.empty())
            ::unlink(path.c_str());
    }
};

std::string LowerHex(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// With "reuse": true an upgrade reads the package's tail first, by the installer's range requests: the
// last 64 KiB, then back to what the end records name, each answered 206 with exactly its bytes; a
// downloaded package (fd >= 0) must hold the same bytes there.
void ProbeTail(const ProbeInput& input, const ChannelResult& ch, int fd, PackageProbe* p,
               VerifyOutcome* out) {
    std::string where = ch.channel + ": " + ch.url + ": reuse is on, but ";
    if (!p->ranges) {
        out->warnings.push_back(where + "the host answers no ranges: upgrades download the whole package");
        return;
    }
    uint64_t size = ch.sizeBytes;
    std::string fetchError;
    auto fetch = [&](uint64_t first, uint64_t end, Bytes* piece) {
        HttpResponse r;
        std::string range = std::to_string(first) + "-" + std::to_string(end - 1);
        if (!FetchRange(input.client, ch.url, first, end - 1, &r))
            return fetchError = "the tail's range request (bytes " + range + ") fails: " + r.error, false;
        piece->swap(r.body);
        return true;
    };
    PackageTail tail;
    TailRead read = ReadPackageTail(size, fetch, &tail);
    p->tailRequests = static_cast<int>(tail.requests);
    if (read == TailRead::FetchFailed)
        return out->failures.push_back(where + fetchError);
    if (read == TailRead::Bad)
        return out->failures.push_back(where + "its tail does not read as a zip directory: " + tail.why);
    Bytes stored(tail.bytes.size());
    if (fd >= 0 && (::pread(fd, stored.data(), stored.size(), static_cast<off_t>(tail.start)) !=
                        static_cast<ssize_t>(stored.size()) ||
                    stored != tail.bytes))
        return out->failures.push_back(where +
                                       "the tail served by range differs from the package downloaded");
    p->tailChecked = true;
    p->tailOffset = tail.place.offset;
    out->checked.push_back(ch.channel + ": reuse: the tail (bytes " + std::to_string(tail.place.offset) +
                           "-" + std::to_string(size - 1) + ", " + std::to_string(tail.records.size()) +
                           " entries" + (tail.zip64 ? ", zip64" : "") + ") comes by range request (206) in " +
                           std::to_string(tail.requests) + (tail.requests == 1 ? " request" : " requests"));
}

// A package served right so far: with reuse, its tail too.
void FinishPackage(const ProbeInput& input, const ChannelResult& ch, int fd, PackageProbe* p,
                   VerifyOutcome* out) {
    size_t before = out->failures.size();
    if (p->reuse)
        ProbeTail(input, ch, fd, p, out);
    p->ok = out->failures.size() == before;
}

// Steps 3 and 4 for one channel: the range probe, then the download (or the sizes alone).
void ProbePackage(const ProbeInput& input, const ChannelResult& ch, PackageProbe* p, VerifyOutcome* out) {
    p->channel = ch.channel;
    p->reuse = ch.reuse == FlagMember::True;
    std::string where = ch.channel + ": " + ch.url;
    size_t before = out->failures.size();
    HttpResponse& r = p->answer;
    bool answered = ProbeRanges(input.client, ch.url, &r);
    if (!answered) {
        out->failures.push_back(where + ": " + r.error);
        return;
    }
    std::string via = r.finalUrl != ch.url ? " (redirected to " + r.finalUrl + ")" : "";
    if (r.status == 206) {
        p->ranges = true;
        std::string range = r.Header("Content-Range");
        if (!ContentRangeTotal(range, &p->servedSize))
            out->failures.push_back(where + via + ": 206 to the range probe, but Content-Range \"" + range +
                                    "\" gives no total");
        else if (p->servedSize != ch.sizeBytes)
            out->failures.push_back(where + via + ": the host serves " + std::to_string(p->servedSize) +
                                    " bytes (Content-Range), the manifest says " +
                                    std::to_string(ch.sizeBytes));
        p->sizeKnown = true;
    } else {
        std::string text = where + via + ": the range probe (Range: bytes=0-0) is answered with status " +
                           std::to_string(r.status) + ", not 206: users get one stream without resume";
        (input.requireRanges ? out->failures : out->warnings).push_back(text);
        if (r.status == 200 && ParseDecimal(r.Header("Content-Length"), &p->servedSize)) {
            p->sizeKnown = true;
            if (p->servedSize != ch.sizeBytes)
                out->failures.push_back(where + via + ": the host serves " + std::to_string(p->servedSize) +
                                        " bytes (Content-Length), the manifest says " +
                                        std::to_string(ch.sizeBytes));
        }
    }
    if (out->failures.size() != before)
        return;
    std::string served = where + via + ": " + (p->ranges ? "ranges served (206)" : "one stream (200)");
    if (input.quick && p->sizeKnown) {
        out->checked.push_back(served + ", " + std::to_string(p->servedSize) +
                               " bytes as the manifest says; sha256 not checked (--quick)");
        return FinishPackage(input, ch, -1, p, out);
    }

    // Without a size from the headers, --quick counts the bytes of one download (nothing stored).
    TempFile temp;
    std::string error;
    if (!input.quick && !temp.Create(&error)) {
        out->failures.push_back(ch.channel + ": " + error);
        return;
    }
    p->connections = p->ranges ? 8 : 1;
    uint64_t received = 0;
    if (!DownloadPackageBody(input.client, ch.url, ch.sizeBytes, p->ranges, temp.fd, &received, &error)) {
        out->failures.push_back(where + via + ": the download " +
                                (p->ranges ? "in eight ranges" : std::string("in one stream")) +
                                " failed: " + error);
        return;
    }
    p->sizeKnown = true;
    p->servedSize = received;
    std::string got = served + ", downloaded " + std::to_string(received) + " bytes over " +
                      std::to_string(p->connections) + (p->ranges ? " connections" : " connection");
    if (input.quick) {
        out->checked.push_back(got + ", as many as the manifest says; sha256 not checked (--quick)");
        return FinishPackage(input, ch, -1, p, out);
    }
    uint64_t size = 0;
    std::string hex;
    if (!HashFile(temp.path, &size, &hex, &error)) {
        out->failures.push_back(ch.channel + ": " + error);
        return;
    }
    p->sha256Checked = true;
    if (hex != LowerHex(ch.sha256) || size != ch.sizeBytes) {
        out->failures.push_back(where + via + ": the package served has sha256 " + hex +
                                ", the manifest says " + ch.sha256 +
                                "; the installer refuses it after every download");
        return;
    }
    out->checked.push_back(got + ", size and sha256 match the manifest");
    FinishPackage(input, ch, temp.fd, p, out);
}

} // namespace

bool ContentRangeTotal(const std::string& contentRange, uint64_t* total) {
    size_t slash = contentRange.rfind('/');
    return slash != std::string::npos && ParseDecimal(contentRange.substr(slash + 1), total);
}

std::string ShowCachingHeaders(const HttpResponse& response) {
    std::string text;
    for (const char* name : kCachingHeaders) {
        std::string value;
        text += std::string(text.empty() ? "" : "; ") + name + ": " +
                (response.Header(name, &value) ? value : std::string("(none)"));
    }
    return text;
}

void NoteServedHeaders(const HttpResponse& manifest, const HttpResponse& signature,
                       std::vector<std::string>* warnings) {
    const HttpResponse* both[2] = {&manifest, &signature};
    const char* names[2] = {"the manifest", "the signature"};
    for (int i = 0; i < 2; ++i) {
        std::string encoding;
        if (both[i]->Header("Content-Encoding", &encoding))
            warnings->push_back(
                std::string(names[i]) + " is served with \"Content-Encoding: " + encoding +
                "\" although the installer asks for none; the installer does not decode it, so "
                "a host that compresses it breaks the signature check");
        std::string ignored;
        if (!both[i]->Header("Cache-Control", &ignored) && !both[i]->Header("Expires", &ignored))
            warnings->push_back(std::string(names[i]) + " is served with no caching header (Cache-Control or "
                                                        "Expires): each cache chooses how long to keep it");
    }
    if (CachePolicy(manifest) != CachePolicy(signature))
        warnings->push_back(
            "the manifest and the signature are served with different caching headers (manifest [" +
            ShowCachingHeaders(manifest) + "], signature [" + ShowCachingHeaders(signature) +
            "]): a cache may keep one longer than the other and pair a new manifest with an old "
            "signature");
}

void ProbeRelease(const ProbeInput& input, ProbeOutcome* out) {
    *out = ProbeOutcome();
    std::string sigUrl = input.url + ".sig";
    bool manifestTooLarge = false, signatureTooLarge = false;
    bool fetched = FetchWhole(input.client, input.url, kMaxServedSize, &out->manifest, &manifestTooLarge);
    fetched =
        FetchWhole(input.client, sigUrl, kMaxServedSize, &out->signature, &signatureTooLarge) && fetched;
    if (!fetched) {
        VerifyOutcome& release = out->release;
        std::string why;
        if (!PublicKeyFingerprint(input.publicPem, &release.fingerprint, &why))
            release.fingerprint.clear();
        const HttpResponse* both[2] = {&out->manifest, &out->signature};
        const std::string* urls[2] = {&input.url, &sigUrl};
        const bool tooLarge[2] = {manifestTooLarge, signatureTooLarge};
        for (int i = 0; i < 2; ++i) {
            if (tooLarge[i])
                release.failures.push_back(*urls[i] +
                                           " is 4 MiB or larger; the installer stops at 4 MiB and fails");
            else if (!both[i]->error.empty())
                release.failures.push_back(*urls[i] + ": " + both[i]->error);
        }
        return;
    }

    // The signature and the channels exactly as verify judges files on disk.
    VerifyInput verify;
    verify.publicPem = input.publicPem;
    verify.manifest = out->manifest.body;
    verify.signatureText.assign(out->signature.body.begin(), out->signature.body.end());
    verify.channels = input.channels;
    verify.packagesProbed = true;
    VerifyRelease(verify, &out->release);
    VerifyOutcome& release = out->release;
    if (!release.signatureOk && !release.fingerprint.empty())
        release.failures.push_back(
            "likely cause: a cache (CDN edge or proxy) holds the manifest or the signature of another "
            "release, or "
            "one of the two uploads failed; every install fails until both match. Manifest " +
            input.url + " [" + ShowCachingHeaders(out->manifest) + "], signature " + sigUrl + " [" +
            ShowCachingHeaders(out->signature) + "]");
    NoteServedHeaders(out->manifest, out->signature, &release.warnings);
    if (!release.signatureOk)
        return;
    for (ChannelResult& ch : release.channels) {
        if (!ch.installerAccepts)
            continue;
        out->packages.push_back(PackageProbe());
        ProbePackage(input, ch, &out->packages.back(), &release);
        ch.ok = ch.ok && out->packages.back().ok;
    }
}

} // namespace pub
