#include "packagetail.h"

#include <algorithm>

namespace pub {

namespace {

TailRead Bad(PackageTail* tail, const char* why) {
    tail->why = why;
    return TailRead::Bad;
}

// Which of the installer's steps refused the bytes it holds: the end records, the zip64 end record, or
// (both read) the distance back to what they name.
const char* TailFault(const PackageTail& tail, uint64_t fileSize) {
    uint64_t last = std::min<uint64_t>(fileSize, ZIP_TAIL_CAPACITY);
    ZipDirectoryPlace place;
    if (!FindZipDirectory(tail.bytes.data() + (tail.bytes.size() - last), static_cast<uint32_t>(last),
                          fileSize, &place))
        return "no end record in the last 64 KiB that the installer reads (one disk, a directory within the "
               "file, at most 65536 entries and 64 MiB)";
    uint64_t record = place.zip64RecordOffset;
    if (place.zip64Pending && record >= tail.start &&
        !ReadZip64EndRecord(tail.bytes.data() + (record - tail.start), ZIP64_END_RECORD_SIZE, &place))
        return "the zip64 end record is not one the installer reads (one disk, a directory within the file, "
               "at most 65536 entries and 64 MiB)";
    return "the tail reaches back further than the installer fetches";
}

} // namespace

TailRead ReadPackageTail(uint64_t fileSize, const TailFetch& fetch, PackageTail* tail) {
    *tail = PackageTail();
    if (fileSize == 0)
        return Bad(tail, "the package is empty");
    // The last bytes, then each further piece from what the bytes so far name up to where they begin.
    uint64_t first = fileSize - std::min<uint64_t>(fileSize, ZIP_TAIL_CAPACITY);
    tail->start = fileSize;
    ReuseTailState state = REUSE_TAIL_NEEDS_MORE;
    while (state == REUSE_TAIL_NEEDS_MORE) {
        if (tail->requests == REUSE_TAIL_READS)
            return Bad(tail, "the end records name more pieces than the installer fetches");
        Bytes piece;
        ++tail->requests;
        if (!fetch(first, tail->start, &piece))
            return TailRead::FetchFailed;
        if (piece.size() != tail->start - first)
            return Bad(tail, "the bytes fetched are not the range asked for");
        piece.insert(piece.end(), tail->bytes.begin(), tail->bytes.end());
        tail->bytes.swap(piece);
        tail->start = first;
        state = ReadReuseTail(tail->bytes.data(), tail->bytes.size(), fileSize, &tail->place, &first);
    }
    if (state == REUSE_TAIL_BAD)
        return Bad(tail, TailFault(*tail, fileSize));

    // Past the records lies the end record, or the zip64 end record that the installer read.
    const unsigned char* behind = tail->bytes.data() + (tail->place.end - tail->start);
    tail->zip64 = behind[0] == 'P' && behind[1] == 'K' && behind[2] == 6 && behind[3] == 6;
    size_t n = static_cast<size_t>(tail->place.count) + 1;
    tail->records.resize(n);
    tail->ends.resize(n);
    tail->order.resize(n);
    uint32_t count = 0;
    if (!ReadZipRecords(tail->bytes.data() + (tail->place.offset - tail->start), &tail->place,
                        tail->records.data(), static_cast<uint32_t>(tail->place.count), &count))
        return Bad(tail, "a central directory record is broken or names bytes outside the entries, or the "
                         "records do not fill the directory");
    if (!ZipEntryExtents(tail->records.data(), count, tail->place.offset, tail->order.data(),
                         tail->ends.data()))
        return Bad(tail, "two entries share bytes");
    tail->records.resize(count);
    tail->ends.resize(count);
    tail->order.resize(count);
    return TailRead::Ok;
}

} // namespace pub
