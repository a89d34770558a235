#include "fuzz_util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace fuzz {

uint64_t SplitMix(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Rng::Rng(uint64_t seed) {
    uint64_t s = seed;
    state = SplitMix(&s);
    if (state == 0)
        state = 0x2545F4914F6CDD1Dull; // xorshift must not start from zero
}

uint64_t Rng::Next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Dull;
}

uint32_t Rng::Below(uint32_t bound) {
    return bound == 0 ? 0 : (uint32_t)((Next() >> 32) % bound);
}

uint32_t Rng::Range(uint32_t low, uint32_t high) {
    return low + Below(high - low + 1);
}

bool Rng::Percent(uint32_t percent) {
    return Below(100) < percent;
}

uint64_t CaseSeed(uint64_t testSeed, uint64_t index) {
    uint64_t s = testSeed ^ (index * 0xD1B54A32D192ED03ull);
    return SplitMix(&s);
}

static std::string Environment(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

uint32_t Scale() {
    std::string text = Environment("TOV_FUZZ_SCALE");
    long value = text.empty() ? 1 : strtol(text.c_str(), nullptr, 10);
    if (value < 1)
        value = 1;
    if (value > 1000)
        value = 1000;
    return (uint32_t)value;
}

int64_t OnlyCase() {
    std::string text = Environment("TOV_FUZZ_CASE");
    return text.empty() ? -1 : (int64_t)strtoll(text.c_str(), nullptr, 10);
}

bool CaseSelected(uint64_t index) {
    static const int64_t only = OnlyCase();
    return only < 0 || (uint64_t)only == index;
}

// ---- guard pages and the fault handler ----

static const size_t MAX_REGIONS = 64;
static GuardedRegion* g_regions[MAX_REGIONS];
static size_t g_regionCount;
static volatile LONG g_faulted;
static size_t g_faultOffset;
static GuardedRegion* g_faultRegion;

static const char* g_caseLoop = "";
static uint64_t g_caseIndex;
static const std::string* g_caseInput;

static void SaveInput(const std::string& name, const std::string& input);

static LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* info) {
    EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    char* address = (char*)record->ExceptionInformation[1];
    for (size_t i = 0; i < g_regionCount; ++i) {
        GuardedRegion* region = g_regions[i];
        if (address >= region->guard && address < region->guard + region->guardSize) {
            if (!g_faulted) {
                g_faultOffset = (size_t)(address - region->guard);
                g_faultRegion = region;
            }
            g_faulted = 1;
            DWORD old = 0;
            VirtualProtect(region->guard, region->guardSize, PAGE_READWRITE, &old);
            return EXCEPTION_CONTINUE_EXECUTION;
        }
    }
    // A real crash: say which case it was before the process goes down.
    fprintf(stderr, "\n*** access violation at %p in %s case %llu\n", (void*)address, g_caseLoop,
            (unsigned long long)g_caseIndex);
    if (g_caseInput) {
        fprintf(stderr, "*** input: %s\n", Escape(*g_caseInput).c_str());
        SaveInput(std::string(g_caseLoop) + "-crash-" + std::to_string(g_caseIndex), *g_caseInput);
    }
    fflush(stderr);
    return EXCEPTION_CONTINUE_SEARCH;
}

GuardedRegion* CreateGuardedRegion(size_t dataCapacity) {
    static bool installed = false;
    if (!installed) {
        AddVectoredExceptionHandler(1, GuardHandler);
        installed = true;
    }
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    size_t page = system.dwPageSize;
    size_t dataSize = (dataCapacity + page - 1) / page * page;
    size_t guardSize = 2 * page;
    char* base = (char*)VirtualAlloc(nullptr, dataSize + guardSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!base || g_regionCount == MAX_REGIONS)
        return nullptr;
    DWORD old = 0;
    VirtualProtect(base + dataSize, guardSize, PAGE_NOACCESS, &old);
    GuardedRegion* region = new GuardedRegion{base, base + dataSize, dataSize, guardSize};
    g_regions[g_regionCount++] = region;
    return region;
}

const char* PlaceBytes(GuardedRegion* region, const void* bytes, size_t size) {
    if (size > region->dataCapacity)
        size = region->dataCapacity;
    char* start = region->guard - size;
    if (size)
        memcpy(start, bytes, size);
    return start;
}

bool TakeGuardFault(size_t* offsetPastEnd) {
    if (!g_faulted)
        return false;
    *offsetPastEnd = g_faultOffset;
    GuardedRegion* region = g_faultRegion;
    memset(region->guard, 0, region->guardSize);
    DWORD old = 0;
    VirtualProtect(region->guard, region->guardSize, PAGE_NOACCESS, &old);
    g_faulted = 0;
    return true;
}

void SetCurrentCase(const char* loop, uint64_t index, const std::string* input) {
    g_caseLoop = loop;
    g_caseIndex = index;
    g_caseInput = input;
}

// ---- texts and files ----

std::string Escape(const std::string& bytes, size_t limit) {
    std::string out;
    size_t shown = bytes.size() < limit ? bytes.size() : limit;
    for (size_t i = 0; i < shown; ++i) {
        unsigned char c = (unsigned char)bytes[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 32 && c < 127) {
            out += (char)c;
        } else {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        }
    }
    if (shown < bytes.size())
        out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

std::string EscapeWide(const std::wstring& text, size_t limit) {
    std::string out;
    size_t shown = text.size() < limit ? text.size() : limit;
    for (size_t i = 0; i < shown; ++i) {
        unsigned c = (unsigned)text[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 32 && c < 127) {
            out += (char)c;
        } else {
            char hex[12];
            snprintf(hex, sizeof(hex), "\\u%04X", c);
            out += hex;
        }
    }
    if (shown < text.size())
        out += "... (" + std::to_string(text.size()) + " units)";
    return out;
}

std::wstring WinPath(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path += c == '/' ? L'\\' : (wchar_t)(unsigned char)c;
    return path;
}

std::string ReadFileBytes(const std::string& unixPath) {
    std::ifstream in(WinPath(unixPath).c_str(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

static void SaveInput(const std::string& name, const std::string& input) {
    std::wstring directory;
    std::string build = Environment("TOV_BUILD_DIR");
    if (!build.empty()) {
        directory = WinPath(build + "/fuzz-failures");
    } else {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        directory = std::wstring(temp) + L"fuzz-failures";
    }
    CreateDirectoryW(directory.c_str(), nullptr);
    std::wstring path = directory + L"\\" + std::wstring(name.begin(), name.end()) + L".bin";
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    if (!input.empty())
        WriteFile(file, input.data(), (DWORD)input.size(), &written, nullptr);
    CloseHandle(file);
}

void RecordFailure(FailureLog* log, uint64_t caseIndex, const std::string& what, const std::string& input) {
    ++log->count;
    if (log->shown.size() >= 8)
        return;
    std::string name = log->loop + "-case" + std::to_string(caseIndex);
    SaveInput(name, input);
    log->shown.push_back("case " + std::to_string(caseIndex) + ": " + what + "\n    input (" +
                         std::to_string(input.size()) + " bytes, saved as fuzz-failures/" + name +
                         ".bin): " + Escape(input));
}

std::string FailureSummary(const FailureLog& log) {
    std::string text = log.loop + ": " + std::to_string(log.count) + " failing case(s)";
    for (const std::string& line : log.shown)
        text += "\n  " + line;
    if (log.count > log.shown.size())
        text += "\n  ... and " + std::to_string(log.count - log.shown.size()) + " more";
    return text;
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

double MillisecondsSince(LARGE_INTEGER start) {
    LARGE_INTEGER frequency, now = Now();
    QueryPerformanceFrequency(&frequency);
    return (double)(now.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}

} // namespace fuzz
