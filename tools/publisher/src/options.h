// The command table entry and the one option parser every command shares.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace pub {

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

extern const char kExitCodes[];

// The options of one command line, in the order given.
struct Args {
    std::vector<std::pair<std::string, std::string>> options; // "--name", value
    std::vector<std::string> flags;                           // flags given, such as "--force"
    std::vector<std::string> operands;                        // arguments that are not options
    bool help = false;
    bool force = false;
    std::string error;
    bool Flag(const std::string& name) const;
    bool Has(const std::string& option) const; // a value option given at least once
};

// One command: its name, the line the usage lists, its help, the options it takes (null-terminated
// lists) and what runs it once the options are parsed. A new command is a file defining one of these
// and a line in the table in main.cpp.
struct Command {
    const char* name;
    const char* summary;
    const char* help;
    const char* const* valueOptions; // "--name value" or "--name=value"
    const char* const* flagOptions;  // no value
    int (*run)(const Args& args);
    const char* operand = nullptr; // what an argument that is not an option names (such as "URL"), or null
};

// Parses "--name value" and "--name=value" for the command's value options; --help, -h and its
// flags take no value. Arguments that do not start with "-" are operands, before or after the
// options, for a command that has one. False with args->error on an unknown option or a missing value.
bool ParseArgs(int argc, char** argv, int first, const Command& command, Args* args);

// The single value of an option; false with a message when missing or repeated.
bool Single(const Args& args, const std::string& name, std::string* value, std::string* error);

// The value of an option that may be left out (value untouched then); false when repeated.
bool Optional(const Args& args, const std::string& name, std::string* value, std::string* error);

// "tovpublish COMMAND: message" on standard error; exit code 1.
int Refuse(const std::string& command, const std::string& message);
// The message, the command's help and the exit codes on standard error; exit code 2.
int UsageError(const std::string& command, const std::string& message, const char* help);
// The help and the exit codes on standard output; exit code 0.
int Help(const char* help);

// Parses the command's options and runs it (or shows its help).
int RunCommand(const Command& command, int argc, char** argv);

} // namespace pub
