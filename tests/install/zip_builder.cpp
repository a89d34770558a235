#include "zip_builder.h"

#include <zlib.h>

void Put(std::string* bytes, size_t at, uint64_t value, int size) {
    if (at + size > bytes->size())
        bytes->resize(at + size);
    for (int i = 0; i < size; ++i)
        (*bytes)[at + i] = (char)(value >> (8 * i));
}

uint64_t Get(const std::string& bytes, size_t at, int size) {
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | (unsigned char)bytes[at + i];
    return value;
}

static std::string RawDeflate(const std::string& data) {
    z_stream stream = {};
    deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, (uLong)data.size()), '\0');
    stream.next_in = (Bytef*)data.data();
    stream.avail_in = (uInt)data.size();
    stream.next_out = (Bytef*)&out[0];
    stream.avail_out = (uInt)out.size();
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

static void Append(std::string* bytes, uint64_t value, int size) {
    Put(bytes, bytes->size(), value, size);
}

ZipEntrySpec ZipFile(const std::string& name, const std::string& data, uint16_t flags) {
    ZipEntrySpec entry;
    entry.name = name;
    entry.data = data;
    entry.flags = flags;
    if (!name.empty() && name.back() == '/')
        entry.external = 0x10;
    return entry;
}

std::string ExtraField(uint16_t id, const std::string& data) {
    std::string field;
    Append(&field, id, 2);
    Append(&field, data.size(), 2);
    return field + data;
}

std::string BuildZip(const ZipSpec& spec) {
    std::string archive, directory;
    for (const ZipEntrySpec& e : spec.entries) {
        uint32_t crc = (uint32_t)crc32(0, (const Bytef*)e.data.data(), (uInt)e.data.size());
        std::string stored = e.deflate ? RawDeflate(e.data) : e.data;
        uint64_t size = e.claimedSize ? e.claimedSize : e.data.size(), offset = archive.size();
        uint64_t methodTimeDate = (e.deflate ? 8 : 0) | 0x5821ull << 32;
        bool big = e.zip64 || size > 0xFFFFFFFFu;
        bool descriptor = (e.flags & 0x8) != 0;
        // Local header: with a data descriptor the CRC and sizes follow the data instead.
        Append(&archive, 0x04034B50, 4);
        Append(&archive, big ? 45 : 20, 2);
        Append(&archive, e.flags, 2);
        Append(&archive, methodTimeDate, 6);
        Append(&archive, descriptor ? 0 : crc, 4);
        for (uint64_t value : {(uint64_t)stored.size(), size})
            Append(&archive, descriptor ? 0 : big ? 0xFFFFFFFF : value, 4);
        std::string localExtra; // uncompressed, then compressed size
        Append(&localExtra, size, 8);
        Append(&localExtra, stored.size(), 8);
        localExtra = big ? ExtraField(1, localExtra) : "";
        Append(&archive, e.name.size(), 2);
        Append(&archive, localExtra.size(), 2);
        archive += e.name + localExtra + stored;
        if (descriptor) {
            Append(&archive, 0x08074B50, 4);
            Append(&archive, crc, 4);
            Append(&archive, stored.size(), big ? 8 : 4);
            Append(&archive, size, big ? 8 : 4);
        }
        std::string zip64;
        if (big) {
            for (uint64_t value : {size, (uint64_t)stored.size(), offset})
                Append(&zip64, value, 8);
            zip64 = ExtraField(1, zip64);
        }
        Append(&directory, 0x02014B50, 4);
        Append(&directory, e.madeBy, 2);
        Append(&directory, big ? 45 : 20, 2);
        Append(&directory, e.flags, 2);
        Append(&directory, methodTimeDate, 6);
        Append(&directory, crc, 4);
        for (uint64_t value : {(uint64_t)stored.size(), size})
            Append(&directory, big ? 0xFFFFFFFF : value, 4);
        Append(&directory, e.name.size(), 2);
        Append(&directory, e.extra.size() + zip64.size(), 2);
        Append(&directory, 0, 6); // comment length, disk, internal attributes
        Append(&directory, e.external, 4);
        Append(&directory, big ? 0xFFFFFFFF : offset, 4);
        directory += e.name + e.extra + zip64;
    }
    uint64_t directoryOffset = archive.size(), count = spec.entries.size();
    archive += directory;
    if (spec.zip64End) {
        uint64_t recordOffset = archive.size();
        Append(&archive, 0x06064B50, 4);
        Append(&archive, 44, 8);
        Append(&archive, 0x002D002D, 4);
        Append(&archive, 0, 8); // disks
        for (uint64_t value : {count, count, (uint64_t)directory.size(), directoryOffset})
            Append(&archive, value, 8);
        Append(&archive, 0x07064B50, 4);
        Append(&archive, 0, 4);
        Append(&archive, recordOffset, 8);
        Append(&archive, 1, 4);
    }
    Append(&archive, 0x06054B50, 4);
    Append(&archive, 0, 4);
    Append(&archive, spec.zip64End ? 0xFFFFFFFF : count * 0x10001, 4);
    Append(&archive, spec.zip64End ? 0xFFFFFFFF : directory.size(), 4);
    Append(&archive, spec.zip64End ? 0xFFFFFFFF : directoryOffset, 4);
    Append(&archive, spec.comment.size(), 2);
    return archive + spec.comment;
}
