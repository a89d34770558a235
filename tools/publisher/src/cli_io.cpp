#include "cli_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include "reader.h"

namespace pub {

bool FileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool IsStdio(const std::string& path) {
    return path == "-";
}

// A path as messages show it.
const char* Shown(const std::string& path) {
    return IsStdio(path) ? "standard output" : path.c_str();
}

// True when both names lead to one file (also through links), or name one file yet to be made.
bool SameFile(const std::string& a, const std::string& b) {
    if (IsStdio(a) || IsStdio(b))
        return false;
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return a == b;
}

std::string ParentFolder(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether a file could be created at path: its folder exists and is writable, and it does not
// exist unless it may be replaced. False with a message otherwise.
bool CanCreate(const std::string& path, bool force, std::string* why) {
    if (IsStdio(path))
        return true;
    struct stat st;
    std::string folder = ParentFolder(path);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *why = "cannot create " + path + ": the folder " + folder + " does not exist";
        return false;
    }
    if (::access(folder.c_str(), W_OK) != 0) {
        *why = "cannot create " + path + ": the folder " + folder + " is not writable";
        return false;
    }
    if (!force && FileExists(path)) {
        *why = path + " already exists (use --force to replace it)";
        return false;
    }
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *why = path + " is a folder";
        return false;
    }
    return true;
}

bool WriteStdout(const void* data, size_t size, std::string* error) {
    if (std::fwrite(data, 1, size, stdout) != size || std::fflush(stdout) != 0) {
        *error = "cannot write to standard output";
        return false;
    }
    return true;
}

// An output file, or standard output for "-".
bool WriteOutput(const std::string& path, const std::string& data, bool force, unsigned mode,
                 std::string* error) {
    if (IsStdio(path))
        return WriteStdout(data.data(), data.size(), error);
    return WriteFileBytes(path, data.data(), data.size(), force, mode, error);
}

// An input file, or standard input for "-".
bool ReadInput(const std::string& path, Bytes* out, std::string* error) {
    if (!IsStdio(path))
        return ReadFileBytes(path, out, error);
    out->clear();
    unsigned char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), stdin)) > 0)
        out->insert(out->end(), buf, buf + n);
    if (std::ferror(stdin)) {
        *error = "cannot read standard input";
        return false;
    }
    return true;
}

// The output must not be one of the inputs, whatever --force says.
bool OutputIsInput(const std::string& output, const std::vector<std::string>& inputs, std::string* why) {
    for (const std::string& in : inputs)
        if (SameFile(output, in)) {
            *why = "the output " + output + " is the input " + in +
                   "; it is never overwritten, not even with --force";
            return true;
        }
    return false;
}

std::string Json(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b < 0x20 || b == 0x7F) {
            out += "\\u00";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            std::string sequence = text.substr(i, length);
            if (length > 1 && sequence.size() == length && IsValidUtf8(sequence.c_str())) {
                out += sequence;
                i += length - 1;
            } else {
                out += "\\u00";
                out += kHex[b >> 4];
                out += kHex[b & 15];
            }
        }
    }
    return out + "\"";
}

std::string JsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i)
        out += (i ? "," : "") + Json(items[i]);
    return out + "]";
}

std::string JsonFlag(const char* name, FlagMember flag) {
    if (flag == FlagMember::Absent)
        return "";
    return ",\"" + std::string(name) + "\":" + (flag == FlagMember::True ? "true" : "false");
}

std::string JsonChannelOpen(const ChannelResult& c) {
    std::string out = "{\"channel\":" + Json(c.channel) +
                      ",\"installer\":" + Json(c.installerAccepts ? "accepts" : "refuses") +
                      ",\"ok\":" + (c.ok ? "true" : "false");
    if (c.installerAccepts)
        out += ",\"version\":" + Json(c.latestVersion) + ",\"url\":" + Json(c.url) +
               ",\"sizeBytes\":" + std::to_string(c.sizeBytes) + ",\"sha256\":" + Json(c.sha256) +
               JsonFlag("reuse", c.reuse);
    return out;
}

} // namespace pub
