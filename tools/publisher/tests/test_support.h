// Helpers shared by the publisher tests: temp directories, files, zips, keys, running the tool.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "signature.h"

namespace pubtest {

std::string RepoPath(const std::string& relative);
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);

// A fresh directory under the system temp dir, removed with its files on destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string path;
    std::string File(const std::string& name) const { return path + "/" + name; }
};

// A zip at path with the given (name, content) entries; a name ending in "/" is a folder.
void MakeZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries);

std::string DevPrivatePem();
std::string DevPublicPem();
std::string OtherPrivatePem();

// Signature text (one base64 line with LF) of bytes with the development key.
std::string SignText(const std::string& manifest, const std::string& privatePem);

// Runs tovpublish with the arguments; returns the exit code and fills the combined output (or
// standard output alone with stdoutOnly). stdinPath, if not empty, becomes standard input.
int RunTool(const std::vector<std::string>& args, std::string* output, bool stdoutOnly = false,
            const std::string& stdinPath = "");

}  // namespace pubtest
