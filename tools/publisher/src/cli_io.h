// Files, standard input and output, and JSON text as the commands use them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "signature.h"
#include "verify.h"

namespace pub {

bool FileExists(const std::string& path);
// "-" names standard input or output.
bool IsStdio(const std::string& path);
// A path as messages show it.
const char* Shown(const std::string& path);
// True when both names lead to one file (also through links), or name one file yet to be made.
bool SameFile(const std::string& a, const std::string& b);
std::string ParentFolder(const std::string& path);

// Whether a file could be created at path: its folder exists and is writable, and it does not
// exist unless it may be replaced. False with a message otherwise.
bool CanCreate(const std::string& path, bool force, std::string* why);

bool WriteStdout(const void* data, size_t size, std::string* error);
// An output file, or standard output for "-".
bool WriteOutput(const std::string& path, const std::string& data, bool force, unsigned mode,
                 std::string* error);
// An input file, or standard input for "-".
bool ReadInput(const std::string& path, Bytes* out, std::string* error);
// The output must not be one of the inputs, whatever --force says.
bool OutputIsInput(const std::string& output, const std::vector<std::string>& inputs, std::string* why);

// JSON string: quote, backslash and control characters escaped; a byte that does not start valid
// UTF-8 is written as the code point of the same value, so that any text gives valid JSON.
std::string Json(const std::string& text);
std::string JsonList(const std::vector<std::string>& items);
// ",\"name\":true" or false for a member present in the manifest; nothing when it is absent.
std::string JsonFlag(const char* name, FlagMember flag);
// A channel's object as verify and probe print it, left open for the command's own fields.
std::string JsonChannelOpen(const ChannelResult& c);

} // namespace pub
