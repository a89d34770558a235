#include "options.h"

#include <cstdio>

namespace pub {

const char kExitCodes[] =
    "\n"
    "exit codes: 0 done (or acceptable), 1 refused (the reason is on standard error), 2 usage error.\n";

namespace {

bool Listed(const char* const* names, const std::string& name) {
    for (; names && *names; ++names)
        if (name == *names)
            return true;
    return false;
}

} // namespace

bool Args::Flag(const std::string& name) const {
    for (const std::string& f : flags)
        if (f == name)
            return true;
    return false;
}

bool Args::Has(const std::string& option) const {
    for (const auto& o : options)
        if (o.first == option)
            return true;
    return false;
}

bool ParseArgs(int argc, char** argv, int first, const Command& command, Args* args) {
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            args->help = true;
            continue;
        }
        if (Listed(command.flagOptions, a)) {
            args->flags.push_back(a);
            args->force = args->force || a == "--force";
            continue;
        }
        if (command.operand && !a.empty() && a[0] != '-') {
            args->operands.push_back(a);
            continue;
        }
        std::string name = a, value;
        bool hasValue = false;
        size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            hasValue = true;
        }
        if (!Listed(command.valueOptions, name)) {
            args->error = "unknown option " + a;
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                args->error = name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        args->options.emplace_back(name, value);
    }
    return true;
}

bool Single(const Args& args, const std::string& name, std::string* value, std::string* error) {
    int count = 0;
    for (const auto& o : args.options)
        if (o.first == name) {
            *value = o.second;
            ++count;
        }
    if (count == 1)
        return true;
    *error = count == 0 ? "missing " + name : name + " given more than once";
    return false;
}

bool Optional(const Args& args, const std::string& name, std::string* value, std::string* error) {
    return !args.Has(name) || Single(args, name, value, error);
}

int Refuse(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "tovpublish %s: %s\n", command.c_str(), message.c_str());
    return kExitRefused;
}

int UsageError(const std::string& command, const std::string& message, const char* help) {
    std::fprintf(stderr, "tovpublish %s: %s\n\n%s%s", command.c_str(), message.c_str(), help, kExitCodes);
    return kExitUsage;
}

int Help(const char* help) {
    std::fputs(help, stdout);
    std::fputs(kExitCodes, stdout);
    return 0;
}

int RunCommand(const Command& command, int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, 2, command, &args))
        return UsageError(command.name, args.error, command.help);
    if (args.help)
        return Help(command.help);
    return command.run(args);
}

} // namespace pub
