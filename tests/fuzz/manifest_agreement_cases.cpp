// Writes a fixed sample of mutated manifests into a folder and prints, for each and for both
// channels, what the program's reader makes of it; manifest_agreement.py compares that with the
// publisher's verify.
// Usage: manifest_agreement_cases.exe UNIX_FOLDER COUNT
// Output lines: "INDEX CHANNEL 0" (refused) or "INDEX CHANNEL 1 xVERSION xURL xSHA256 SIZE"
// (accepted; texts as x followed by the hex of their bytes).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "mutate.h"
#include "trust/trust.h"

using namespace fuzz;

namespace {

const uint64_t AGREEMENT_SEED = 0x6167726565ull;

std::string Hex(const char* text) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "x";
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
        out += digits[*p >> 4];
        out += digits[*p & 15];
    }
    return out;
}

bool WriteCase(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileW(WinPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3)
        return 2;
    std::string folder;
    for (const wchar_t* p = argv[1]; *p; ++p)
        folder += (char)*p;
    uint64_t count = (uint64_t)_wtoi64(argv[2]);
    std::vector<std::string> seeds;
    for (const char* name : {"plain.json", "compact.json", "crlf.json"})
        seeds.push_back(ReadFileBytes(std::string(TOV_FUZZ_SEED_DIR) + "/" + name));
    for (const std::string& seed : seeds)
        if (seed.empty())
            return 3;

    static ManifestEntry entry;
    for (uint64_t i = 0; i < count; ++i) {
        Rng rng(CaseSeed(AGREEMENT_SEED, i));
        // The first cases are the seeds themselves, so accepted manifests are always among them.
        std::string input =
            i < seeds.size() ? seeds[i] : MutateManifest(seeds[rng.Below((uint32_t)seeds.size())], rng);
        char name[32];
        snprintf(name, sizeof(name), "/case-%04llu.json", (unsigned long long)i);
        if (!WriteCase(folder + name, input))
            return 4;
        // The program reads a buffer with a zero byte after the data.
        std::string data = input + '\0';
        for (const char* channel : {"win7", "win10"}) {
            if (ReadManifest(data.data(), (UINT32)input.size(), channel, &entry))
                printf("%llu %s 1 %s %s %s %llu\n", (unsigned long long)i, channel,
                       Hex(entry.latestVersion).c_str(), Hex(entry.url).c_str(), Hex(entry.sha256).c_str(),
                       (unsigned long long)entry.sizeBytes);
            else
                printf("%llu %s 0\n", (unsigned long long)i, channel);
        }
    }
    return 0;
}
