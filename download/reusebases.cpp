// The bases of an upgrade: the cache's complete packages of any version and channel, and installed files
// for stored entries, each read only, their directories turned into the plan's candidates.
#include "download/reuse.h"
#include "install/contents.h"

static const WCHAR PACKAGE_PREFIX[] = L"package-";
static const WCHAR PACKAGE_SUFFIX[] = L".zip";

BOOL BasePackageVersion(const WCHAR* name, WCHAR* version, UINT32 capacity) {
    UINT32 length = WideLength(name), prefix = 8, suffix = 4;
    if (length <= prefix + suffix)
        return FALSE;
    for (UINT32 i = 0; i < prefix; ++i)
        if (name[i] != PACKAGE_PREFIX[i])
            return FALSE;
    for (UINT32 i = 0; i < suffix; ++i)
        if (name[length - suffix + i] != PACKAGE_SUFFIX[i])
            return FALSE;
    // The version ends at the last '-' before ".zip"; the channel follows it.
    UINT32 dash = length - suffix;
    while (dash > prefix && name[dash - 1] != L'-')
        --dash;
    if (dash <= prefix + 1 || dash - 1 - prefix >= capacity || dash == length - suffix)
        return FALSE;
    UINT32 n = dash - 1 - prefix;
    for (UINT32 i = 0; i < n; ++i)
        version[i] = name[prefix + i];
    version[n] = 0;
    return TRUE;
}

static BOOL NameBefore(const WCHAR* a, const WCHAR* b) {
    while (*a && *a == *b)
        ++a, ++b;
    return *a < *b;
}

BOOL ListBasePackages(const WCHAR* cacheDir, const WCHAR* packagePath, ReuseSources* sources) {
    WCHAR pattern[PATH_CAPACITY];
    if (!ComposePath(pattern, PATH_CAPACITY, L"%s\\package-*.zip", cacheDir))
        return FALSE;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return TRUE;
    do {
        WCHAR version[REUSE_VERSION_CAPACITY];
        ReuseSource candidate;
        MemoryZero(&candidate, sizeof(candidate));
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            !BasePackageVersion(found.cFileName, version, REUSE_VERSION_CAPACITY) ||
            !ComposePath(candidate.path, PATH_CAPACITY, L"%s\\%s", cacheDir, found.cFileName) ||
            WideEqualsAsciiNoCase(candidate.path, packagePath))
            continue;
        CopyWide(candidate.version, REUSE_VERSION_CAPACITY, version);
        candidate.file = INVALID_HANDLE_VALUE;
        // Kept in name order; past the limit the last names drop out.
        UINT32 at = sources->baseCount;
        while (at > 0 && NameBefore(candidate.path, sources->sources[at - 1].path))
            --at;
        if (at >= REUSE_MAX_BASES)
            continue;
        UINT32 last = sources->baseCount < REUSE_MAX_BASES ? sources->baseCount : REUSE_MAX_BASES - 1;
        for (UINT32 i = last; i > at; --i)
            sources->sources[i] = sources->sources[i - 1];
        sources->sources[at] = candidate;
        if (sources->baseCount < REUSE_MAX_BASES)
            ++sources->baseCount;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    sources->count = sources->baseCount;
    return TRUE;
}

static HANDLE OpenSourceFile(const WCHAR* path) {
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

static BOOL GrowCandidates(ReuseSources* sources, UINT32 more) {
    if (sources->candidateCount + more <= sources->candidateCapacity)
        return TRUE;
    UINT32 capacity = sources->candidateCapacity * 2 + more + 64;
    ReuseCandidate* grown = (ReuseCandidate*)HeapTake((SIZE_T)capacity * sizeof(ReuseCandidate), FALSE);
    if (!grown)
        return FALSE;
    if (sources->candidates)
        MemoryCopy(grown, sources->candidates, (SIZE_T)sources->candidateCount * sizeof(ReuseCandidate));
    HeapRelease(sources->candidates);
    sources->candidates = grown;
    sources->candidateCapacity = capacity;
    return TRUE;
}

BYTE* ReadPackageTail(TailReader read, void* source, UINT64 size, UINT64 budget, ZipDirectoryPlace* place,
                      UINT64* from) {
    UINT64 start = size - (size < ZIP_TAIL_CAPACITY ? size : ZIP_TAIL_CAPACITY), have = size;
    BYTE* bytes = nullptr;
    for (UINT32 round = 0; round < REUSE_TAIL_READS && size - start <= budget; ++round) {
        BYTE* grown = (BYTE*)HeapTake((SIZE_T)(size - start), FALSE);
        BOOL ok = grown && read(source, start, have - start, grown);
        if (ok && bytes)
            MemoryCopy(grown + (have - start), bytes, (SIZE_T)(size - have));
        HeapRelease(bytes);
        bytes = grown;
        if (!ok)
            break;
        have = start;
        UINT64 need = 0;
        ReuseTailState state = ReadReuseTail(bytes, size - start, size, place, &need);
        if (state == REUSE_TAIL_READ) {
            *from = start;
            return bytes;
        }
        if (state == REUSE_TAIL_BAD)
            break;
        start = need;
    }
    HeapRelease(bytes);
    return nullptr;
}

static BOOL ReadFromFile(void* file, UINT64 first, UINT64 length, BYTE* into) {
    return ReadFileAt((HANDLE)file, first, into, (UINT32)length);
}

// One base: its records, their extents and the local header of each (read from disk) make candidates.
static void ReadOneBase(ReuseSources* sources, UINT32 base) {
    HANDLE file = OpenSourceFile(sources->sources[base].path);
    LARGE_INTEGER size;
    size.QuadPart = 0;
    if (file == INVALID_HANDLE_VALUE)
        return;
    ZipDirectoryPlace place;
    UINT64 from = 0;
    BYTE* tail = GetFileSizeEx(file, &size) && size.QuadPart > 0
                     ? ReadPackageTail(ReadFromFile, file, (UINT64)size.QuadPart,
                                       REUSE_DIRECTORY_BUDGET - sources->directoryBytes, &place, &from)
                     : nullptr;
    UINT32 count = 0;
    ZipRecord* records =
        tail ? (ZipRecord*)HeapTake((SIZE_T)(place.count + 1) * sizeof(ZipRecord), FALSE) : nullptr;
    uint64_t* ends =
        records ? (uint64_t*)HeapTake((SIZE_T)(place.count + 1) * sizeof(uint64_t), FALSE) : nullptr;
    uint32_t* order =
        ends ? (uint32_t*)HeapTake((SIZE_T)(place.count + 1) * sizeof(uint32_t), FALSE) : nullptr;
    BOOL read =
        order &&
        ReadZipRecords(tail + (place.offset - from), &place, records, (uint32_t)place.count, &count) &&
        ZipEntryExtents(records, count, place.offset, order, ends) && GrowCandidates(sources, count);
    UINT32 added = 0;
    for (UINT32 i = 0; read && i < count; ++i) {
        BYTE header[ZIP_LOCAL_HEADER_SIZE];
        if (!ReadFileAt(file, records[i].localOffset, header, ZIP_LOCAL_HEADER_SIZE))
            break;
        UINT32 length = ZipLocalHeaderLength(header, ZIP_LOCAL_HEADER_SIZE, &records[i]);
        if (CandidateFromRecord(&records[i], ends[i], length, base,
                                &sources->candidates[sources->candidateCount + added]))
            ++added;
    }
    CloseHandle(file);
    HeapRelease(records);
    HeapRelease(ends);
    HeapRelease(order);
    if (added == 0) {
        HeapRelease(tail);
        return;
    }
    sources->candidateCount += added;
    sources->directories[base] = tail;
    sources->directoryBytes += (UINT64)size.QuadPart - from;
}

void ReadBaseCandidates(ReuseSources* sources) {
    for (UINT32 base = 0; base < sources->baseCount; ++base)
        ReadOneBase(sources, base);
    SortCandidates(sources->candidates, sources->candidateCount);
}

// The installed file holds exactly the entry's bytes (size and CRC-32), read with all sharing.
static BOOL InstalledFileMatches(const WCHAR* path, const ZipRecord* entry, BYTE* buffer) {
    HANDLE file = OpenSourceFile(path);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL same = OpenFileMatches(file, entry->size, entry->crc32, buffer, IO_CHUNK_SIZE);
    CloseHandle(file);
    return same;
}

// Room for the installed files after the bases: one record for each stored entry, within the limit.
static BOOL GrowSourcesForInstalled(ReuseSources* sources, const ZipRecord* records, UINT32 count) {
    UINT32 stored = 0;
    for (UINT32 i = 0; i < count && stored < REUSE_MAX_INSTALLED; ++i)
        stored += records[i].method == 0 && records[i].size != 0 ? 1 : 0;
    UINT32 capacity = sources->count + stored;
    ReuseSource* grown = (ReuseSource*)HeapTake((SIZE_T)capacity * sizeof(ReuseSource), FALSE);
    if (!grown)
        return FALSE;
    MemoryCopy(grown, sources->sources, (SIZE_T)sources->count * sizeof(ReuseSource));
    HeapRelease(sources->sources);
    sources->sources = grown;
    sources->capacity = capacity;
    return TRUE;
}

void AddInstalledCandidates(ReuseSources* sources, const WCHAR* upgradeDir, const ZipRecord* records,
                            UINT32 count, const uint64_t* extentEnds, volatile LONG* cancelFlag) {
    BYTE* buffer = upgradeDir && GrowSourcesForInstalled(sources, records, count)
                       ? (BYTE*)HeapTake(IO_CHUNK_SIZE, FALSE)
                       : nullptr;
    for (UINT32 i = 0; buffer && i < count && sources->count < sources->capacity; ++i) {
        const ZipRecord* entry = &records[i];
        bool whole = false;
        if (entry->method != 0 || entry->size == 0 || entry->compressedSize != entry->size ||
            (cancelFlag && AtomicIsSet(cancelFlag)) ||
            FindReuseCandidate(sources->candidates, sources->candidateCount, entry,
                               extentEnds[i] - entry->localOffset, &whole))
            continue;
        WCHAR relative[PATH_CAPACITY];
        BOOL folder = FALSE;
        ReuseSource* source = &sources->sources[sources->count];
        MemoryZero(source, sizeof(*source));
        if (ClassifyEntryName(entry->name, entry->nameLength, EntryNameCodePage(entry->flags), relative,
                              &folder) != ENTRY_LISTED ||
            folder || !ComposePath(source->path, PATH_CAPACITY, L"%s\\%s", upgradeDir, relative) ||
            !InstalledFileMatches(source->path, entry, buffer) || !GrowCandidates(sources, 1))
            continue;
        source->file = INVALID_HANDLE_VALUE;
        CandidateFromInstalled(entry, sources->count, &sources->candidates[sources->candidateCount++]);
        ++sources->count;
    }
    HeapRelease(buffer);
    SortCandidates(sources->candidates, sources->candidateCount);
}

void ReleaseSources(ReuseSources* sources) {
    for (UINT32 i = 0; sources->sources && i < sources->count; ++i)
        if (sources->sources[i].file != INVALID_HANDLE_VALUE && sources->sources[i].file != nullptr)
            CloseHandle(sources->sources[i].file);
    for (UINT32 i = 0; i < REUSE_MAX_BASES; ++i)
        HeapRelease(sources->directories[i]);
    HeapRelease(sources->sources);
    HeapRelease(sources->candidates);
    MemoryZero(sources, sizeof(*sources));
}

void FormatReuseText(WCHAR* buffer, UINT32 capacity, const WCHAR* versions, BOOL installed, UINT64 copied,
                     UINT64 total, UINT64 download) {
    int percent = total ? (int)(copied * 100 / total) : 0;
    UINT64 whole = download >> 20, tenth = ((download & 0xFFFFF) * 10) >> 20;
    if (versions[0])
        FormatText(buffer, capacity, L"正在复用 %s %s中未变的 %d%%，只需下载 %llu.%llu MB…", versions,
                   installed ? L"缓存包和已安装文件" : L"缓存包", percent, whole, tenth);
    else
        FormatText(buffer, capacity, L"正在复用已安装文件中未变的 %d%%，只需下载 %llu.%llu MB…", percent,
                   whole, tenth);
}
