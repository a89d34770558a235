// tovpublish diff: what an upgrade from an old package to a new one fetches when the channel has
// "reuse": true, planned by the installer's own code (the zip reader and the plan, compiled in here).
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_io.h"
#include "files.h"
#include "options.h"
#include "packagetail.h"

namespace pub {

namespace {

const char kDiffHelp[] =
    "usage: tovpublish diff OLD.zip NEW.zip [--json]\n"
    "\n"
    "Shows what an installer with OLD.zip in its cache fetches to build NEW.zip when the channel's\n"
    "manifest entry has \"reuse\": true: the new package's tail (end records and central directory,\n"
    "fetched first), the entries copied from OLD.zip and those fetched, the bytes to download and the\n"
    "range requests over up to eight connections. Entries are copied when their name, method, CRC-32\n"
    "and sizes equal an old entry's; the local header is copied with them when it is the same too, so\n"
    "packs must be reproducible ('tovpublish pack' is). When nothing can be copied the installer\n"
    "downloads the whole package as without the member. Installed files, which can serve stored\n"
    "entries of an upgrade too, are not counted. --json prints one JSON object on standard output.\n"
    "Exits 1 when a file cannot be read or NEW.zip's table of contents is not one the installer reads.\n";

const char* const kValueOptions[] = {nullptr};
const char* const kFlagOptions[] = {"--json", nullptr};

// A zip's table of contents read as the installer reads it, from the tail back as the end records point.
bool ReadDirectory(const Bytes& zip, PackageTail* d) {
    auto slice = [&zip](uint64_t first, uint64_t end, Bytes* piece) {
        piece->assign(zip.begin() + first, zip.begin() + end);
        return true;
    };
    return ReadPackageTail(zip.size(), slice, d) == TailRead::Ok;
}

std::string Name(const ZipRecord& r) {
    return std::string((const char*)r.name, r.nameLength);
}

int RunDiff(const Args& args) {
    if (args.operands.size() != 2)
        return UsageError("diff", "give OLD.zip and NEW.zip", kDiffHelp);
    bool json = args.Flag("--json");
    Bytes old, fresh;
    std::string error;
    if (!ReadFileBytes(args.operands[0], &old, &error) || !ReadFileBytes(args.operands[1], &fresh, &error))
        return Refuse("diff", error);
    PackageTail from, to;
    if (!ReadDirectory(fresh, &to))
        return Refuse("diff", args.operands[1] + ": no table of contents the installer reads");

    // The old package as a base: its entries placed by their local headers.
    std::vector<ReuseCandidate> candidates;
    if (ReadDirectory(old, &from))
        for (size_t i = 0; i < from.records.size(); ++i) {
            const ZipRecord& r = from.records[i];
            ReuseCandidate c;
            uint32_t header = ZipLocalHeaderLength(
                old.data() + r.localOffset, (uint32_t)std::min<uint64_t>(old.size() - r.localOffset, 64), &r);
            if (CandidateFromRecord(&r, from.ends[i], header, 0, &c))
                candidates.push_back(c);
        }
    SortCandidates(candidates.data(), (uint32_t)candidates.size());
    uint32_t count = (uint32_t)to.records.size();
    std::vector<ReuseSpan> spans(4 * count + 4);
    ReusePlan plan{spans.data(), (uint32_t)spans.size(), 0, 0, 0, 0};
    if (!PlanReuse(to.records.data(), to.ends.data(), to.order.data(), count, candidates.data(),
                   (uint32_t)candidates.size(), to.start, fresh.size(), &plan))
        return Refuse("diff", args.operands[1] + ": entries that cannot be planned");
    std::vector<ReuseRequest> requests(plan.count + REUSE_CONNECTIONS * REUSE_ROUNDS);
    uint32_t requestCount = 0, connections = 0;
    bool reuse = plan.copiedBytes > 0;
    if (reuse)
        connections = PlanRequests(&plan, requests.data(), (uint32_t)requests.size(), &requestCount);

    // The entries that keep no copied byte are fetched.
    std::vector<std::string> fetched;
    for (uint32_t k = 0, s = 0; k < count; ++k) {
        const ZipRecord& r = to.records[to.order[k]];
        uint64_t end = to.ends[to.order[k]];
        while (s < plan.count && spans[s].offset + spans[s].length <= r.localOffset)
            ++s;
        bool copied = false;
        for (uint32_t t = s; t < plan.count && spans[t].offset < end; ++t)
            copied |= spans[t].source != REUSE_FETCH && spans[t].source != REUSE_TAIL;
        if (!copied)
            fetched.push_back(Name(r));
    }
    uint64_t tail = fresh.size() - to.start;
    uint64_t download = reuse ? tail + plan.fetchedBytes : fresh.size();
    if (json) {
        std::string out =
            "{\"command\":\"diff\",\"old\":" + Json(args.operands[0]) + ",\"new\":" + Json(args.operands[1]) +
            ",\"reuse\":" + (reuse ? "true" : "false") + ",\"newBytes\":" + std::to_string(fresh.size()) +
            ",\"copiedBytes\":" + std::to_string(reuse ? plan.copiedBytes : 0) +
            ",\"tailBytes\":" + std::to_string(tail) +
            ",\"fetchBytes\":" + std::to_string(reuse ? plan.fetchedBytes : fresh.size()) +
            ",\"downloadBytes\":" + std::to_string(download) + ",\"entries\":" + std::to_string(count) +
            ",\"copiedEntries\":" + std::to_string(reuse ? plan.copiedEntries : 0) +
            ",\"fetchedEntries\":" + JsonList(reuse ? fetched : std::vector<std::string>()) +
            ",\"requests\":{\"probe\":1,\"tail\":" + std::to_string(to.requests) +
            ",\"fetch\":" + std::to_string(reuse ? requestCount : 8) +
            ",\"connections\":" + std::to_string(reuse ? connections : 8) + "}}\n";
        std::fputs(out.c_str(), stdout);
        return 0;
    }
    std::printf("new package: %zu bytes, %u entries\n", fresh.size(), count);
    std::printf("tail: %llu bytes in %u request(s)\n", (unsigned long long)tail, to.requests);
    if (!reuse) {
        std::printf("nothing in %s can be copied: the whole package is downloaded (%zu bytes in 8 ranges)\n",
                    args.operands[0].c_str(), fresh.size());
        return 0;
    }
    std::printf("copied from %s: %u entries, %llu bytes (%.1f%%)\n", args.operands[0].c_str(),
                plan.copiedEntries, (unsigned long long)plan.copiedBytes,
                100.0 * plan.copiedBytes / fresh.size());
    std::printf("fetched: %zu entries, %llu bytes in %u range request(s) over %u connection(s)\n",
                fetched.size(), (unsigned long long)plan.fetchedBytes, requestCount, connections);
    for (const std::string& name : fetched)
        std::printf("  %s\n", name.c_str());
    std::printf("download: %llu bytes (tail and fetches) of %zu, %u requests with the range probe\n",
                (unsigned long long)download, fresh.size(), 1 + to.requests + requestCount);
    return 0;
}

} // namespace

extern const Command kDiffCommand = {"diff",           "show what an upgrade from OLD.zip fetches with reuse",
                                     kDiffHelp,        kValueOptions,
                                     kFlagOptions,     RunDiff,
                                     "OLD.zip NEW.zip"};

} // namespace pub
