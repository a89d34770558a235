#include "http.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace pub {

namespace {

constexpr int kSegments = 8;

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// What happens to the body of one transfer.
enum class Body {
    Keep,   // kept in response->body, up to limit bytes
    Skip,   // not read: the transfer ends at its first body bytes
    ToFile, // written at offset in fd (or only counted when fd < 0), up to length bytes
};

// One request and what its callbacks collect.
struct Transfer {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    char errbuf[CURL_ERROR_SIZE] = {};
    HttpResponse* response = nullptr;
    Body body = Body::Keep;
    long wantStatus = 200; // the body of any other status is not read
    size_t limit = 0;
    int fd = -1;
    uint64_t offset = 0, length = 0, got = 0;
    bool skipped = false, wrongStatus = false, tooLarge = false, overrun = false;
    std::string writeError;
    ~Transfer() {
        if (easy)
            curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    Transfer* t = static_cast<Transfer*>(user);
    std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        t->response->headers.clear(); // a new response: a redirect or an interim answer came before
    } else {
        size_t colon = line.find(':');
        if (colon != std::string::npos && colon > 0)
            t->response->headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
    return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    Transfer* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
    if (t->body == Body::Skip) {
        t->skipped = true;
        return 0;
    }
    if (status != t->wantStatus) {
        t->wrongStatus = true;
        return 0;
    }
    if (t->body == Body::Keep) {
        if (t->response->body.size() + n > t->limit) {
            t->tooLarge = true;
            return 0;
        }
        t->response->body.insert(t->response->body.end(), data, data + n);
        return n;
    }
    if (t->got + n > t->length) {
        t->overrun = true;
        return 0;
    }
    for (size_t done = 0; t->fd >= 0 && done < n;) {
        ssize_t w = ::pwrite(t->fd, data + done, n - done, static_cast<off_t>(t->offset + t->got + done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            t->writeError = std::string("cannot write the temporary file: ") + std::strerror(errno);
            return 0;
        }
        done += static_cast<size_t>(w);
    }
    t->got += n;
    return n;
}

// An easy handle with the installer's client settings.
bool Prepare(const HttpClient& client, const std::string& url, const std::string& range, Transfer* t) {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    t->easy = initialised ? curl_easy_init() : nullptr;
    if (!t->easy) {
        t->response->error = "cannot start libcurl";
        return false;
    }
    CURL* e = t->easy;
    t->headers = curl_slist_append(t->headers, "Accept:"); // the installer sends no Accept header
    if (!range.empty())
        t->headers = curl_slist_append(t->headers, ("Range: bytes=" + range).c_str());
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "https"); // no redirect from https to http
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(e, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2 | CURL_SSLVERSION_MAX_TLSv1_2);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, 15L);
    // Below one byte per second for 30 s: a wait for data that the installer gives up.
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L); // bodies are taken as served
    curl_easy_setopt(e, CURLOPT_USERAGENT, "TOVKinemoDownloader/1.0");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headers);
    // The CA file is added to the compiled-in CA folder, which stays in use.
    if (!client.caFile.empty())
        curl_easy_setopt(e, CURLOPT_CAINFO, client.caFile.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errbuf);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t);
    curl_easy_setopt(e, CURLOPT_PRIVATE, t);
    return true;
}

// A failed transfer in the installer's terms.
std::string Explain(CURLcode rc, const Transfer& t) {
    std::string detail = t.errbuf[0] ? t.errbuf : curl_easy_strerror(rc);
    switch (rc) {
    case CURLE_UNSUPPORTED_PROTOCOL: {
        std::string location = t.response->Header("Location");
        if (!location.empty())
            return "redirected to " + location +
                   ", which the installer does not follow (no redirect from https to http)";
        return "not an https URL; the installer fetches over https only (" + detail + ")";
    }
    case CURLE_SSL_CONNECT_ERROR:
        return "no TLS 1.2 connection (" + detail + "); the installer speaks TLS 1.2 and nothing else";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return "the certificate is not trusted (" + detail + "); --ca-file adds a CA for a host under test";
    case CURLE_OPERATION_TIMEDOUT:
        return "timed out (" + detail +
               "); the installer waits 15 s to connect and 30 s for each wait for data";
    case CURLE_TOO_MANY_REDIRECTS:
        return "more than 10 redirects (" + detail + ")";
    default:
        return detail;
    }
}

// The outcome of a finished transfer: true when the response head arrived and the body was taken
// as asked; otherwise response->error says why.
bool Finish(CURLcode rc, Transfer* t) {
    HttpResponse* r = t->response;
    char* effective = nullptr;
    if (curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
        r->finalUrl = effective;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &r->status);
    r->answered = r->status != 0;
    bool stoppedOnPurpose = t->skipped || t->wrongStatus;
    if (rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && stoppedOnPurpose)) {
        if (t->wrongStatus || (t->body != Body::Skip && r->status != t->wantStatus)) {
            r->error = "answers status " + std::to_string(r->status) + " where the installer needs " +
                       std::to_string(t->wantStatus);
            return false;
        }
        if (t->body == Body::ToFile && t->got != t->length) {
            r->error = "the body ends after " + std::to_string(t->got) + " of " + std::to_string(t->length) +
                       " bytes";
            return false;
        }
        return true;
    }
    r->body.clear(); // a part of a body is no resource
    if (t->tooLarge)
        r->error = "the body is " + std::to_string(t->limit + 1) + " bytes or larger";
    else if (t->overrun)
        r->error = "the body is longer than the " + std::to_string(t->length) + " bytes asked for";
    else if (!t->writeError.empty())
        r->error = t->writeError;
    else
        r->error = Explain(rc, *t);
    return false;
}

} // namespace

bool HttpResponse::Header(const std::string& name, std::string* value) const {
    std::string want = Lower(name);
    for (const auto& h : headers)
        if (Lower(h.first) == want) {
            *value = h.second;
            return true;
        }
    value->clear();
    return false;
}

std::string HttpResponse::Header(const std::string& name) const {
    std::string value;
    Header(name, &value);
    return value;
}

bool FetchWhole(const HttpClient& client, const std::string& url, size_t limit, HttpResponse* out,
                bool* tooLarge) {
    *out = HttpResponse();
    Transfer t;
    t.response = out;
    t.body = Body::Keep;
    t.limit = limit;
    bool ok = Prepare(client, url, "", &t) && Finish(curl_easy_perform(t.easy), &t);
    *tooLarge = t.tooLarge;
    return ok;
}

bool ProbeRanges(const HttpClient& client, const std::string& url, HttpResponse* out) {
    *out = HttpResponse();
    Transfer t;
    t.response = out;
    t.body = Body::Skip;
    return Prepare(client, url, "0-0", &t) && Finish(curl_easy_perform(t.easy), &t);
}

bool FetchRange(const HttpClient& client, const std::string& url, uint64_t first, uint64_t last,
                HttpResponse* out) {
    *out = HttpResponse();
    Transfer t;
    t.response = out;
    t.body = Body::Keep;
    t.wantStatus = 206;
    t.limit = static_cast<size_t>(last - first + 1);
    std::string range = std::to_string(first) + "-" + std::to_string(last);
    if (!Prepare(client, url, range, &t))
        return false;
    if (!Finish(curl_easy_perform(t.easy), &t)) {
        if (t.tooLarge)
            out->error = "the body is longer than the " + std::to_string(t.limit) + " bytes asked for";
        return false;
    }
    std::string answered = out->Header("Content-Range");
    if (answered.rfind("bytes " + range + "/", 0) != 0)
        out->error = "Content-Range \"" + answered + "\" is not for bytes " + range;
    else if (out->body.size() != t.limit)
        out->error = "the body has " + std::to_string(out->body.size()) + " of the " +
                     std::to_string(t.limit) + " bytes asked for";
    return out->error.empty();
}

void SegmentBounds(uint64_t size, int i, uint64_t* first, uint64_t* last) {
    // floor(size * i / 8) without overflow.
    auto at = [size](uint64_t k) { return size / kSegments * k + size % kSegments * k / kSegments; };
    *first = at(static_cast<uint64_t>(i));
    *last = at(static_cast<uint64_t>(i) + 1) - 1;
}

bool DownloadPackageBody(const HttpClient& client, const std::string& url, uint64_t size, bool ranged, int fd,
                         uint64_t* received, std::string* error) {
    *received = 0;
    int count = ranged ? kSegments : 1;
    std::vector<HttpResponse> responses(count);
    std::vector<std::unique_ptr<Transfer>> transfers;
    std::unique_ptr<CURLM, CURLMcode (*)(CURLM*)> multi(curl_multi_init(), curl_multi_cleanup);
    bool ok = multi != nullptr;
    if (!ok)
        *error = "cannot start libcurl";
    for (int i = 0; ok && i < count; ++i) {
        transfers.emplace_back(new Transfer);
        Transfer* t = transfers.back().get();
        t->response = &responses[i];
        t->body = Body::ToFile;
        t->fd = fd;
        t->wantStatus = ranged ? 206 : 200;
        std::string range;
        if (ranged) {
            uint64_t last = 0;
            SegmentBounds(size, i, &t->offset, &last);
            t->length = last + 1 - t->offset;
            range = std::to_string(t->offset) + "-" + std::to_string(last);
        } else {
            t->length = size;
        }
        ok = Prepare(client, url, range, t) && curl_multi_add_handle(multi.get(), t->easy) == CURLM_OK;
        if (!ok)
            *error = "cannot start the transfers: " + responses[i].error;
    }
    // All transfers at once, each on its own connection, as the installer's eight threads run.
    int running = ok ? 1 : 0;
    while (running > 0) {
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK)
            break;
        if (running > 0)
            curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
    }
    int pending = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &pending)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        Transfer* t = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&t));
        if (!Finish(msg->data.result, t) && ok) {
            ok = false;
            *error = (ranged ? "range " + std::to_string(t->offset) + "-" +
                                   std::to_string(t->offset + t->length - 1) + ": "
                             : std::string()) +
                     t->response->error;
        }
    }
    for (auto& t : transfers) {
        *received += t->got;
        curl_multi_remove_handle(multi.get(), t->easy);
    }
    if (ok && *received != size) {
        *error = "received " + std::to_string(*received) + " of " + std::to_string(size) + " bytes";
        ok = false;
    }
    return ok;
}

} // namespace pub
