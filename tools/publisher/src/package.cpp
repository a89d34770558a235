#include "package.h"

#include <openssl/evp.h>
#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace pub {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

bool HashFile(const std::string& path, uint64_t* size, std::string* sha256Hex, std::string* error) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    bool ok = md && EVP_DigestInit_ex(md, EVP_sha256(), nullptr) == 1;
    uint64_t total = 0;
    std::vector<unsigned char> buf(262144);
    while (ok) {
        size_t n = std::fread(buf.data(), 1, buf.size(), f);
        if (n == 0) {
            ok = !std::ferror(f);
            break;
        }
        total += n;
        ok = EVP_DigestUpdate(md, buf.data(), n) == 1;
    }
    unsigned char digest[32];
    unsigned int digestLength = 0;
    if (ok) ok = EVP_DigestFinal_ex(md, digest, &digestLength) == 1 && digestLength == 32;
    EVP_MD_CTX_free(md);
    std::fclose(f);
    if (!ok) {
        if (error) *error = "cannot read or hash " + path;
        return false;
    }
    static const char kHex[] = "0123456789abcdef";
    sha256Hex->clear();
    for (unsigned char b : digest) {
        *sha256Hex += kHex[b >> 4];
        *sha256Hex += kHex[b & 15];
    }
    *size = total;
    return true;
}

bool InspectPackage(const std::string& path, PackageReport* report, std::string* error) {
    *report = PackageReport();
    int zerr = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &zerr);
    if (!archive) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, zerr);
        if (error) *error = path + " is not a readable zip archive: " + zip_error_strerror(&ze);
        zip_error_fini(&ze);
        return false;
    }
    zip_int64_t count = zip_get_num_entries(archive, 0);
    bool payloadIsFile = false;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME))
            continue;
        std::string name = st.name;
        for (char& c : name)
            if (c == '\\') c = '/';
        std::string lower = Lower(name);
        if (lower == "payload") {
            payloadIsFile = true;
            continue;
        }
        if (lower.compare(0, 8, "payload/") != 0) continue;
        report->hasPayload = true;
        std::string inner = lower.substr(8);
        if (inner.empty() || inner.back() == '/') continue;  // a folder entry
        ++report->payloadFiles;
        if (inner == "tovkinemo.exe") report->hasExe = true;
        if (inner == "tovkinemo.root") report->hasRoot = true;
        if (inner == "assets/appicon.ico") report->hasIcon = true;
        if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE)
            report->problems.push_back(name + " is encrypted; the unattended Shell copy cannot unpack it");
        if ((st.valid & ZIP_STAT_COMP_METHOD) && st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE)
            report->warnings.push_back(name + " uses compression method " + std::to_string(st.comp_method) +
                                       "; the Windows Shell unpacks only stored and deflated entries reliably");
    }
    zip_discard(archive);

    if (!report->hasPayload) {
        report->problems.push_back(payloadIsFile ? "\"Payload\" is a file, not a top-level folder"
                                                 : "the archive has no top-level \"Payload\" folder");
    } else {
        if (!report->hasExe) report->problems.push_back("\"Payload/TOVKinemo.exe\" is missing");
        if (!report->hasRoot) report->problems.push_back("\"Payload/tovkinemo.root\" is missing");
    }
    if (report->hasPayload && !report->hasIcon)
        report->warnings.push_back("\"Payload/Assets/AppIcon.ico\" is absent; the shortcut will use the program's icon");
    return true;
}

bool PackageUsable(const PackageReport& report, std::string* why) {
    if (report.problems.empty()) return true;
    if (why) {
        why->clear();
        for (const std::string& p : report.problems) {
            if (!why->empty()) *why += "; ";
            *why += p;
        }
    }
    return false;
}

}  // namespace pub
