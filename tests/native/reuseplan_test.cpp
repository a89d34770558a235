// The upgrade's plan from real zip bytes: the new package rebuilt from the plan's spans (copies from the
// bases, fetches from the new bytes) must equal it byte for byte, with the fetched bytes each row expects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/reuseplan.h"
#include "tests/install/zip_builder.h"

namespace {

struct Outcome {
    bool planned = false;
    std::string rebuilt;
    uint64_t fetched = 0, copied = 0;
    uint32_t copiedEntries = 0, connections = 0;
    std::vector<ReuseRequest> requests;
};

// The program's steps on whole files: tail, records, extents, candidates from each base's local headers
// (and installed files for the named stored entries), plan, requests.
Outcome Simulate(const std::vector<std::string>& bases, const std::string& zip,
                 const std::vector<std::string>& installed = {}) {
    Outcome out;
    // The tail that the program fetches: the last bytes, then back to the furthest byte it needs.
    ZipDirectoryPlace place;
    uint64_t from = zip.size() - std::min<uint64_t>(zip.size(), ZIP_TAIL_CAPACITY), need = 0;
    ReuseTailState state;
    while ((state = ReadReuseTail((const uint8_t*)zip.data() + from, zip.size() - from, zip.size(), &place,
                                  &need)) == REUSE_TAIL_NEEDS_MORE)
        from = need;
    if (state != REUSE_TAIL_READ)
        return out;
    std::vector<ZipRecord> records(place.count + 1);
    std::vector<uint64_t> ends(place.count + 1);
    std::vector<uint32_t> order(place.count + 1);
    uint32_t count = 0;
    if (!ReadZipRecords((const uint8_t*)zip.data() + place.offset, &place, records.data(), place.count,
                        &count) ||
        !ZipEntryExtents(records.data(), count, place.offset, order.data(), ends.data()))
        return out;
    std::vector<ReuseCandidate> candidates;
    std::vector<std::vector<ZipRecord>> baseRecords(bases.size());
    for (uint32_t b = 0; b < bases.size(); ++b) {
        const std::string& base = bases[b];
        ZipDirectoryPlace bp;
        uint64_t bneed = 0;
        if (ReadReuseTail((const uint8_t*)base.data(), base.size(), base.size(), &bp, &bneed) !=
            REUSE_TAIL_READ)
            continue;
        std::vector<ZipRecord>& br = baseRecords[b];
        br.resize(bp.count + 1);
        std::vector<uint64_t> be(bp.count + 1);
        std::vector<uint32_t> bo(bp.count + 1);
        uint32_t bc = 0;
        if (!ReadZipRecords((const uint8_t*)base.data() + bp.offset, &bp, br.data(), bp.count, &bc) ||
            !ZipEntryExtents(br.data(), bc, bp.offset, bo.data(), be.data()))
            continue;
        for (uint32_t i = 0; i < bc; ++i) {
            ReuseCandidate c;
            uint32_t header = ZipLocalHeaderLength((const uint8_t*)base.data() + br[i].localOffset,
                                                   (uint32_t)(base.size() - br[i].localOffset), &br[i]);
            if (CandidateFromRecord(&br[i], be[i], header, b, &c))
                candidates.push_back(c);
        }
    }
    for (uint32_t i = 0; i < count; ++i)
        for (uint32_t f = 0; f < installed.size(); ++f)
            if (records[i].method == 0 && std::string((const char*)records[i].name, records[i].nameLength) ==
                                              "Payload/" + installed[f]) {
                candidates.emplace_back();
                CandidateFromInstalled(&records[i], (uint32_t)(bases.size() + f), &candidates.back());
            }
    SortCandidates(candidates.data(), (uint32_t)candidates.size());
    std::vector<ReuseSpan> spans(4 * count + 4);
    ReusePlan plan{spans.data(), (uint32_t)spans.size(), 0, 0, 0, 0};
    if (!PlanReuse(records.data(), ends.data(), order.data(), count, candidates.data(),
                   (uint32_t)candidates.size(), from, zip.size(), &plan))
        return out;
    out.planned = true;
    for (uint32_t i = 0; i < plan.count; ++i) {
        const ReuseSpan& s = spans[i];
        if (s.source == REUSE_FETCH || s.source == REUSE_TAIL)
            out.rebuilt += zip.substr(s.offset, s.length);
        else if (s.source < bases.size())
            out.rebuilt += bases[s.source].substr(s.sourceOffset, s.length);
        else // an installed file holds the entry's data as it is
            out.rebuilt += zip.substr(s.offset, s.length);
    }
    out.fetched = plan.fetchedBytes;
    out.copied = plan.copiedBytes;
    out.copiedEntries = plan.copiedEntries;
    out.requests.resize(plan.count + REUSE_CONNECTIONS * REUSE_ROUNDS);
    uint32_t requestCount = 0;
    out.connections = PlanRequests(&plan, out.requests.data(), (uint32_t)out.requests.size(), &requestCount);
    out.requests.resize(requestCount);
    return out;
}

std::string Blob(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = (char)(seed >> 16);
    }
    return data;
}

ZipSpec Release(uint32_t changed, bool zip64, bool descriptor, int added = 0, size_t size = 200000,
                uint32_t changedToo = 99) {
    ZipSpec release;
    for (int i = 0; i < 6 + added; ++i) {
        bool differs = i == (int)changed || i == (int)changedToo;
        ZipEntrySpec e = ZipFile("Payload/m" + std::to_string(i), Blob(size, differs ? 999 + i : i));
        e.deflate = i % 2 == 1;
        e.zip64 = zip64;
        if (descriptor)
            e.flags |= 8;
        release.entries.push_back(e);
    }
    release.zip64End = zip64;
    return release;
}

} // namespace

TEST(ReusePlan, RebuildsTheNewPackageFromBasesAndFetches) {
    std::string v1 = BuildZip(Release(99, false, false)), v2 = BuildZip(Release(2, false, false, 1));
    ZipSpec onlyFirst = Release(99, false, false), onlyLast = Release(99, false, false, 1);
    onlyFirst.entries.resize(3);
    onlyLast.entries.erase(onlyLast.entries.begin(), onlyLast.entries.begin() + 3);
    ZipSpec headerChanged = Release(99, false, false);
    headerChanged.entries[0].zip64 = true; // same data, longer local header
    struct Row {
        const char* what;
        std::vector<std::string> bases;
        std::string zip;
        std::vector<std::string> installed;
        uint64_t fetchedAtMost;
        uint32_t copiedEntries;
    } rows[] = {
        {"no base", {}, v2, {}, v2.size(), 0},
        {"one base: one changed and one added entry", {v1}, v2, {}, 2 * 200100, 5},
        {"identical package", {v1}, v1, {}, 0, 6},
        {"several bases serve one package", {BuildZip(onlyFirst), BuildZip(onlyLast)}, v1, {}, 0, 6},
        {"zip64 packages with descriptors",
         {BuildZip(Release(99, true, true))},
         BuildZip(Release(1, true, true)),
         {},
         200200,
         5},
        {"a base that shares nothing",
         {BuildZip(Release(5, false, false, -5))},
         BuildZip(Release(0, false, true)),
         {},
         6 * 200100,
         0},
        {"a base that is not a zip", {Blob(5000, 7)}, v1, {}, v1.size(), 0},
        {"a longer local header: data copied, header fetched", {v1}, BuildZip(headerChanged), {}, 70, 6},
        {"an unchanged entry of 20 kB between two changed ones is fetched with them",
         {BuildZip(Release(99, false, false, 6, 20000))},
         BuildZip(Release(1, false, false, 6, 20000, 3)),
         {},
         3 * 20100,
         6},
        {"stored files from the installation", {}, v1, {"m0", "m2", "m4"}, 3 * 200100 + 300, 3},
    };
    for (const Row& row : rows) {
        Outcome out = Simulate(row.bases, row.zip, row.installed);
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(out.planned);
        EXPECT_TRUE(out.rebuilt == row.zip);
        EXPECT_LE(out.fetched, row.fetchedAtMost);
        EXPECT_EQ(row.copiedEntries, out.copiedEntries);
        uint64_t requested = 0, next = 0;
        for (const ReuseRequest& r : out.requests) {
            EXPECT_GE(r.first, next); // in package order, never overlapping
            next = r.first + r.length;
            requested += r.length;
        }
        EXPECT_EQ(out.fetched, requested);
    }
}

TEST(ReusePlan, BadDirectoriesAreRefused) {
    std::string v1 = BuildZip(Release(99, false, false));
    std::string overlapping = v1, outside = v1;
    // The second entry's local offset moved onto the first's (central record at its offset field).
    size_t second = v1.find("PK\x01\x02", v1.find("PK\x01\x02") + 4);
    Put(&overlapping, second + 42, 0, 4);
    Put(&outside, second + 42, v1.size(), 4);
    EXPECT_FALSE(Simulate({}, overlapping).planned);
    EXPECT_FALSE(Simulate({}, outside).planned);
    EXPECT_FALSE(Simulate({}, v1.substr(0, v1.size() - 1)).planned);
}

TEST(ReusePlan, FetchedBytesSpreadOverTheConnections) {
    // Fetch spans (with a copied gap between them) and the connections and requests they take.
    struct Row {
        std::vector<uint64_t> fetches;
        uint32_t connections, requests;
    } rows[] = {
        {{4u << 20}, 8, 32},              // one changed program: four pieces on each of eight connections
        {{1000}, 1, 1},                   // a small change takes one connection
        {{100000, 100000}, 4, 4},         // one piece of 50000 bytes a connection
        {{30000, 170000}, 4, 5},          // the first connection takes from both spans
        {{1, 1, 1, 1, 1, 1}, 1, 6},       // tiny spans on one connection
        {{3u << 20, 3u << 20, 5}, 8, 34}, // pieces dealt in turn, in package order
    };
    for (const Row& row : rows) {
        std::vector<ReuseSpan> spans;
        uint64_t at = 0, fetched = 0;
        for (uint64_t length : row.fetches) {
            spans.push_back({at, length, REUSE_FETCH, 0});
            spans.push_back({at + length, 1000000, 0, 0});
            at += length + 1000000;
            fetched += length;
        }
        ReusePlan plan{spans.data(), (uint32_t)spans.size(), (uint32_t)spans.size(), 0, fetched, 0};
        std::vector<ReuseRequest> requests(spans.size() + REUSE_CONNECTIONS * REUSE_ROUNDS);
        uint32_t count = 0;
        EXPECT_EQ(row.connections, PlanRequests(&plan, requests.data(), (uint32_t)requests.size(), &count));
        EXPECT_EQ(row.requests, count);
        std::vector<uint64_t> perConnection(REUSE_CONNECTIONS);
        for (uint32_t i = 0; i < count; ++i)
            perConnection[requests[i].connection] += requests[i].length;
        // Evenly (only the last piece is short, by less than the pieces' count), and in package order.
        for (uint32_t c = 0; c < row.connections; ++c)
            EXPECT_LE(perConnection[0] - perConnection[c], REUSE_CONNECTIONS * REUSE_ROUNDS);
        for (uint32_t i = 1; i < count; ++i)
            EXPECT_GT(requests[i].first, requests[i - 1].first);
    }
}
