// Random argument vectors through the real ParseCommandLine: every argument ends right before a
// guard page, the request keeps its invariants (terminated texts with nothing after the
// terminator, flags 0 or 1, a known channel, nothing written around it) and a reference parser
// written here with std::wstring agrees field by field.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "fuzz_util.h"

using namespace fuzz;

namespace {

const uint64_t COMMAND_LINE_SEED = 0x636F6D6D616E646Cull;
const uint64_t COMMAND_LINE_CASES = 100000;
const size_t MAX_ARGUMENTS = 24;
const size_t MAX_ARGUMENT_UNITS = 1500;

const wchar_t* const OPTIONS[] = {L"--test",        L"--no-launch", L"--no-shortcut",        L"--shortcut",
                                  L"--install-dir", L"--cache-dir", L"--shortcut-dir",       L"--manifest",
                                  L"--signature",   L"--package",   L"--cancel-after-bytes", L"--channel"};
const size_t OPTION_COUNT = 12;
const size_t FIRST_VALUE_OPTION = 4; // options from here on take a value
const size_t PATH_OPTIONS = 6;       // --install-dir to --package, in the order of the paths below

// ---- the reference parser ----

struct ModelRequest {
    std::wstring
        paths[PATH_OPTIONS]; // installDir, cacheDir, shortcutDir, manifestPath, signaturePath, packagePath
    uint32_t createShortcut = 1;
    uint32_t noLaunch = 0;
    uint32_t testMode = 0;
    uint64_t cancelAfterBytes = 0;
    std::string channel;
};

std::wstring LowerAToZ(const std::wstring& text) {
    std::wstring lowered = text;
    for (wchar_t& c : lowered)
        if (c >= L'A' && c <= L'Z')
            c = (wchar_t)(c - L'A' + L'a');
    return lowered;
}

void ModelParse(const std::vector<std::wstring>& arguments, ModelRequest* model) {
    for (size_t i = 1; i < arguments.size(); ++i) {
        std::wstring name = LowerAToZ(arguments[i]);
        size_t option = OPTION_COUNT;
        for (size_t k = 0; k < OPTION_COUNT; ++k)
            if (name == OPTIONS[k])
                option = k;
        if (option == 0) {
            model->testMode = model->noLaunch = 1;
            model->createShortcut = 0;
        } else if (option == 1) {
            model->noLaunch = 1;
        } else if (option == 2) {
            model->createShortcut = 0;
        } else if (option == 3) {
            model->createShortcut = 1;
        }
        if (option < FIRST_VALUE_OPTION || option == OPTION_COUNT)
            continue;
        if (i + 1 == arguments.size())
            return; // a value option standing last is dropped
        const std::wstring& value = arguments[++i];
        if (option < FIRST_VALUE_OPTION + PATH_OPTIONS) {
            model->paths[option - FIRST_VALUE_OPTION] = value.substr(0, 259);
        } else if (option == 10) {
            uint64_t count = 0;
            for (size_t d = 0; d < value.size() && value[d] >= L'0' && value[d] <= L'9'; ++d)
                count = count * 10 + (uint64_t)(value[d] - L'0'); // wraps modulo 2^64
            model->cancelAfterBytes = count;
        } else {
            std::wstring word = LowerAToZ(value);
            if (word == L"win7" || word == L"win10")
                model->channel.assign(word.begin(), word.end());
        }
    }
}

WCHAR* PathMember(InstallRequest* request, size_t index) {
    WCHAR* members[PATH_OPTIONS] = {request->installDir,   request->cacheDir,      request->shortcutDir,
                                    request->manifestPath, request->signaturePath, request->packagePath};
    return members[index];
}

const char* const PATH_NAMES[PATH_OPTIONS] = {"installDir",   "cacheDir",      "shortcutDir",
                                              "manifestPath", "signaturePath", "packagePath"};

void FillExpected(const ModelRequest& model, InstallRequest* expected) {
    memset(expected, 0, sizeof(*expected));
    for (size_t k = 0; k < PATH_OPTIONS; ++k)
        memcpy(PathMember(expected, k), model.paths[k].data(), model.paths[k].size() * sizeof(WCHAR));
    expected->createShortcut = model.createShortcut;
    expected->noLaunch = model.noLaunch;
    expected->testMode = model.testMode;
    expected->cancelAfterBytes = model.cancelAfterBytes;
    memcpy(expected->channel, model.channel.data(), model.channel.size());
}

// ---- invariants that hold whatever the arguments ----

std::string InvariantProblems(InstallRequest* request) {
    std::string problems;
    for (size_t k = 0; k < PATH_OPTIONS; ++k) {
        const WCHAR* text = PathMember(request, k);
        size_t length = 0;
        while (length < 260 && text[length])
            ++length;
        if (length >= 260) {
            problems += std::string(PATH_NAMES[k]) + " is not terminated within 260 units; ";
            continue;
        }
        for (size_t u = length; u < 260; ++u) {
            if (text[u]) {
                problems += std::string(PATH_NAMES[k]) + " has a non-zero unit at " + std::to_string(u) +
                            " after its terminator at " + std::to_string(length) + "; ";
                break;
            }
        }
    }
    size_t channelLength = 0;
    while (channelLength < 16 && request->channel[channelLength])
        ++channelLength;
    std::string channel(request->channel, channelLength);
    if (channelLength >= 16)
        problems += "channel is not terminated within 16 bytes; ";
    else if (channel != "" && channel != "win7" && channel != "win10")
        problems += "channel holds \"" + Escape(channel) + "\"; ";
    for (size_t b = channelLength; b < 16; ++b) {
        if (request->channel[b]) {
            problems += "channel has a non-zero byte after its terminator; ";
            break;
        }
    }
    if (request->createShortcut > 1 || request->noLaunch > 1 || request->testMode > 1)
        problems += "a flag is neither 0 nor 1; ";
    return problems;
}

std::string FieldDifferences(InstallRequest* actual, InstallRequest* expected) {
    std::string differences;
    for (size_t k = 0; k < PATH_OPTIONS; ++k)
        if (memcmp(PathMember(actual, k), PathMember(expected, k), 260 * sizeof(WCHAR)) != 0)
            differences += std::string(PATH_NAMES[k]) + " \"" + EscapeWide(PathMember(actual, k), 60) +
                           "\" expected \"" + EscapeWide(PathMember(expected, k), 60) + "\"; ";
    if (actual->createShortcut != expected->createShortcut)
        differences += "createShortcut " + std::to_string(actual->createShortcut) + "; ";
    if (actual->noLaunch != expected->noLaunch)
        differences += "noLaunch " + std::to_string(actual->noLaunch) + "; ";
    if (actual->testMode != expected->testMode)
        differences += "testMode " + std::to_string(actual->testMode) + "; ";
    if (actual->cancelAfterBytes != expected->cancelAfterBytes)
        differences += "cancelAfterBytes " + std::to_string(actual->cancelAfterBytes) + " expected " +
                       std::to_string(expected->cancelAfterBytes) + "; ";
    if (memcmp(actual->channel, expected->channel, 16) != 0)
        differences += "channel \"" + Escape(std::string(actual->channel, 16)) + "\" expected \"" +
                       Escape(std::string(expected->channel, 16)) + "\"; ";
    if (differences.empty() && memcmp(actual, expected, sizeof(*actual)) != 0)
        differences += "bytes between the members were written; ";
    return differences;
}

// ---- argument generator ----

// Characters that resemble ASCII letters or the dash but are not A-Z, and units whose low byte
// equals the letter (a parser that drops the high byte would take them for it).
std::vector<wchar_t> LookAlikes(wchar_t c) {
    wchar_t lower = (wchar_t)(c >= L'A' && c <= L'Z' ? c + 32 : c);
    std::vector<wchar_t> found;
    switch (lower) {
    case L'a':
        found = {0x0430, 0x0251, 0x00E0, 0x00C0};
        break;
    case L'c':
        found = {0x0441, 0x217D, 0x00E7, 0x0421};
        break;
    case L'd':
        found = {0x217E, 0x0501};
        break;
    case L'e':
        found = {0x0435, 0x0415, 0x00E9, 0x212F};
        break;
    case L'h':
        found = {0x04BB, 0x0570, 0x210E};
        break;
    case L'i':
        found = {0x0131, 0x0130, 0x0456, 0x0406, 0x00ED, 0x2170};
        break;
    case L'k':
        found = {0x212A, 0x043A, 0x03BA};
        break;
    case L'l':
        found = {0x217C, 0x04CF, 0x0399};
        break;
    case L'n':
        found = {0x0578, 0x00F1, 0x043F};
        break;
    case L'o':
        found = {0x043E, 0x03BF, 0x041E, 0x00F6, 0x0030};
        break;
    case L'p':
        found = {0x0440, 0x03C1, 0x0420};
        break;
    case L's':
        found = {0x017F, 0x0455, 0x0405, 0x00DF};
        break;
    case L't':
        found = {0x0442, 0x03C4, 0x0422};
        break;
    case L'u':
        found = {0x057D, 0x00FC, 0x03C5};
        break;
    case L'w':
        found = {0x0461, 0x051D, 0x0448};
        break;
    case L'g':
        found = {0x0261, 0x0581};
        break;
    case L'r':
        found = {0x0433, 0x0280};
        break;
    case L'y':
        found = {0x0443, 0x04AF};
        break;
    case L'b':
        found = {0x0184, 0x042C};
        break;
    case L'f':
        found = {0x0192, 0x017F};
        break;
    case L'm':
        found = {0x043C, 0x217F};
        break;
    case L'-':
        found = {0x2010, 0x2011, 0x2012, 0x2013, 0x2212, 0xFE63, 0xFF0D, 0x00AD, 0x000D};
        break;
    default:
        break;
    }
    found.push_back((wchar_t)(0x0100 | lower)); // same low byte
    found.push_back((wchar_t)(0xFF00 | lower));
    if (lower >= L'a' && lower <= L'z')
        found.push_back((wchar_t)(lower + 0xFEE0 - 32)); // full-width capital
    return found;
}

std::wstring RandomCase(const std::wstring& text, Rng& rng) {
    std::wstring out = text;
    uint32_t style = rng.Below(4);
    for (wchar_t& c : out) {
        bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
        if (letter && (style == 1 || (style == 2 && rng.Percent(50))))
            c ^= 0x20;
    }
    return out;
}

std::wstring CorruptName(const std::wstring& name, Rng& rng) {
    std::wstring out = name;
    switch (rng.Below(8)) {
    case 0:
    case 1:
    case 2: {
        size_t at = rng.Below((uint32_t)out.size());
        std::vector<wchar_t> choices = LookAlikes(out[at]);
        out[at] = choices[rng.Below((uint32_t)choices.size())];
        break;
    }
    case 3:
        out.erase(rng.Below((uint32_t)out.size()), 1);
        break;
    case 4:
        out.insert(rng.Below((uint32_t)out.size() + 1), 1, rng.Percent(50) ? L'x' : (wchar_t)0x200B);
        break;
    case 5:
        out = rng.Percent(50) ? out + L" " : L" " + out;
        break;
    case 6:
        out = rng.Percent(50) ? out.substr(1) : L"-" + out;
        break;
    default:
        out += rng.Percent(50) ? L"=x" : L"\x00A0";
        break;
    }
    return out;
}

std::wstring OptionArgument(Rng& rng, size_t* option) {
    *option = rng.Below(OPTION_COUNT);
    std::wstring name = RandomCase(OPTIONS[*option], rng);
    if (rng.Percent(25)) {
        name = CorruptName(name, rng);
        *option = OPTION_COUNT; // most likely no option any more; the model decides
    }
    return name;
}

wchar_t RandomUnit(Rng& rng) {
    static const wchar_t specials[] = {L'\\',  L'/',   L':',   L'"',   L' ',   L'.',
                                       L'-',   0x00A0, 0x0130, 0x212A, 0x017F, 0xFEFF,
                                       0xFFFD, 0xFFFF, 0x200B, 0x0001, 0x001F, 0x007F};
    switch (rng.Below(6)) {
    case 0:
        return (wchar_t)rng.Range(0x20, 0x7E);
    case 1:
        return (wchar_t)(rng.Percent(50) ? rng.Range(L'a', L'z') : rng.Range(L'A', L'Z'));
    case 2:
        return (wchar_t)rng.Range(0x4E00, 0x9FFF);
    case 3:
        return (wchar_t)rng.Range(0xD800, 0xDFFF); // surrogate halves, paired or not
    case 4:
        return specials[rng.Below(sizeof(specials) / sizeof(specials[0]))];
    default:
        return (wchar_t)rng.Range(0x0080, 0xFFFF);
    }
}

std::wstring RandomText(Rng& rng, size_t length) {
    std::wstring text;
    for (size_t i = 0; i < length; ++i)
        text += RandomUnit(rng);
    return text;
}

std::wstring Digits(Rng& rng, size_t length) {
    std::wstring digits;
    for (size_t i = 0; i < length; ++i)
        digits += (wchar_t)(L'0' + rng.Below(10));
    return digits;
}

std::wstring ValueArgument(Rng& rng) {
    static const wchar_t* const fixed[] = {L"",
                                           L"4096x",
                                           L"-5",
                                           L"+5",
                                           L" 5",
                                           L"0x10",
                                           L"\xFF11\xFF12",
                                           L"\x0663",
                                           L"18446744073709551615",
                                           L"18446744073709551616",
                                           L"--",
                                           L"---",
                                           L"-",
                                           L"win11",
                                           L"win8",
                                           L"win 7",
                                           L"win7 ",
                                           L" win10",
                                           L"win07",
                                           L"\xFF57in7",
                                           L"w\x0456n7",
                                           L"win1O",
                                           L"WIN10\x200B",
                                           L"win10\x0000",
                                           L"C:\\Program Files\\TOV Kinemo",
                                           L"Z:\\tmp\\a b"};
    switch (rng.Below(10)) {
    case 0:
        return fixed[rng.Below(sizeof(fixed) / sizeof(fixed[0]))];
    case 1: { // the channel words in any case
        return RandomCase(rng.Percent(50) ? L"win7" : L"win10", rng);
    }
    case 2: { // long, around and far above the 259-unit cut
        static const size_t lengths[] = {258, 259, 260, 261, 300};
        size_t length = rng.Percent(60) ? lengths[rng.Below(5)] : rng.Range(300, 1000);
        return RandomText(rng, length);
    }
    case 3:
        return Digits(rng, rng.Range(1, 19));
    case 4: // huge numbers wrap
        return Digits(rng, rng.Range(20, 80));
    case 5:
        return Digits(rng, rng.Range(0, 12)) + RandomText(rng, rng.Range(1, 6));
    case 6: { // text that looks like an option
        size_t option = 0;
        return rng.Percent(70) ? OptionArgument(rng, &option) : L"--" + RandomText(rng, rng.Range(0, 10));
    }
    default:
        return RandomText(rng, rng.Range(1, 30));
    }
}

std::vector<std::wstring> RandomVector(Rng& rng) {
    std::vector<std::wstring> arguments;
    // Index 0 is the program's own path; sometimes it looks like an option, which must not count.
    size_t option = 0;
    arguments.push_back(rng.Percent(90) ? L"C:\\TOV\\TOVKinemoDownloader.exe" : OptionArgument(rng, &option));
    size_t count = rng.Percent(95) ? rng.Range(0, 12) : rng.Range(13, MAX_ARGUMENTS - 1);
    for (size_t i = 0; i < count; ++i)
        arguments.push_back(rng.Percent(55) ? OptionArgument(rng, &option) : ValueArgument(rng));
    if (rng.Percent(10)) // a value option standing last
        arguments.push_back(
            RandomCase(OPTIONS[FIRST_VALUE_OPTION + rng.Below(OPTION_COUNT - FIRST_VALUE_OPTION)], rng));
    for (std::wstring& argument : arguments) {
        argument = argument.substr(0, argument.find(L'\0')); // arguments are zero-terminated texts
        if (argument.size() > MAX_ARGUMENT_UNITS)
            argument.resize(MAX_ARGUMENT_UNITS);
    }
    return arguments;
}

// The request with guard bytes around it, to catch writes outside the record.
struct Framed {
    unsigned char before[64];
    InstallRequest request;
    unsigned char after[64];
};

std::string DescribeVector(const std::vector<std::wstring>& arguments) {
    std::string text;
    for (size_t i = 0; i < arguments.size(); ++i)
        text += (i ? " [" : "[") + EscapeWide(arguments[i], 80) + "]";
    return text;
}

std::string VectorBytes(const std::vector<std::wstring>& arguments) {
    std::string bytes;
    for (const std::wstring& argument : arguments) {
        bytes.append((const char*)argument.data(), argument.size() * sizeof(wchar_t));
        bytes.append(2, '\0');
    }
    return bytes;
}

} // namespace

TEST(CommandLineFuzz, RandomVectorsAgreeWithReferenceParser) {
    std::vector<GuardedRegion*> slots;
    for (size_t i = 0; i < MAX_ARGUMENTS + 1; ++i) {
        slots.push_back(CreateGuardedRegion((MAX_ARGUMENT_UNITS + 1) * sizeof(WCHAR)));
        ASSERT_NE(nullptr, slots.back());
    }
    FailureLog log{"command-line", 0, {}};
    uint64_t cases = COMMAND_LINE_CASES * Scale(), arguments = 0, chained = 0, testModes = 0, withChannel = 0,
             withCount = 0, longPaths = 0;
    LARGE_INTEGER started = Now();
    uint64_t ran = 0;
    for (uint64_t i = 0; i < cases; ++i) {
        if (!CaseSelected(i))
            continue;
        ++ran;
        Rng rng(CaseSeed(COMMAND_LINE_SEED, i));
        Framed framed;
        memset(&framed, 0xA5, sizeof(framed));
        memset(&framed.request, 0, sizeof(framed.request));
        framed.request.createShortcut = 1;
        ModelRequest model;
        std::string problems, input;
        // Mostly one vector into a fresh request; sometimes a second one into the same request.
        uint32_t rounds = rng.Percent(20) ? 2 : 1;
        chained += rounds - 1;
        for (uint32_t round = 0; round < rounds; ++round) {
            std::vector<std::wstring> vector = RandomVector(rng);
            input += VectorBytes(vector);
            SetCurrentCase("command-line", i, &input);
            std::vector<WCHAR*> argv;
            for (size_t a = 0; a < vector.size(); ++a) {
                std::wstring terminated = vector[a] + L'\0';
                argv.push_back(
                    (WCHAR*)PlaceBytes(slots[a], terminated.data(), terminated.size() * sizeof(WCHAR)));
            }
            arguments += vector.size();
            ParseCommandLine((int)argv.size(), argv.data(), &framed.request);
            size_t past = 0;
            if (TakeGuardFault(&past))
                problems += "read past the terminator of an argument; ";
            ModelParse(vector, &model);
            if (problems.empty() && round + 1 < rounds)
                continue;
            InstallRequest expected;
            FillExpected(model, &expected);
            problems += InvariantProblems(&framed.request);
            problems += FieldDifferences(&framed.request, &expected);
            for (size_t b = 0; b < 64; ++b) {
                if (framed.before[b] != 0xA5 || framed.after[b] != 0xA5) {
                    problems += "bytes outside the request were written; ";
                    break;
                }
            }
            if (!problems.empty()) {
                RecordFailure(&log, i, problems + "\n    vector: " + DescribeVector(vector), input);
                break;
            }
        }
        testModes += framed.request.testMode;
        withChannel += framed.request.channel[0] != 0;
        withCount += framed.request.cancelAfterBytes != 0;
        for (size_t k = 0; k < PATH_OPTIONS; ++k)
            longPaths += WideLength(PathMember(&framed.request, k)) == 259;
    }
    SetCurrentCase("", 0, nullptr);
    printf("[ fuzz ] command line: %llu vectors (%llu with a second vector into the same request), %llu "
           "arguments; "
           "results with test mode %llu, a channel %llu, a byte limit %llu, a path cut to 259 units %llu; "
           "%llu failing cases, %.0f ms\n",
           (unsigned long long)ran, (unsigned long long)chained, (unsigned long long)arguments,
           (unsigned long long)testModes, (unsigned long long)withChannel, (unsigned long long)withCount,
           (unsigned long long)longPaths, (unsigned long long)log.count, MillisecondsSince(started));
    EXPECT_EQ(0u, log.count) << FailureSummary(log);
}
