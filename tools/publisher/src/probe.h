// The check behind "tovpublish probe": a release as the download host serves it, fetched with the
// installer's client rules and judged with verify's rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "http.h"
#include "verify.h"

namespace pub {

struct ProbeInput {
    std::string publicPem;
    std::string url;                   // of the manifest; the signature is url + ".sig"
    std::vector<std::string> channels; // empty: every channel the manifest has
    HttpClient client;
    bool quick = false;         // compare sizes only, download nothing
    bool requireRanges = false; // a package host without ranges is a refusal, not a warning
};

// What one channel's package URL gave.
struct PackageProbe {
    std::string channel;
    HttpResponse answer;    // to the range probe: status (0 when none came), final URL, headers
    bool ranges = false;    // the probe was answered with 206
    bool sizeKnown = false; // servedSize holds what the host serves
    uint64_t servedSize = 0;
    int connections = 0; // of the download: 8, 1, or 0 when nothing was downloaded
    bool sha256Checked = false;
    bool reuse = false;       // the channel has "reuse": true, so the tail is checked too
    bool tailChecked = false; // the tail came by range requests, 206 with exactly its bytes
    uint64_t tailOffset = 0;  // where the tail (central directory, zip64 records, end record) begins
    int tailRequests = 0;
    bool ok = false;
};

struct ProbeOutcome {
    VerifyOutcome release; // signature, channels, checked, warnings, refusals
    HttpResponse manifest, signature;
    std::vector<PackageProbe> packages;
    bool ok() const { return release.ok(); }
};

void ProbeRelease(const ProbeInput& input, ProbeOutcome* outcome);

// The total of a Content-Range value such as "bytes 0-0/1234"; false when it has none.
bool ContentRangeTotal(const std::string& contentRange, uint64_t* total);

// The headers that tell how a response is cached, shown beside every finding about caches.
extern const char* const kCachingHeaders[4]; // Last-Modified, ETag, Age, Cache-Control
std::string ShowCachingHeaders(const HttpResponse& response);

// Warnings about how the manifest and the signature are served: with a Content-Encoding, with no
// caching header (Cache-Control or Expires), or cached differently from each other.
void NoteServedHeaders(const HttpResponse& manifest, const HttpResponse& signature,
                       std::vector<std::string>* warnings);

} // namespace pub
