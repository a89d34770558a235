#include "package.h"

#include <openssl/evp.h>
#include <zip.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "reader.h"

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

void AddPackageEntry(const std::string& entryName, bool encrypted, int compression, PackageReport* report) {
    std::string name = entryName;
    for (char& c : name)
        if (c == '\\') c = '/';
    for (char c : name)
        if (static_cast<unsigned char>(c) >= 0x80) {
            report->nonAsciiNames.push_back(name);
            break;
        }
    std::string lower = Lower(name);
    if (lower == "payload") {
        report->payloadIsFile = true;
        return;
    }
    if (lower.compare(0, 8, "payload/") != 0) return;
    report->hasPayload = true;
    std::string inner = lower.substr(8);
    if (inner.empty() || inner.back() == '/') return;  // a folder entry
    ++report->payloadFiles;
    if (inner == "tovkinemo.exe") report->hasExe = true;
    if (inner == "tovkinemo.root") report->hasRoot = true;
    if (inner == "assets/appicon.ico") report->hasIcon = true;
    if (encrypted) report->problems.push_back(name + " is encrypted; the unattended Shell copy cannot unpack it");
    if (compression != ZIP_CM_STORE && compression != ZIP_CM_DEFLATE)
        report->warnings.push_back(name + " uses compression method " + std::to_string(compression) +
                                   "; the Windows Shell unpacks only stored and deflated entries reliably");
}

void FinishPackageReport(PackageReport* report) {
    if (!report->hasPayload) {
        report->problems.push_back(report->payloadIsFile ? "\"Payload\" is a file, not a top-level folder"
                                                         : "the archive has no top-level \"Payload\" folder");
    } else {
        if (!report->hasExe) report->problems.push_back("\"Payload/TOVKinemo.exe\" is missing");
        if (!report->hasRoot) report->problems.push_back("\"Payload/tovkinemo.root\" is missing");
    }
    if (report->hasPayload && !report->hasIcon)
        report->warnings.push_back("\"Payload/Assets/AppIcon.ico\" is absent; the shortcut will use the program's icon");
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
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME))
            continue;
        bool encrypted = (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE;
        int compression = (st.valid & ZIP_STAT_COMP_METHOD) ? st.comp_method : ZIP_CM_STORE;
        AddPackageEntry(st.name, encrypted, compression, report);
    }
    zip_discard(archive);
    FinishPackageReport(report);
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

std::string NonAsciiNamesText(const PackageReport& report) {
    const std::vector<std::string>& names = report.nonAsciiNames;
    if (names.empty())
        return "";
    return std::to_string(names.size()) + (names.size() == 1 ? " entry name is" : " entry names are") +
           " not plain ASCII (\"" + names[0] + "\"" + (names.size() > 1 ? " and others" : "") +
           "); the Shell of Windows 7 and 8.1 is reported to ignore the UTF-8 flag and to unpack "
           "such names under other names, and the installer then fails every install there: "
           "use ASCII names in a package for win7";
}

void NoteWin7Names(const std::string& channel, const PackageReport& report, bool strict,
                   std::vector<std::string>* warnings, std::vector<std::string>* refusals) {
    std::string text = NonAsciiNamesText(report);
    if (channel != "win7" || text.empty())
        return;
    if (strict)
        refusals->push_back(channel + ": " + text + " (refused with --strict)");
    else
        warnings->push_back(channel + ": " + text);
}

namespace {

// A name the Windows Shell can unpack: valid UTF-8, none of \\ : * ? " < > | or control characters,
// not ending in a dot or space.
bool WindowsNameOk(const std::string& name, std::string* why) {
    if (!IsValidUtf8(name.c_str())) return *why = "is not valid UTF-8", false;
    for (char c : name) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || std::strchr("\\:*?\"<>|", c))
            return *why = "holds a character Windows does not allow in a file name", false;
    }
    if (name.back() == '.' || name.back() == ' ') return *why = "ends with a dot or space", false;
    // Device names stay devices on Windows whatever their extension ("con.txt" too).
    std::string stem = Lower(name.substr(0, name.find('.')));
    for (const char* device : {"con", "prn", "aux", "nul"})
        if (stem == device) return *why = "is a Windows device name", false;
    if (stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) && stem[3] >= '1' &&
        stem[3] <= '9')
        return *why = "is a Windows device name", false;
    return true;
}

// DOS date of 1980-01-01 00:00:00, the earliest a zip entry can carry.
constexpr zip_uint16_t kFixedDosDate = (0 << 9) | (1 << 5) | 1;
constexpr zip_uint16_t kFixedDosTime = 0;

}  // namespace

bool ListPackageFolder(const std::string& fromDir, std::vector<PackEntry>* entries, std::vector<std::string>* problems) {
    namespace fs = std::filesystem;
    entries->clear();
    std::error_code ec;
    if (!fs::is_directory(fromDir, ec)) {
        problems->push_back(fromDir + " is not a folder");
        return false;
    }
    entries->push_back(PackEntry{"Payload/", "", true});
    fs::recursive_directory_iterator it(fromDir, fs::directory_options::none, ec), end;
    if (ec) {
        problems->push_back("cannot read " + fromDir + ": " + ec.message());
        return false;
    }
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        const fs::directory_entry& e = *it;
        std::string relative = fs::relative(e.path(), fromDir, ec).generic_string();
        std::string why;
        if (!WindowsNameOk(e.path().filename().string(), &why)) {
            problems->push_back(relative + " " + why);
            continue;
        }
        fs::file_status st = e.symlink_status(ec);
        if (fs::is_symlink(st)) {
            problems->push_back(relative + " is a symbolic link; copy the file itself into the folder");
        } else if (fs::is_directory(st)) {
            entries->push_back(PackEntry{"Payload/" + relative + "/", "", true});
        } else if (fs::is_regular_file(st)) {
            entries->push_back(PackEntry{"Payload/" + relative, e.path().string(), false});
        } else {
            problems->push_back(relative + " is not a regular file or folder");
        }
    }
    if (ec) problems->push_back("cannot read " + fromDir + ": " + ec.message());
    // Byte order of the names, so that the archive does not depend on the order of the directory.
    std::sort(entries->begin(), entries->end(),
              [](const PackEntry& a, const PackEntry& b) { return a.name < b.name; });
    // Windows file names ignore case: two names that differ only in case would land on one file.
    std::vector<std::string> folded;
    for (const PackEntry& e : *entries) folded.push_back(Lower(e.name));
    std::sort(folded.begin(), folded.end());
    for (size_t i = 1; i < folded.size(); ++i)
        if (folded[i] == folded[i - 1]) problems->push_back(folded[i].substr(8) + " exists twice in other cases");
    return problems->empty();
}

bool WritePackage(const std::vector<PackEntry>& entries, const std::string& zipPath, std::string* error) {
    int zerr = 0;
    zip_t* z = zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &zerr);
    if (!z) {
        if (error) *error = "cannot create " + zipPath;
        return false;
    }
    for (const PackEntry& e : entries) {
        zip_int64_t index;
        if (e.folder) {
            index = zip_dir_add(z, e.name.substr(0, e.name.size() - 1).c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t* src = zip_source_file(z, e.source.c_str(), 0, -1);
            index = src ? zip_file_add(z, e.name.c_str(), src, ZIP_FL_ENC_UTF_8) : -1;
            if (src && index < 0) zip_source_free(src);
        }
        zip_uint64_t i = static_cast<zip_uint64_t>(index);
        if (index < 0 ||
            zip_set_file_compression(z, i, e.folder ? ZIP_CM_STORE : ZIP_CM_DEFLATE, e.folder ? 0 : 9) != 0 ||
            zip_file_set_dostime(z, i, kFixedDosTime, kFixedDosDate, 0) != 0 ||
            zip_file_set_external_attributes(z, i, 0, ZIP_OPSYS_DOS, e.folder ? 0x10 : 0x20) != 0) {
            if (error) *error = "cannot add " + e.name + ": " + zip_strerror(z);
            zip_discard(z);
            return false;
        }
    }
    if (zip_close(z) != 0) {
        if (error) *error = "cannot write " + zipPath + ": " + zip_strerror(z);
        zip_discard(z);
        return false;
    }
    return true;
}

}  // namespace pub
