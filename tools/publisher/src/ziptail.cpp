#include "ziptail.h"

namespace pub {

namespace {

constexpr uint32_t kEndSignature = 0x06054B50, kLocatorSignature = 0x07064B50;
constexpr uint32_t kZip64EndSignature = 0x06064B50, kDirectorySignature = 0x02014B50;
constexpr uint64_t kEndSize = 22, kLocatorSize = 20, kZip64EndSize = 56, kHeaderSize = 46;
// The installer's limits of a directory it reads.
constexpr uint64_t kMaxDirectorySize = 64u << 20, kMaxEntries = 65536;

uint32_t Read16(const unsigned char* p) {
    return static_cast<uint32_t>(p[0] | (p[1] << 8));
}
uint32_t Read32(const unsigned char* p) {
    return Read16(p) | (Read16(p + 2) << 16);
}
uint64_t Read64(const unsigned char* p) {
    return Read32(p) | (static_cast<uint64_t>(Read32(p + 4)) << 32);
}

TailRead Bad(ZipTail* tail, const char* why) {
    tail->why = why;
    return TailRead::Bad;
}

TailRead Earlier(ZipTail* tail, uint64_t offset) {
    tail->earlier = offset;
    return TailRead::NeedEarlier;
}

} // namespace

TailRead ReadZipTail(const unsigned char* bytes, size_t n, uint64_t fileSize, ZipTail* tail) {
    *tail = ZipTail();
    if (n > fileSize)
        return Bad(tail, "more bytes than the file has");
    uint64_t base = fileSize - n; // file offset of bytes[0]
    uint64_t window = fileSize > kZipTailWindow ? fileSize - kZipTailWindow : 0;
    if (n < kEndSize)
        return base > 0 ? Earlier(tail, window) : Bad(tail, "the file is shorter than a zip end record");
    // The end record nearest the end whose comment reaches exactly to the file's end: the same one
    // whatever the bytes start at, as long as they hold it.
    uint64_t at = n - kEndSize;
    while (Read32(bytes + at) != kEndSignature || at + kEndSize + Read16(bytes + at + 20) != n) {
        if (at == 0 && base > window)
            return Earlier(tail, window);
        if (at == 0 || n - at >= kZipTailWindow)
            return Bad(tail, "no zip end record in the last 64 KiB");
        --at;
    }
    // A zip64 locator would lie before the bytes, unless the directory ends right at the end record.
    if (at < kLocatorSize && base > 0 &&
        static_cast<uint64_t>(Read32(bytes + at + 16)) + Read32(bytes + at + 12) != base + at)
        return Earlier(tail, base + at > kLocatorSize ? base + at - kLocatorSize : 0);
    const unsigned char* end = bytes + at;
    uint64_t count, size, offset, directoryEnd;
    if (at >= kLocatorSize && Read32(end - kLocatorSize) == kLocatorSignature) {
        const unsigned char* locator = end - kLocatorSize;
        uint64_t locatorOffset = base + at - kLocatorSize, record = Read64(locator + 8);
        if (Read32(locator + 4) != 0 || Read32(locator + 16) > 1 || record > locatorOffset ||
            locatorOffset - record < kZip64EndSize)
            return Bad(tail, "the zip64 locator does not point at a record before it");
        if (record < base)
            return Earlier(tail, record);
        const unsigned char* r = bytes + (record - base);
        uint64_t recordSize = Read64(r + 4);
        if (Read32(r) != kZip64EndSignature || recordSize < kZip64EndSize - 12 ||
            recordSize > locatorOffset - record - 12 || Read32(r + 16) != 0 || Read32(r + 20) != 0 ||
            Read64(r + 24) != Read64(r + 32))
            return Bad(tail, "the zip64 end record is not one the installer reads");
        count = Read64(r + 32);
        size = Read64(r + 40);
        offset = Read64(r + 48);
        directoryEnd = record;
        tail->zip64 = true;
    } else {
        if (Read16(end + 4) != 0 || Read16(end + 6) != 0 || Read16(end + 8) != Read16(end + 10))
            return Bad(tail, "the zip spans several disks");
        count = Read16(end + 10);
        size = Read32(end + 12);
        offset = Read32(end + 16);
        directoryEnd = base + at;
    }
    if (count > kMaxEntries || size > kMaxDirectorySize || offset > directoryEnd ||
        size > directoryEnd - offset || count * kHeaderSize > size)
        return Bad(tail, "the central directory's place, size or count is outside the installer's limits");
    if (offset < base)
        return Earlier(tail, offset);
    // Every record whole inside the directory.
    uint64_t position = offset - base, stop = position + size;
    for (uint64_t i = 0; i < count; ++i) {
        if (stop - position < kHeaderSize || Read32(bytes + position) != kDirectorySignature)
            return Bad(tail, "a central directory record is missing or cut short");
        uint64_t length = kHeaderSize + Read16(bytes + position + 28) + Read16(bytes + position + 30) +
                          Read16(bytes + position + 32);
        if (length > stop - position)
            return Bad(tail, "a central directory record runs past the directory");
        position += length;
    }
    tail->start = offset;
    tail->entries = count;
    return TailRead::Ok;
}

} // namespace pub
