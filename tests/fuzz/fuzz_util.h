// Shared machinery of the fuzz tests: a small deterministic random generator, the run size,
// inputs placed right before an inaccessible page (so any read past them faults and is caught),
// and a failure log that keeps the reproducing input of the first few failures.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// splitmix64: one step over a 64-bit state; used to derive one generator seed per case.
uint64_t SplitMix(uint64_t* state);

// xorshift64* seeded through splitmix64. Same seed, same sequence, on every platform.
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed);
    uint64_t Next();
    // Uniform in [0, bound); bound 0 gives 0.
    uint32_t Below(uint32_t bound);
    // Uniform in [low, high].
    uint32_t Range(uint32_t low, uint32_t high);
    bool Percent(uint32_t percent);
};

// The seed of case `index` of a test with base seed `testSeed`: every case can be rerun alone.
uint64_t CaseSeed(uint64_t testSeed, uint64_t index);

// Run size multiplier from TOV_FUZZ_SCALE (default 1, at most 1000).
uint32_t Scale();
// TOV_FUZZ_CASE=n runs only case n of every fuzz loop (to reproduce one failure); -1 when unset.
int64_t OnlyCase();
// True when case `index` of a loop runs under the TOV_FUZZ_CASE filter.
bool CaseSelected(uint64_t index);

// A region of data pages followed by two PAGE_NOACCESS pages. Reads that reach the guard pages
// are recorded by a vectored exception handler, which then makes the pages readable (zero bytes)
// so the run goes on and reports every overread instead of dying on the first.
struct GuardedRegion {
    char* base;
    char* guard; // first guard byte; data placed with Place* ends exactly here
    size_t dataCapacity;
    size_t guardSize;
};
GuardedRegion* CreateGuardedRegion(size_t dataCapacity);
// Copies the bytes so that they end exactly at the guard; returns their start.
const char* PlaceBytes(GuardedRegion* region, const void* bytes, size_t size);
// True when the guard was touched since the last call; gives the offset past the end of the first
// touch and restores the guard (zeroed, PAGE_NOACCESS).
bool TakeGuardFault(size_t* offsetPastEnd);

// What a fuzz loop is doing right now; printed when the process dies of a fault outside a guard.
void SetCurrentCase(const char* loop, uint64_t index, const std::string* input);

// Printable form of bytes: ASCII as is, everything else as \xHH, cut to `limit` bytes.
std::string Escape(const std::string& bytes, size_t limit = 400);
std::string EscapeWide(const std::wstring& text, size_t limit = 200);

// Collects failures of one loop: the first few in full, with the input saved to a file under
// $TOV_BUILD_DIR/fuzz-failures (or the temp directory), the rest only counted.
struct FailureLog {
    std::string loop;
    uint64_t count;
    std::vector<std::string> shown;
};
void RecordFailure(FailureLog* log, uint64_t caseIndex, const std::string& what, const std::string& input);
// All shown failures as one text, for the test's failure message.
std::string FailureSummary(const FailureLog& log);

std::string ReadFileBytes(const std::string& unixPath);
// The Unix path as Wine sees it (drive Z: is the Unix root).
std::wstring WinPath(const std::string& unixPath);

// Milliseconds from a QueryPerformanceCounter start value.
double MillisecondsSince(LARGE_INTEGER start);
LARGE_INTEGER Now();

} // namespace fuzz
