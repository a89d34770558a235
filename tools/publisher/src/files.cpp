#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pub {

namespace {

bool Fail(std::string* error, const std::string& text) {
    if (error)
        *error = text;
    return false;
}

} // namespace

bool ReadFileBytes(const std::string& path, Bytes* out, std::string* error) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return Fail(error, "cannot open " + path + ": " + std::strerror(errno));
    out->clear();
    unsigned char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        out->insert(out->end(), buf, buf + n);
    bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad)
        return Fail(error, "cannot read " + path);
    return true;
}

bool PrepareFile(const std::string& path, const void* data, size_t size, unsigned mode, std::string* tempPath,
                 std::string* error) {
    std::string pattern = path + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0)
        return Fail(error, "cannot create " + path + ": " + std::strerror(errno));
    *tempPath = name.data();
    const char* p = static_cast<const char*>(data);
    size_t left = size;
    bool ok = ::fchmod(fd, mode) == 0;
    while (ok && left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0 && errno == EINTR)
            continue;
        ok = w >= 0;
        if (ok) {
            p += w;
            left -= static_cast<size_t>(w);
        }
    }
    ok = ok && ::fsync(fd) == 0;
    std::string why = std::strerror(errno);
    if (::close(fd) != 0 && ok) {
        ok = false;
        why = std::strerror(errno);
    }
    if (!ok) {
        DiscardFile(*tempPath);
        return Fail(error, "cannot write " + path + ": " + why);
    }
    return true;
}

bool CommitFile(const std::string& tempPath, const std::string& path, bool overwrite, std::string* error) {
    if (overwrite) {
        if (::rename(tempPath.c_str(), path.c_str()) == 0)
            return true;
    } else {
        // A hard link never replaces an existing file; the temporary name then goes.
        if (::link(tempPath.c_str(), path.c_str()) == 0) {
            ::unlink(tempPath.c_str());
            return true;
        }
        if (errno == EPERM || errno == ENOTSUP) {
            // File systems without hard links: check, then move.
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0) {
                if (::rename(tempPath.c_str(), path.c_str()) == 0)
                    return true;
            } else {
                errno = EEXIST;
            }
        }
    }
    std::string why = std::strerror(errno);
    bool exists = errno == EEXIST;
    DiscardFile(tempPath);
    if (exists)
        return Fail(error, path + " already exists (use --force to replace it)");
    return Fail(error, "cannot create " + path + ": " + why);
}

void DiscardFile(const std::string& tempPath) {
    ::unlink(tempPath.c_str());
}

bool WriteFileBytes(const std::string& path, const void* data, size_t size, bool overwrite, unsigned mode,
                    std::string* error) {
    std::string temp;
    return PrepareFile(path, data, size, mode, &temp, error) && CommitFile(temp, path, overwrite, error);
}

} // namespace pub
