// tovpublish probe: a release where users get it, fetched the way the installer fetches it.
#include <cstdio>
#include <string>

#include "cli_io.h"
#include "options.h"
#include "probe.h"
#include "reader.h"

namespace pub {

namespace {

const char kProbeHelp[] =
    "usage: tovpublish probe --public public.pem URL [--channel win7|win10]... [--ca-file CA.pem]\n"
    "                        [--quick] [--require-ranges] [--json]\n"
    "\n"
    "Fetches the manifest at URL (for the default host https://HOST/stable/update.json) and its\n"
    "signature at URL.sig the way the installer does: https only, TLS 1.2 and nothing else,\n"
    "redirects followed except from https to http, 15 s to connect, 30 s for each wait for data,\n"
    "each file under 4 MiB, no Accept-Encoding, user agent TOVKinemoDownloader/1.0. Checks the\n"
    "signature and reads each named channel (or each channel the manifest has) as 'tovpublish\n"
    "verify' does; a signature that fails is shown with both responses' Last-Modified, ETag, Age\n"
    "and Cache-Control. Then, for each channel's package URL: the range probe (Range: bytes=0-0)\n"
    "must answer 206 with a Content-Range total equal to sizeBytes; 200 is a warning (users get one\n"
    "stream without resume), a refusal with --require-ranges. The package is then downloaded as the\n"
    "installer does it (eight parallel ranges, or one stream) into a temporary file and its size and\n"
    "sha256 compared with the manifest; --quick compares the sizes only. Warns when the manifest or\n"
    "the signature comes with a Content-Encoding, with no caching header (Cache-Control or Expires),\n"
    "or with caching headers that differ between the two. --ca-file trusts a CA (PEM) beside the\n"
    "system's store, for hosts under test. For a channel with \"reuse\": true, the package's tail\n"
    "(central directory, zip64 records, end record) must also come by range requests, each answered\n"
    "206 with exactly its bytes (and the bytes of the package downloaded). --json prints one JSON\n"
    "object on standard output. Exits 0 when the release is served right (warnings allowed), 1 on\n"
    "any refusal.\n";

const char* const kValueOptions[] = {"--public", "--channel", "--ca-file", nullptr};
const char* const kFlagOptions[] = {"--quick", "--require-ranges", "--json", nullptr};

const char* const kShownHeaders[] = {"Last-Modified", "ETag",          "Age",
                                     "Cache-Control", "Expires",       "Content-Encoding",
                                     "Content-Range", "Content-Length"};

std::string JsonHeaders(const HttpResponse& r, size_t count) {
    std::string out = "{";
    for (size_t i = 0; i < count; ++i) {
        std::string value;
        bool present = r.Header(kShownHeaders[i], &value);
        out += std::string(i ? "," : "") + Json(kShownHeaders[i]) + ":" + (present ? Json(value) : "null");
    }
    return out + "}";
}

// One fetched file: how it was answered and the headers that tell how it is cached.
std::string JsonServed(const std::string& url, const HttpResponse& r) {
    return "{\"url\":" + Json(url) + ",\"status\":" + std::to_string(r.status) +
           ",\"finalUrl\":" + (r.finalUrl.empty() ? "null" : Json(r.finalUrl)) +
           ",\"bytes\":" + std::to_string(r.body.size()) + ",\"headers\":" + JsonHeaders(r, 6) + "}";
}

std::string JsonProbe(const PackageProbe& p) {
    const HttpResponse& r = p.answer;
    return "{\"status\":" + std::to_string(r.status) +
           ",\"finalUrl\":" + (r.finalUrl.empty() ? "null" : Json(r.finalUrl)) +
           ",\"ranges\":" + (p.ranges ? "true" : "false") +
           ",\"servedSize\":" + (p.sizeKnown ? std::to_string(p.servedSize) : "null") +
           ",\"connections\":" + std::to_string(p.connections) +
           ",\"sha256Checked\":" + (p.sha256Checked ? "true" : "false") +
           (p.reuse
                ? ",\"tail\":" + (p.tailChecked ? "{\"offset\":" + std::to_string(p.tailOffset) +
                                                      ",\"requests\":" + std::to_string(p.tailRequests) + "}"
                                                : std::string("null"))
                : std::string()) +
           ",\"ok\":" + (p.ok ? "true" : "false") +
           ",\"headers\":" + JsonHeaders(r, sizeof(kShownHeaders) / sizeof(kShownHeaders[0])) + "}";
}

std::string JsonOutcome(const std::string& url, const ProbeOutcome& o) {
    const VerifyOutcome& v = o.release;
    bool fetched = o.manifest.status == 200 && o.signature.status == 200;
    std::string out = "{\"command\":\"probe\",\"verdict\":" + Json(o.ok() ? "accepted" : "refused") +
                      ",\"url\":" + Json(url) +
                      ",\"fingerprint\":" + (v.fingerprint.empty() ? "null" : Json(v.fingerprint)) +
                      ",\"signature\":" +
                      Json(v.signatureOk ? "verified"
                           : fetched     ? "refused"
                                         : "not fetched") +
                      ",\"served\":{\"manifest\":" + JsonServed(url, o.manifest) +
                      ",\"signature\":" + JsonServed(url + ".sig", o.signature) + "},\"channels\":[";
    for (size_t i = 0; i < v.channels.size(); ++i) {
        const ChannelResult& c = v.channels[i];
        out += std::string(i ? "," : "") + JsonChannelOpen(c);
        std::string probe = "null";
        for (const PackageProbe& p : o.packages)
            if (p.channel == c.channel)
                probe = JsonProbe(p);
        out += ",\"probe\":" + probe + "}";
    }
    return out + "],\"checked\":" + JsonList(v.checked) + ",\"warnings\":" + JsonList(v.warnings) +
           ",\"refusals\":" + JsonList(v.failures) + "}\n";
}

int RunProbe(const Args& args) {
    bool json = args.Flag("--json");
    std::string publicPath, caFile, error;
    if (!Single(args, "--public", &publicPath, &error))
        return UsageError("probe", error, kProbeHelp);
    if (args.operands.size() != 1)
        return UsageError("probe", args.operands.empty() ? "missing URL" : "give one URL", kProbeHelp);
    ProbeInput input;
    input.url = args.operands[0];
    if (!HasHttpsPrefix(input.url.c_str()))
        return UsageError("probe", "the URL must begin with https://, as the installer's does", kProbeHelp);
    for (const auto& o : args.options)
        if (o.first == "--channel")
            input.channels.push_back(o.second);
    if (!Single(args, "--ca-file", &caFile, &error) && error.rfind("missing", 0) != 0)
        return UsageError("probe", error, kProbeHelp);
    input.client.caFile = caFile;
    input.quick = args.Flag("--quick");
    input.requireRanges = args.Flag("--require-ranges");
    Bytes publicKey, ca;
    if (!ReadFileBytes(publicPath, &publicKey, &error) ||
        (!caFile.empty() && !ReadFileBytes(caFile, &ca, &error)))
        return Refuse("probe", error);
    input.publicPem.assign(publicKey.begin(), publicKey.end());

    ProbeOutcome outcome;
    ProbeRelease(input, &outcome);
    const VerifyOutcome& v = outcome.release;
    FILE* info = json ? stderr : stdout;
    std::fprintf(info, "public key fingerprint %s\n",
                 v.fingerprint.empty() ? "(unreadable key)" : v.fingerprint.c_str());
    const HttpResponse* served[2] = {&outcome.manifest, &outcome.signature};
    const char* names[2] = {"manifest", "signature"};
    for (int i = 0; i < 2; ++i)
        if (served[i]->answered)
            std::fprintf(info, "%s: status %ld from %s%s [%s]\n", names[i], served[i]->status,
                         served[i]->finalUrl.c_str(),
                         served[i]->error.empty()
                             ? (", " + std::to_string(served[i]->body.size()) + " bytes").c_str()
                             : "",
                         ShowCachingHeaders(*served[i]).c_str());
    for (const std::string& c : v.checked)
        std::fprintf(info, "ok: %s\n", c.c_str());
    for (const std::string& w : v.warnings)
        std::fprintf(stderr, "warning: %s\n", w.c_str());
    for (const std::string& f : v.failures)
        std::fprintf(stderr, "refused: %s\n", f.c_str());
    if (json)
        std::fputs(JsonOutcome(input.url, outcome).c_str(), stdout);
    if (!outcome.ok()) {
        std::fprintf(stderr, "tovpublish probe: the release at %s is NOT served right for the installer\n",
                     input.url.c_str());
        return kExitRefused;
    }
    std::fprintf(info, "the release at %s is served right for the installer\n", input.url.c_str());
    return 0;
}

} // namespace

extern const Command kProbeCommand = {
    "probe",      "check a release where users get it, fetched as the installer fetches it",
    kProbeHelp,   kValueOptions,
    kFlagOptions, RunProbe,
    "URL"};

} // namespace pub
