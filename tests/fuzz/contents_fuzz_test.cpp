// Mutated packages through the table-of-contents reader's three steps, each given bytes that end at a
// guard page: no read past them, and whatever is accepted lies inside the file and lists only paths that
// stay inside the install folder and fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../install/zip_builder.h"
#include "fuzz_util.h"
#include "install/contents.h"
#include "mutate.h"

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

// What an accepted list must hold whatever the input: relative paths with safe parts that fit.
std::string ListProblem(const PayloadContents& contents) {
    if (contents.count == 0 || !contents.entries)
        return "accepted an empty list";
    for (UINT32 i = 0; i < contents.count; ++i) {
        const PayloadEntry& e = contents.entries[i];
        std::wstring path(e.path, std::find(e.path, e.path + PATH_CAPACITY, L'\0'));
        if (path.size() == PATH_CAPACITY || path.empty() || (e.folder != 0 && e.folder != 1))
            return "an entry unterminated, empty or with an odd folder flag";
        std::wstring part;
        for (size_t at = 0; at <= path.size(); ++at) {
            wchar_t c = at < path.size() ? path[at] : L'\\';
            if (c < 0x20 || c == L'/' || c == L':')
                return "a path with a separator, drive or control character: " + EscapeWide(path);
            if (c != L'\\') {
                part += c;
            } else if (part.find_first_not_of(L". ") == std::wstring::npos) {
                return "a path with an empty, . or .. part: " + EscapeWide(path);
            } else {
                part.clear();
            }
        }
    }
    return "";
}

} // namespace

TEST(ContentsFuzz, MutatedPackagesStayInsideTheirBytes) {
    std::vector<std::string> seeds = ContentsSeeds();
    static GuardedRegion* region = CreateGuardedRegion(MAX_MUTATED_SIZE);
    ASSERT_NE(nullptr, region);
    FailureLog log{"contents-reader", 0, {}};
    uint64_t ran = 0, placed = 0, accepted = 0, unsafe = 0;
    LARGE_INTEGER started = Now();
    for (uint64_t i = 0; i < CONTENTS_CASES * Scale(); ++i) {
        if (!CaseSelected(i))
            continue;
        ++ran;
        Rng rng(CaseSeed(CONTENTS_SEED, i));
        std::string zip = MutateZip(seeds[rng.Below((uint32_t)seeds.size())], rng);
        SetCurrentCase("contents-reader", i, &zip);
        std::string problems;
        size_t past = 0;
        UINT32 tailLength = (UINT32)std::min<size_t>(zip.size(), ZIP_TAIL_CAPACITY);
        const BYTE* tail = (const BYTE*)PlaceBytes(region, zip.data() + zip.size() - tailLength, tailLength);
        ZipDirectoryPlace place;
        BOOL ok = FindZipDirectory(tail, tailLength, zip.size(), &place);
        if (TakeGuardFault(&past))
            problems += "FindZipDirectory read past the tail; ";
        if (ok && place.zip64Pending) {
            if (place.zip64RecordOffset + ZIP64_END_RECORD_SIZE > place.end || place.end > zip.size()) {
                RecordFailure(&log, i, "a zip64 end record outside the file", zip);
                continue;
            }
            const BYTE* record =
                (const BYTE*)PlaceBytes(region, zip.data() + place.zip64RecordOffset, ZIP64_END_RECORD_SIZE);
            ok = ReadZip64EndRecord(record, ZIP64_END_RECORD_SIZE, &place);
            if (TakeGuardFault(&past))
                problems += "ReadZip64EndRecord read past the record; ";
        }
        if (ok && (place.offset + place.size > place.end || place.end > zip.size())) {
            RecordFailure(&log, i, "a directory outside the file", zip);
            continue;
        }
        if (ok) {
            ++placed;
            const BYTE* directory =
                (const BYTE*)PlaceBytes(region, zip.data() + place.offset, (size_t)place.size);
            PayloadContents contents, again;
            ok = ReadPayloadEntries(directory, (UINT32)place.size, &place, &contents);
            if (TakeGuardFault(&past))
                problems +=
                    "ReadPayloadEntries read " + std::to_string(past + 1) + " byte(s) past the directory; ";
            if (ok) {
                ++accepted;
                unsafe += contents.unsafe != 0;
                problems += ListProblem(contents);
                if (!ReadPayloadEntries(directory, (UINT32)place.size, &place, &again) ||
                    again.count != contents.count ||
                    memcmp(again.entries, contents.entries, contents.count * sizeof(PayloadEntry)) != 0)
                    problems += "a second read gave another list; ";
                ReleasePackageContents(&again);
            }
            ReleasePackageContents(&contents);
        }
        if (!problems.empty())
            RecordFailure(&log, i, problems, zip);
    }
    SetCurrentCase("", 0, nullptr);
    printf("[ fuzz ] contents reader: %llu mutated packages, %llu directories found, %llu lists accepted "
           "(%llu marked unsafe), %llu failing cases, %.0f ms\n",
           (unsigned long long)ran, (unsigned long long)placed, (unsigned long long)accepted,
           (unsigned long long)unsafe, (unsigned long long)log.count, MillisecondsSince(started));
    EXPECT_EQ(0u, log.count) << FailureSummary(log);
}
