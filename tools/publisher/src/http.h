// HTTPS fetches with the installer's client rules, through libcurl: https only (redirects too),
// TLS 1.2 and nothing else, 15 s to connect, 30 s for each wait for data, HTTP/1.1, no
// Accept-Encoding and no Accept header, user agent "TOVKinemoDownloader/1.0".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "signature.h"

namespace pub {

// How a request is made: the extra CA file (PEM) is trusted beside the system's store.
struct HttpClient {
    std::string caFile;
};

struct HttpResponse {
    bool answered = false; // a response head arrived (status and headers below are set)
    long status = 0;
    std::string finalUrl;                                     // after redirects
    std::vector<std::pair<std::string, std::string>> headers; // of the last response, in order
    std::string error;                                        // why the request failed, when it did
    Bytes body;                                               // FetchWhole only
    // The value of a header (name without regard to case); "" and false when absent.
    bool Header(const std::string& name, std::string* value) const;
    std::string Header(const std::string& name) const;
};

// A small resource whole, as the installer fetches the manifest and the signature: status 200,
// a body shorter than limit bytes (a longer one ends the transfer with *tooLarge set).
bool FetchWhole(const HttpClient& client, const std::string& url, size_t limit, HttpResponse* out,
                bool* tooLarge);

// The installer's range probe: GET with "Range: bytes=0-0"; the body is not read.
bool ProbeRanges(const HttpClient& client, const std::string& url, HttpResponse* out);

// Bytes first to last (inclusive) by one range request, kept in out->body: the answer must be 206
// with a Content-Range for exactly those bytes and a body of exactly their length.
bool FetchRange(const HttpClient& client, const std::string& url, uint64_t first, uint64_t last,
                HttpResponse* out);

// Byte range i of the eight the installer cuts a package of size bytes into (last inclusive).
void SegmentBounds(uint64_t size, int i, uint64_t* first, uint64_t* last);

// The package body as the installer downloads it: eight parallel ranges that must each answer 206
// with exactly their bytes (ranged), or one GET that must answer 200. Bytes land at their offsets
// in fd (fd < 0: only counted). *received is the number of bytes taken; false with *error on any
// failure.
bool DownloadPackageBody(const HttpClient& client, const std::string& url, uint64_t size, bool ranged, int fd,
                         uint64_t* received, std::string* error);

} // namespace pub
