// The upgrade that fetches only what changed (a channel's "reuse": true): the files the machine already
// has (bases), the new package's tail, the plan's fetches, and the assembly under the merged name.
#pragma once

#include "download/download.h"
#include "support/reuseplan.h"

static const UINT32 REUSE_MAX_BASES = 16;
static const UINT32 REUSE_MAX_INSTALLED = 1024;
static const UINT32 REUSE_MAX_SOURCES = REUSE_MAX_BASES + REUSE_MAX_INSTALLED;
static const UINT32 REUSE_MAX_REQUESTS = 4096;
// Directory bytes of all bases held at once; a base past it is not used.
static const UINT64 REUSE_DIRECTORY_BUDGET = 8u << 20;
static const UINT32 REUSE_VERSION_CAPACITY = 32;

// A file the package's bytes may be copied from: a complete package of the cache (a base, with the
// version its name gives) or an installed file. Only ever opened for reading, sharing everything.
struct ReuseSource {
    WCHAR path[PATH_CAPACITY];
    WCHAR version[REUSE_VERSION_CAPACITY];
    HANDLE file;
};

struct ReuseSources {
    ReuseSource* sources; // capacity records: the bases first, then installed files
    UINT32 baseCount;
    UINT32 count;
    UINT32 capacity;
    BYTE* directories[REUSE_MAX_BASES]; // the candidates' names point into these
    UINT64 directoryBytes;
    ReuseCandidate* candidates;
    UINT32 candidateCount;
    UINT32 candidateCapacity;
};

// The package's last bytes from start on, with the directory's place.
struct PackageTail {
    BYTE* bytes;
    UINT64 start;
    ZipDirectoryPlace place;
};

// "<package path>.<kind>" or, with an index, "<package path>.<kind><index>".
BOOL ReuseFilePath(WCHAR* path, const WCHAR* packagePath, const WCHAR* kind, int index);
// Deletes the fetched files; with all the tail and the plan's key too.
void DeleteReuseFiles(const WCHAR* packagePath, BOOL all);

// What a reuse ended with: nothing to reuse (the caller downloads as without it), the verified package in
// place, a mismatch (merged file and fetched files deleted: the caller downloads the whole package) or a
// failure with the thread's code (a cancel: the fetched files stay).
enum ReuseOutcome { REUSE_NONE, REUSE_DONE, REUSE_MISMATCH, REUSE_FAILED };
ReuseOutcome DownloadReusing(const ManifestEntry* entry, const WCHAR* url, const WCHAR* cacheDir,
                             const WCHAR* packagePath, const WCHAR* mergedPath, const WCHAR* upgradeDir,
                             HWND window, volatile LONG* cancelFlag, UINT64 cancelAfterBytes);

// The fetches on their connections and, meanwhile, the assembly of the merged file in package order.
// ASSEMBLY_SOURCE_FAILED: a base or installed file could not be read as planned (the package is then
// fetched whole); ASSEMBLY_FAILED: the fetch or the write failed, with the thread's code.
enum AssemblyResult { ASSEMBLY_DONE, ASSEMBLY_SOURCE_FAILED, ASSEMBLY_FAILED };
AssemblyResult FetchAndAssemble(const ReusePlan* plan, const ReuseRequest* requests, UINT32 requestCount,
                                const PackageTail* tail, ReuseSources* sources, const WCHAR* url,
                                const WCHAR* packagePath, const WCHAR* mergedPath, DownloadProgress* progress,
                                StreamedDigest* digest);

// Reads length bytes at first into the buffer; FALSE (with the code) when it cannot.
typedef BOOL (*TailReader)(void* source, UINT64 first, UINT64 length, BYTE* into);
// A package's tail from its end back to its directory: the last bytes, then further back as the end
// records point, each read taking only the bytes not yet held (at most REUSE_TAIL_READS reads, never more
// than budget bytes in all). Null when it is no zip this program reads; else the caller releases it.
BYTE* ReadPackageTail(TailReader read, void* source, UINT64 size, UINT64 budget, ZipDirectoryPlace* place,
                      UINT64* from);

// The version in a cache package's file name "package-<version>-<channel>.zip", or FALSE for any other
// name (a merged, part or fetched file included).
BOOL BasePackageVersion(const WCHAR* name, WCHAR* version, UINT32 capacity);
// The cache's complete packages other than packagePath, in name order (at most REUSE_MAX_BASES).
BOOL ListBasePackages(const WCHAR* cacheDir, const WCHAR* packagePath, ReuseSources* sources);
// Each base's entries that can serve, as candidates; a base that cannot be read or parsed adds none.
void ReadBaseCandidates(ReuseSources* sources);
// For an upgrade: installed files that hold the new package's stored entries no base serves (by size and
// CRC-32), as candidates. Then sorts all candidates for the plan.
void AddInstalledCandidates(ReuseSources* sources, const WCHAR* upgradeDir, const ZipRecord* records,
                            UINT32 count, const uint64_t* extentEnds, volatile LONG* cancelFlag);
void ReleaseSources(ReuseSources* sources);

// The "正在复用…" line: the versions of the bases used, installed files, the share copied and the bytes
// to download (MB of 2^20 bytes, one decimal).
void FormatReuseText(WCHAR* buffer, UINT32 capacity, const WCHAR* versions, BOOL installed, UINT64 copied,
                     UINT64 total, UINT64 download);
