// Zip archives built byte by byte for the table-of-contents tests, in the variants packers write:
// names in UTF-8 or code page 437, zip64 fields, data descriptors, extra fields, archive comments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ZipEntrySpec {
    std::string name; // as stored
    std::string data;
    bool deflate = false; // else stored
    uint16_t flags;       // general-purpose bits: 0x800 UTF-8 name, 0x8 data descriptor
    uint32_t external = 0;
    uint16_t madeBy = 20;     // high byte: the host system (3 Unix)
    std::string extra;        // extra fields written before the zip64 one
    bool zip64 = false;       // sizes and offset as all ones, the values in a zip64 extra field
    uint64_t claimedSize = 0; // when not 0: the uncompressed size written (in zip64 form)
};

struct ZipSpec {
    std::vector<ZipEntrySpec> entries;
    std::string comment = "";
    bool zip64End = false; // zip64 end record and locator
};

ZipEntrySpec ZipFile(const std::string& name, const std::string& data, uint16_t flags = 0x800);
std::string ExtraField(uint16_t id, const std::string& data);
std::string BuildZip(const ZipSpec& spec);
void Put(std::string* bytes, size_t at, uint64_t value, int size);
uint64_t Get(const std::string& bytes, size_t at, int size);
