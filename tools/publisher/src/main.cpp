// tovpublish: the vendor's release tool for update.json, its signature and the packages.
#include <cstdio>
#include <cstring>
#include <string>

#include "options.h"

namespace pub {
extern const Command kKeygenCommand, kPackCommand, kManifestCommand, kSignCommand, kVerifyCommand,
    kProbeCommand, kDiffCommand;
}

using namespace pub;

namespace {

const char kVersion[] = "tovpublish 1.1\n";

// Every command, in the order the usage lists them.
const Command* const kCommands[] = {
    &kKeygenCommand, &kPackCommand,  &kManifestCommand, &kSignCommand,
    &kVerifyCommand, &kProbeCommand, &kDiffCommand,
};

const Command* FindCommand(const char* name) {
    for (const Command* c : kCommands)
        if (std::strcmp(c->name, name) == 0)
            return c;
    return nullptr;
}

std::string Usage() {
    std::string text = "usage: tovpublish <command> [options]\n"
                       "       tovpublish help <command> | --help | --version\n"
                       "\n"
                       "commands:\n";
    for (const Command* c : kCommands) {
        std::string name = c->name;
        text += "  " + name + std::string(name.size() < 10 ? 10 - name.size() : 1, ' ') + c->summary + "\n";
    }
    return text + "\n"
                  "Run 'tovpublish help <command>' for the options of a command. An output path of - means\n"
                  "standard output; messages then go to standard error.\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(Usage().c_str(), stderr);
        std::fputs(kExitCodes, stderr);
        return kExitUsage;
    }
    std::string command = argv[1];
    if (command == "--version") {
        std::fputs(kVersion, stdout);
        return 0;
    }
    if (command == "--help" || command == "-h" || (command == "help" && argc == 2))
        return Help(Usage().c_str());
    if (command == "help") {
        const Command* c = FindCommand(argv[2]);
        if (c && argc == 3)
            return Help(c->help);
        std::fprintf(stderr, "tovpublish: no command \"%s\"\n\n%s%s", argv[2], Usage().c_str(), kExitCodes);
        return kExitUsage;
    }
    if (const Command* c = FindCommand(argv[1]))
        return RunCommand(*c, argc, argv);
    std::fprintf(stderr, "tovpublish: unknown command \"%s\"\n\n%s%s", command.c_str(), Usage().c_str(),
                 kExitCodes);
    return kExitUsage;
}
