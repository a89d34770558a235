// Mutated manifests through the real reader: no crash, no read past the data (every input ends at
// a guard page), the same verdict and the same entry as the reference reader, and the same result
// when read again in place or with other bytes around the data.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "mutate.h"
#include "reference_reader.h"
#include "trust/trust.h"

using namespace fuzz;

namespace {

const uint64_t READER_SEED = 0x6D616E6966657374ull;
const uint64_t SCANNER_SEED = 0x7363616E6E657273ull;
const uint64_t READER_CASES = 120000;
const uint64_t SCANNER_CASES = 100000;

// Valid manifests: the seed files, plus a few built here at the length limits.
std::vector<std::string> LoadSeeds() {
    std::vector<std::string> seeds;
    for (const char* name : {"plain.json", "compact.json", "crlf.json"})
        seeds.push_back(ReadFileBytes(std::string(TOV_FUZZ_SEED_DIR) + "/" + name));

    std::string sha = "0123456789abcdef0123456789abcdef0123456789ABCDEF0123456789ABCDEF";
    // The longest url and version that fit: 2047 and 31 bytes after escapes.
    std::string url = "https://dl.tovkinemo.com/";
    std::string path;
    while (url.size() + path.size() < 2047)
        path += (path.size() % 50 == 49) ? '/' : (char)('a' + path.size() % 26);
    seeds.push_back("{\"latestVersion\":\"" + std::string(31, '7') + "\",\"win10\":{\"url\":\"" + url + path +
                    "\",\"sha256\":\"" + sha + "\",\"sizeBytes\":18446744073709551615}}");
    // Escapes that shrink: 31 resolved bytes written as 62.
    seeds.push_back("{\"win7\":{\"sizeBytes\":1,\"sha256\":\"" + sha +
                    "\",\"url\":\"https:\\/\\/dl.tovkinemo.com\\/a\\tb\"},\"latestVersion\":\"" +
                    std::string() +
                    [] {
                        std::string s;
                        for (int i = 0; i < 31; ++i)
                            s += "\\n";
                        return s;
                    }() +
                    "\"}");
    return seeds;
}

// One region for all manifest tests of this process.
GuardedRegion* ManifestRegion() {
    static GuardedRegion* region = CreateGuardedRegion(MAX_MUTATED_SIZE);
    return region;
}

void FillExpected(const RefEntry& ref, ManifestEntry* expected) {
    memset(expected, 0, sizeof(*expected));
    memcpy(expected->latestVersion, ref.latestVersion.data(), ref.latestVersion.size());
    memcpy(expected->url, ref.url.data(), ref.url.size());
    memcpy(expected->urlWide, ref.urlWide.data(), ref.urlWide.size() * sizeof(WCHAR));
    memcpy(expected->sha256, ref.sha256.data(), ref.sha256.size());
    expected->sizeBytes = ref.sizeBytes;
}

// Which field differs between two entries (or "" when they are equal byte for byte).
std::string EntryDifference(const ManifestEntry& actual, const ManifestEntry& expected) {
    if (memcmp(&actual, &expected, sizeof(actual)) == 0)
        return "";
    if (memcmp(actual.latestVersion, expected.latestVersion, sizeof(actual.latestVersion)))
        return "latestVersion \"" + Escape(std::string(actual.latestVersion, 32)) + "\" expected \"" +
               Escape(std::string(expected.latestVersion, 32)) + "\"";
    if (memcmp(actual.url, expected.url, sizeof(actual.url)))
        return "url \"" + Escape(actual.url, 120) + "\" expected \"" + Escape(expected.url, 120) + "\"";
    if (memcmp(actual.urlWide, expected.urlWide, sizeof(actual.urlWide)))
        return "urlWide \"" + EscapeWide(actual.urlWide) + "\" expected \"" + EscapeWide(expected.urlWide) +
               "\"";
    if (memcmp(actual.sha256, expected.sha256, sizeof(actual.sha256)))
        return "sha256 \"" + Escape(std::string(actual.sha256, 65)) + "\" expected \"" +
               Escape(std::string(expected.sha256, 65)) + "\"";
    if (actual.sizeBytes != expected.sizeBytes)
        return "sizeBytes " + std::to_string(actual.sizeBytes) + " expected " +
               std::to_string(expected.sizeBytes);
    return "bytes outside the fields differ";
}

// The minimum any accepted entry must satisfy, checked without the reference reader.
std::string AcceptedEntryProblem(const ManifestEntry& entry) {
    if (entry.sizeBytes < 1)
        return "accepted with sizeBytes 0";
    if (memchr(entry.sha256, 0, sizeof(entry.sha256)) != entry.sha256 + 64)
        return "accepted with a sha256 that is not 64 characters";
    const void* versionEnd = memchr(entry.latestVersion, 0, sizeof(entry.latestVersion));
    if (!versionEnd)
        return "accepted with an unterminated latestVersion";
    if (!memchr(entry.url, 0, sizeof(entry.url)))
        return "accepted with an unterminated url";
    if (_strnicmp(entry.url, "https://", 8) != 0)
        return "accepted a url without https://";
    size_t wideLength = 0;
    while (wideLength < 2048 && entry.urlWide[wideLength])
        ++wideLength;
    if (wideLength == 2048)
        return "accepted with an unterminated urlWide";
    if (_wcsnicmp(entry.urlWide, L"https://", 8) != 0)
        return "accepted a urlWide without https://";
    return "";
}

// Bytes placed before and after a second copy of the input; a reader that looks outside its data
// may decide differently there.
std::string Surround(Rng& rng, bool after) {
    static const char* const frames[] = {"",   " ",          "}", "\"",
                                         "\\", "   :\"x\"}", "0", "{\"url\":\"https://x\"}"};
    std::string text = frames[rng.Below(8)];
    if (!after || rng.Percent(30))
        for (uint32_t i = rng.Below(8); i > 0; --i)
            text += (char)rng.Below(256);
    return text;
}

const char* OddChannel(Rng& rng) {
    static const char* const channels[] = {"latestVersion", "url", "", "win", "win100", "WIN10", "sizeBytes"};
    return channels[rng.Below(7)];
}

} // namespace

TEST(ManifestFuzz, MutatedManifestsAgreeWithReferenceReader) {
    std::vector<std::string> seeds = LoadSeeds();
    for (size_t s = 0; s < seeds.size(); ++s) {
        RefEntry ref;
        ManifestEntry entry;
        bool any = false;
        for (const char* channel : {"win7", "win10"}) {
            bool refOk = RefReadManifest(seeds[s], channel, &ref);
            EXPECT_EQ(refOk, !!ReadManifest(seeds[s].data(), (UINT32)seeds[s].size(), channel, &entry))
                << "seed " << s << " " << channel;
            any = any || refOk;
        }
        ASSERT_TRUE(any) << "seed " << s << " is not a valid manifest: " << Escape(seeds[s]);
    }

    GuardedRegion* region = ManifestRegion();
    ASSERT_NE(nullptr, region);
    FailureLog log{"manifest-reader", 0, {}};
    static ManifestEntry entry, again, framed, expected;
    uint64_t cases = READER_CASES * Scale(), runs = 0, accepted = 0, refused = 0;
    uint64_t acceptedByKind[MUTATION_KINDS] = {}, casesByKind[MUTATION_KINDS] = {};
    LARGE_INTEGER started = Now();
    uint64_t ran = 0;

    for (uint64_t i = 0; i < cases; ++i) {
        if (!CaseSelected(i))
            continue;
        ++ran;
        Rng rng(CaseSeed(READER_SEED, i));
        uint32_t kinds = 0;
        std::string input = MutateManifest(seeds[rng.Below((uint32_t)seeds.size())], rng, &kinds);
        SetCurrentCase("manifest-reader", i, &input);
        const char* channels[3] = {"win7", "win10", rng.Percent(10) ? OddChannel(rng) : nullptr};
        std::string problems;
        bool anyAccepted = false;

        for (const char* channel : channels) {
            if (!channel)
                continue;
            ++runs;
            std::string where = std::string(" [channel \"") + channel + "\"]";
            const char* data = PlaceBytes(region, input.data(), input.size());
            BOOL ok = ReadManifest(data, (UINT32)input.size(), channel, &entry);
            size_t past = 0;
            if (TakeGuardFault(&past))
                problems +=
                    "read " + std::to_string(past + 1) + " byte(s) past the end of the data" + where + "; ";

            RefEntry ref;
            bool refOk = RefReadManifest(input, channel, &ref);
            if (!!ok != refOk) {
                problems += std::string(ok ? "accepted" : "refused") + " where the reference " +
                            (refOk ? "accepts" : "refuses") + where + "; ";
            } else if (ok) {
                FillExpected(ref, &expected);
                std::string difference = EntryDifference(entry, expected);
                if (!difference.empty())
                    problems += difference + where + "; ";
            }
            if (ok) {
                std::string problem = AcceptedEntryProblem(entry);
                if (!problem.empty())
                    problems += problem + where + "; ";
                anyAccepted = true;
                ++accepted;
            } else {
                ++refused;
            }

            BOOL okAgain = ReadManifest(data, (UINT32)input.size(), channel, &again);
            if (TakeGuardFault(&past))
                problems += "read past the end on the second read" + where + "; ";
            if (okAgain != ok || (ok && memcmp(&entry, &again, sizeof(entry)) != 0))
                problems += "a second read of the same bytes decided differently" + where + "; ";

            std::string before = Surround(rng, false), after = Surround(rng, true);
            std::string surrounded = before + input + after;
            BOOL okFramed =
                ReadManifest(surrounded.data() + before.size(), (UINT32)input.size(), channel, &framed);
            if (okFramed != ok || (ok && memcmp(&entry, &framed, sizeof(entry)) != 0))
                problems += "bytes outside the data changed the result (after: \"" + Escape(after) + "\")" +
                            where + "; ";
        }
        for (int k = 0; k < MUTATION_KINDS; ++k) {
            if (kinds & (1u << k)) {
                ++casesByKind[k];
                acceptedByKind[k] += anyAccepted;
            }
        }
        if (!problems.empty())
            RecordFailure(&log, i, problems, input);
    }
    SetCurrentCase("", 0, nullptr);

    printf("[ fuzz ] manifest reader: %llu mutated manifests, %llu reads checked against the reference: "
           "%llu accepted, %llu refused, %llu failing cases, %.0f ms\n",
           (unsigned long long)ran, (unsigned long long)runs, (unsigned long long)accepted,
           (unsigned long long)refused, (unsigned long long)log.count, MillisecondsSince(started));
    printf("[ fuzz ] mutation kinds (cases / cases accepted for some channel):");
    for (int k = 0; k < MUTATION_KINDS; ++k)
        printf(" %s %llu/%llu", MutationName((MutationKind)k), (unsigned long long)casesByKind[k],
               (unsigned long long)acceptedByKind[k]);
    printf("\n");
    EXPECT_EQ(0u, log.count) << FailureSummary(log);
}

namespace {

size_t Offset(const char* result, const char* start) {
    return result ? (size_t)(result - start) : REF_NONE;
}

std::string OffsetText(size_t offset) {
    return offset == REF_NONE ? "none" : std::to_string(offset);
}

// A range of a mutated manifest: mostly an object start up to some later closing brace.
void PickRange(const std::string& input, Rng& rng, size_t* start, size_t* end) {
    std::vector<size_t> opens, closes;
    for (size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '{')
            opens.push_back(i);
        else if (input[i] == '}')
            closes.push_back(i + 1);
    }
    uint32_t pick = rng.Below(100);
    *start = pick < 60 && !opens.empty() ? opens[rng.Below((uint32_t)opens.size())]
             : pick < 80                 ? 0
                                         : rng.Below((uint32_t)input.size() + 1);
    std::vector<size_t> laterCloses;
    for (size_t c : closes)
        if (c > *start)
            laterCloses.push_back(c);
    pick = rng.Below(100);
    *end = pick < 40 && !laterCloses.empty() ? laterCloses[rng.Below((uint32_t)laterCloses.size())]
           : pick < 70                       ? input.size()
                                             : *start + rng.Below((uint32_t)(input.size() - *start + 1));
}

std::string PickKey(const std::string& range, Rng& rng) {
    static const char* const keys[] = {"latestVersion", "url",   "sha256", "sizeBytes",
                                       "win7",          "win10", "a",      ""};
    if (rng.Percent(20)) {
        // A string that occurs in the range, so that odd keys match too.
        size_t quote = range.find('"', rng.Below((uint32_t)range.size() + 1));
        if (quote != std::string::npos) {
            size_t close = range.find('"', quote + 1);
            if (close != std::string::npos && close - quote - 1 < 40 &&
                range.find('\0', quote) > close) // keys are zero-terminated texts
                return range.substr(quote + 1, close - quote - 1);
        }
    }
    return keys[rng.Below(8)];
}

} // namespace

TEST(ManifestFuzz, ScannersStayWithinTheirRange) {
    std::vector<std::string> seeds = LoadSeeds();
    GuardedRegion* region = ManifestRegion();
    ASSERT_NE(nullptr, region);
    FailureLog log{"manifest-scanners", 0, {}};
    uint64_t cases = SCANNER_CASES * Scale(), objects = 0, values = 0, strings = 0;
    std::vector<char> buffer(2048 + 64);
    LARGE_INTEGER started = Now();
    uint64_t ran = 0;

    for (uint64_t i = 0; i < cases; ++i) {
        if (!CaseSelected(i))
            continue;
        ++ran;
        Rng rng(CaseSeed(SCANNER_SEED, i));
        std::string input = MutateManifest(seeds[rng.Below((uint32_t)seeds.size())], rng);
        size_t rangeStart, rangeEnd;
        PickRange(input, rng, &rangeStart, &rangeEnd);
        std::string range = input.substr(rangeStart, rangeEnd - rangeStart);
        SetCurrentCase("manifest-scanners", i, &range);
        std::string key = PickKey(range, rng);
        std::string problems;
        size_t past = 0;

        const char* start = PlaceBytes(region, range.data(), range.size());
        const char* end = start + range.size();
        // The same range followed by more bytes: results must not change.
        std::string tail = range + (rng.Percent(50) ? "   :  \"tail\" }" : " }\"}");
        const char* tailStart = tail.data();
        const char* tailEnd = tailStart + range.size();

        size_t objectEnd = Offset(FindObjectEnd(start, end), start);
        if (TakeGuardFault(&past))
            problems += "FindObjectEnd read past the end; ";
        size_t refObjectEnd = RefObjectEnd(range, 0, range.size());
        if (objectEnd != refObjectEnd)
            problems += "FindObjectEnd gave " + OffsetText(objectEnd) + ", expected " +
                        OffsetText(refObjectEnd) + "; ";
        if (Offset(FindObjectEnd(tailStart, tailEnd), tailStart) != objectEnd)
            problems += "FindObjectEnd changed with bytes after the end; ";
        ++objects;

        size_t value = Offset(FindKeyValue(start, end, key.c_str()), start);
        if (TakeGuardFault(&past))
            problems += "FindKeyValue(\"" + Escape(key) + "\") read " + std::to_string(past + 1) +
                        " byte(s) past the end; ";
        size_t refValue = RefKeyValue(range, 0, range.size(), key);
        if (value != refValue)
            problems += "FindKeyValue(\"" + Escape(key) + "\") gave " + OffsetText(value) + ", expected " +
                        OffsetText(refValue) + "; ";
        size_t tailValue = Offset(FindKeyValue(tailStart, tailEnd, key.c_str()), tailStart);
        if (tailValue != value)
            problems += "FindKeyValue(\"" + Escape(key) + "\") gave " + OffsetText(tailValue) +
                        " when bytes follow the end (range length " + std::to_string(range.size()) + "); ";
        ++values;

        static const UINT32 capacities[] = {1, 2, 5, 32, 65, 2048};
        UINT32 capacity = rng.Percent(70) ? capacities[rng.Below(6)] : rng.Range(1, 100);
        memset(buffer.data(), 0xA5, buffer.size());
        BOOL ok = ReadStringValue(start, end, key.c_str(), buffer.data(), capacity);
        if (TakeGuardFault(&past))
            problems += "ReadStringValue read past the end; ";
        for (size_t b = capacity; b < buffer.size(); ++b) {
            if ((unsigned char)buffer[b] != 0xA5) {
                problems += "ReadStringValue wrote past its capacity " + std::to_string(capacity) + "; ";
                break;
            }
        }
        std::string refString;
        bool refOk = RefStringValue(range, 0, range.size(), key, capacity, &refString);
        if (!!ok != refOk)
            problems += std::string("ReadStringValue(\"") + Escape(key) + "\", " + std::to_string(capacity) +
                        ") " + (ok ? "succeeded" : "failed") + " where the reference " +
                        (refOk ? "succeeds" : "fails") + "; ";
        else if (ok && (memcmp(buffer.data(), refString.data(), refString.size()) != 0 ||
                        buffer[refString.size()] != 0))
            problems += "ReadStringValue copied \"" + Escape(std::string(buffer.data(), refString.size())) +
                        "\", expected \"" + Escape(refString) + "\"; ";
        ++strings;

        if (!problems.empty())
            RecordFailure(&log, i, problems + "key \"" + Escape(key) + "\"", range);
    }

    // HasHttpsPrefix on short texts that end right before the guard, terminator included.
    static const wchar_t alphabet[] = {L'h', L'H', L't', L'T',  L'p',   L'P',   L's',  L'S',
                                       L':', L'/', L'x', 0x168, 0xFF48, 0x2215, L'\\', 0};
    uint64_t prefixes = 0;
    for (uint64_t i = 0; i < cases / 10; ++i) {
        if (!CaseSelected(i))
            continue;
        Rng rng(CaseSeed(SCANNER_SEED ^ 1, i));
        std::wstring text;
        if (rng.Percent(50)) {
            text = rng.Percent(50) ? L"https://" : L"HTTPS://";
            text.resize(rng.Below(10));
        }
        for (uint32_t n = rng.Below(6); n > 0; --n)
            text += alphabet[rng.Below(16)];
        if (!text.empty() && rng.Percent(30))
            text[rng.Below((uint32_t)text.size())] = alphabet[rng.Below(16)];
        std::wstring terminated = text.substr(0, text.find(L'\0')) + L'\0';
        const WCHAR* placed =
            (const WCHAR*)PlaceBytes(region, terminated.data(), terminated.size() * sizeof(WCHAR));
        BOOL ok = HasHttpsPrefix(placed);
        size_t past = 0;
        std::string bytes((const char*)terminated.data(), terminated.size() * sizeof(WCHAR));
        if (TakeGuardFault(&past))
            RecordFailure(&log, i,
                          "HasHttpsPrefix read past the terminator of \"" + EscapeWide(terminated) + "\"",
                          bytes);
        if (!!ok != RefHttpsPrefix(terminated))
            RecordFailure(&log, i,
                          "HasHttpsPrefix(\"" + EscapeWide(terminated) + "\") gave " + std::to_string(ok),
                          bytes);
        ++prefixes;
    }
    SetCurrentCase("", 0, nullptr);

    printf("[ fuzz ] manifest scanners: %llu ranges, %llu FindObjectEnd, %llu FindKeyValue, %llu "
           "ReadStringValue, "
           "%llu HasHttpsPrefix, %llu failing cases, %.0f ms\n",
           (unsigned long long)ran, (unsigned long long)objects, (unsigned long long)values,
           (unsigned long long)strings, (unsigned long long)prefixes, (unsigned long long)log.count,
           MillisecondsSince(started));
    EXPECT_EQ(0u, log.count) << FailureSummary(log);
}
