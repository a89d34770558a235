// Mutated packages through the table-of-contents reader's three steps, each given bytes that end at a
// guard page: no read past them, and whatever is accepted lies inside the file and lists only paths that
// stay inside the install folder and fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "../install/zip_builder.h"
#include "fuzz_util.h"
#include "install/contents.h"
#include "mutate.h"
#include "support/reuseplan.h"

using namespace fuzz;

namespace {

const uint64_t CONTENTS_SEED = 0x7A6970746F630000ull;
const uint64_t CONTENTS_CASES = 150000;

std::vector<std::string> ContentsSeeds() {
    ZipSpec plain{{ZipFile("Payload/", ""), ZipFile("Payload/TOVKinemo.exe", "MZ"),
                   ZipFile("Payload/Assets/AppIcon.ico", "icon"), ZipFile("payload\\b\\c", "c"),
                   ZipFile("Payload/\x80\xE1.txt", "437", 0), ZipFile("readme.txt", "x")}};
    ZipSpec zip64 = plain, described = plain;
    zip64.zip64End = true;
    for (ZipEntrySpec& e : zip64.entries)
        e.zip64 = true;
    described.comment = "PK\x05\x06 comment";
    for (ZipEntrySpec& e : described.entries) {
        e.flags |= 8;
        e.extra = ExtraField(0x5455, "\1abcd");
    }
    return {BuildZip(plain), BuildZip(zip64), BuildZip(described)};
}

// A value a packer or an attacker might write into a field.
uint64_t FieldValue(const std::string& zip, uint64_t old, Rng& rng) {
    const uint64_t values[] = {0,     1,          0xFF,       0xFFFF,         0xFFFFFFFF,
                               ~0ull, 0x80000000, zip.size(), zip.size() - 22};
    uint32_t pick = rng.Below(12);
    return pick < 9 ? values[pick] : pick < 11 ? old + rng.Range(0, 8) - 4 : rng.Next();
}

// Structure-aware edits: a field of a record, or a character of an entry name; else a blind edit.
std::string MutateZip(std::string zip, Rng& rng) {
    static const char* const signatures[] = {"PK\x01\x02", "PK\x05\x06", "PK\x06\x06", "PK\x06\x07"};
    static const char nameBytes[] = {'/', '\\', '.', ':', ' ', 'P', 'p', '\0', '\x80', '\xC3', '\xFF'};
    for (uint32_t n = rng.Range(1, 3); n > 0; --n) {
        uint32_t pick = rng.Below(10);
        size_t at = zip.find(signatures[rng.Below(4)], rng.Below((uint32_t)zip.size()));
        if (pick < 6 && at != std::string::npos) {
            int size = 1 << rng.Range(1, 3);
            at += rng.Range(4, 52);
            if (at + size <= zip.size())
                Put(&zip, at, FieldValue(zip, Get(zip, at, size), rng), size);
        } else if (pick < 8 &&
                   (at = zip.find("ayload", rng.Below((uint32_t)zip.size()))) != std::string::npos) {
            zip[std::min(zip.size() - 1, at + rng.Range(0, 12))] = nameBytes[rng.Below(sizeof(nameBytes))];
        } else {
            const MutationKind blind[] = {MUTATE_FLIP_BIT, MUTATE_TRUNCATE, MUTATE_DELETE_SPAN,
                                          MUTATE_DUPLICATE_SPAN};
            ApplyMutation(&zip, blind[rng.Below(4)], rng);
        }
    }
    return zip;
}

// What an accepted list must hold whatever the input: terminated relative paths whose parts are safe.
std::string ListProblem(const PayloadContents& contents) {
    if (contents.count == 0 || !contents.entries)
        return "accepted an empty list";
    for (UINT32 i = 0; i < contents.count; ++i) {
        const PayloadEntry& e = contents.entries[i];
        const WCHAR* end = std::find(e.path, e.path + PATH_CAPACITY, L'\0');
        std::wstring path(e.path, end), parts = L"\\" + path + L"\\";
        bool bad = end == e.path + PATH_CAPACITY || (e.folder != 0 && e.folder != 1) ||
                   path.find_first_of(L"/:") != std::wstring::npos ||
                   std::any_of(path.begin(), path.end(), [](wchar_t c) { return c < 0x20; });
        for (size_t at = 0; !bad && at + 1 < parts.size(); at = parts.find(L'\\', at + 1))
            bad = parts.substr(at + 1, parts.find(L'\\', at + 1) - at - 1).find_first_not_of(L". ") ==
                  std::wstring::npos;
        if (bad)
            return "accepted the entry \"" + EscapeWide(path) + "\"; ";
    }
    return "";
}

// The upgrade's steps on a mutated new package, with its unmutated seed as the base: the tail read from
// guarded bytes, then the plan, which must cover the package exactly once in order and copy only bytes
// that lie inside the base.
std::string PlanProblem(const std::string& zip, const std::string& base, GuardedRegion* region,
                        uint64_t* planned) {
    uint64_t from = zip.size() - std::min<size_t>(zip.size(), ZIP_TAIL_CAPACITY), need = 0;
    ZipDirectoryPlace place;
    ReuseTailState state = REUSE_TAIL_NEEDS_MORE;
    for (int round = 0; round < 3 && state == REUSE_TAIL_NEEDS_MORE; ++round) {
        const uint8_t* tail =
            (const uint8_t*)PlaceBytes(region, zip.data() + from, (size_t)(zip.size() - from));
        state = ReadReuseTail(tail, zip.size() - from, zip.size(), &place, &need);
        size_t past = 0;
        if (TakeGuardFault(&past))
            return "ReadReuseTail read past its bytes; ";
        if (state == REUSE_TAIL_NEEDS_MORE && need >= from)
            return "the tail asked for bytes it has; ";
        from = state == REUSE_TAIL_NEEDS_MORE ? need : from;
    }
    if (state != REUSE_TAIL_READ)
        return "";
    if (place.offset < from || place.size > zip.size() - place.offset)
        return "the tail placed the directory outside its bytes; ";
    const uint8_t* directory =
        (const uint8_t*)PlaceBytes(region, zip.data() + place.offset, (size_t)place.size);
    std::vector<ZipRecord> records(place.count + 1);
    std::vector<uint64_t> ends(place.count + 1);
    std::vector<uint32_t> order(place.count + 1);
    uint32_t count = 0;
    bool read = ReadZipRecords(directory, &place, records.data(), (uint32_t)place.count, &count);
    size_t past = 0;
    if (TakeGuardFault(&past))
        return "ReadZipRecords read past the directory; ";
    if (!read || !ZipEntryExtents(records.data(), count, place.offset, order.data(), ends.data()))
        return "";
    // The base's candidates, as the program makes them from its local headers.
    ZipDirectoryPlace bp;
    uint64_t bneed = 0;
    std::vector<ZipRecord> br(64);
    std::vector<uint64_t> be(64);
    std::vector<uint32_t> bo(64);
    std::vector<ReuseCandidate> candidates;
    uint32_t bc = 0;
    if (ReadReuseTail((const uint8_t*)base.data(), base.size(), base.size(), &bp, &bneed) ==
            REUSE_TAIL_READ &&
        ReadZipRecords((const uint8_t*)base.data() + bp.offset, &bp, br.data(), 64, &bc) &&
        ZipEntryExtents(br.data(), bc, bp.offset, bo.data(), be.data()))
        for (uint32_t i = 0; i < bc; ++i) {
            ReuseCandidate c;
            uint32_t header = ZipLocalHeaderLength((const uint8_t*)base.data() + br[i].localOffset,
                                                   ZIP_LOCAL_HEADER_SIZE, &br[i]);
            if (CandidateFromRecord(&br[i], be[i], header, 0, &c))
                candidates.push_back(c);
        }
    SortCandidates(candidates.data(), (uint32_t)candidates.size());
    std::vector<ReuseSpan> spans(4 * count + 4);
    ReusePlan plan{spans.data(), (uint32_t)spans.size(), 0, 0, 0, 0};
    if (!PlanReuse(records.data(), ends.data(), order.data(), count, candidates.data(),
                   (uint32_t)candidates.size(), from, zip.size(), &plan))
        return "";
    ++*planned;
    uint64_t at = 0;
    for (uint32_t i = 0; i < plan.count; ++i) {
        const ReuseSpan& span = spans[i];
        if (span.offset != at || span.length == 0 ||
            (span.source == 0 &&
             (span.sourceOffset > base.size() || span.length > base.size() - span.sourceOffset)) ||
            (span.source == REUSE_TAIL && span.offset < from))
            return "the plan's span " + std::to_string(i) + " is out of place; ";
        at += span.length;
    }
    return at == zip.size() ? "" : "the plan does not cover the package; ";
}

} // namespace

TEST(ContentsFuzz, MutatedPackagesStayInsideTheirBytes) {
    std::vector<std::string> seeds = ContentsSeeds();
    static GuardedRegion* region = CreateGuardedRegion(MAX_MUTATED_SIZE);
    ASSERT_NE(nullptr, region);
    FailureLog log{"contents-reader", 0, {}};
    uint64_t ran = 0, placed = 0, accepted = 0, planned = 0;
    LARGE_INTEGER started = Now();
    for (uint64_t i = 0; i < CONTENTS_CASES * Scale(); ++i) {
        if (!CaseSelected(i))
            continue;
        ++ran;
        Rng rng(CaseSeed(CONTENTS_SEED, i));
        const std::string& seed = seeds[rng.Below((uint32_t)seeds.size())];
        std::string zip = MutateZip(seed, rng), problems;
        SetCurrentCase("contents-reader", i, &zip);
        // Each step gets the bytes the previous one pointed at, which must lie inside the file.
        auto bytesAt = [&](uint64_t offset, uint64_t length) -> const BYTE* {
            if (offset <= zip.size() && length <= zip.size() - offset)
                return (const BYTE*)PlaceBytes(region, zip.data() + offset, (size_t)length);
            problems += "a step pointed outside the file; ";
            return nullptr;
        };
        auto guard = [&](const char* step) {
            size_t past = 0;
            if (TakeGuardFault(&past))
                problems +=
                    std::string(step) + " read " + std::to_string(past + 1) + " byte(s) past its bytes; ";
        };
        UINT32 tailLength = (UINT32)std::min<size_t>(zip.size(), ZIP_TAIL_CAPACITY);
        ZipDirectoryPlace place;
        BOOL ok =
            FindZipDirectory(bytesAt(zip.size() - tailLength, tailLength), tailLength, zip.size(), &place);
        guard("FindZipDirectory");
        const BYTE* bytes = nullptr;
        if (ok && place.zip64Pending && (bytes = bytesAt(place.zip64RecordOffset, ZIP64_END_RECORD_SIZE))) {
            ok = ReadZip64EndRecord(bytes, ZIP64_END_RECORD_SIZE, &place);
            guard("ReadZip64EndRecord");
        }
        if (ok && !place.zip64Pending && (bytes = bytesAt(place.offset, place.size))) {
            ++placed;
            PayloadContents contents;
            ok = ReadPayloadEntries(bytes, (UINT32)place.size, &place, &contents);
            guard("ReadPayloadEntries");
            if (ok) {
                ++accepted;
                problems += ListProblem(contents);
            }
            ReleasePackageContents(&contents);
        }
        problems += PlanProblem(zip, seed, region, &planned);
        if (!problems.empty())
            RecordFailure(&log, i, problems, zip);
    }
    SetCurrentCase("", 0, nullptr);
    printf("[ fuzz ] contents reader: %llu mutated packages, %llu directories found, %llu lists accepted, "
           "%llu upgrade plans, %llu failing cases, %.0f ms\n",
           (unsigned long long)ran, (unsigned long long)placed, (unsigned long long)accepted,
           (unsigned long long)planned, (unsigned long long)log.count, MillisecondsSince(started));
    EXPECT_EQ(0u, log.count) << FailureSummary(log);
}
