// Whole files: read at once, written whole or not at all.
#pragma once

#include <string>
#include <vector>

namespace pub {

using Bytes = std::vector<unsigned char>;

bool ReadFileBytes(const std::string& path, Bytes* out, std::string* error);
// Writes a whole file or nothing: the bytes go to a temporary file beside path, which then takes
// its place; an existing path is refused unless overwrite is set. mode is the new file's mode.
bool WriteFileBytes(const std::string& path, const void* data, size_t size, bool overwrite, unsigned mode,
                    std::string* error);

// The two halves of WriteFileBytes, for outputs that must all be written or none: PrepareFile
// writes the temporary file, CommitFile moves it into place (removing it on failure), DiscardFile
// removes it.
bool PrepareFile(const std::string& path, const void* data, size_t size, unsigned mode, std::string* tempPath,
                 std::string* error);
bool CommitFile(const std::string& tempPath, const std::string& path, bool overwrite, std::string* error);
void DiscardFile(const std::string& tempPath);

} // namespace pub
