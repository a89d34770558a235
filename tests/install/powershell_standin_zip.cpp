// The PowerShell stand-in's zip reading: the central directory (with zip64 extra fields and names as the
// Shell reads them) and stored or deflated entries checked against their CRC.
#include "powershell_standin.h"

#include <zlib.h>

#include <algorithm>

namespace {

uint16_t Read16(const std::vector<uint8_t>& data, size_t at) {
    return (uint16_t)(data[at] | (data[at + 1] << 8));
}
uint32_t Read32(const std::vector<uint8_t>& data, size_t at) {
    return (uint32_t)Read16(data, at) | ((uint32_t)Read16(data, at + 2) << 16);
}

} // namespace

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& data) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < 0x40000000;
    if (ok) {
        data.resize((size_t)size.QuadPart);
        DWORD got = 0;
        ok = data.empty() ||
             (ReadFile(file, data.data(), (DWORD)data.size(), &got, nullptr) && got == data.size());
    }
    CloseHandle(file);
    return ok;
}

// Reads the central directory; false when the file is not a zip archive this stand-in understands.
bool ReadCentralDirectory(const std::vector<uint8_t>& data, std::vector<ZipEntry>& entries) {
    if (data.size() < 22)
        return false;
    size_t end = std::string::npos;
    size_t lowest = data.size() > 22 + 65535 ? data.size() - 22 - 65535 : 0;
    for (size_t at = data.size() - 22 + 1; at-- > lowest;) {
        if (Read32(data, at) == 0x06054b50) {
            end = at;
            break;
        }
    }
    if (end == std::string::npos)
        return false;
    uint16_t count = Read16(data, end + 10);
    uint32_t directorySize = Read32(data, end + 12), directoryOffset = Read32(data, end + 16);
    if ((uint64_t)directoryOffset + directorySize > end)
        return false;
    size_t at = directoryOffset;
    for (uint16_t i = 0; i < count; ++i) {
        if (at + 46 > end || Read32(data, at) != 0x02014b50)
            return false;
        uint16_t flags = Read16(data, at + 8);
        ZipEntry entry;
        entry.method = Read16(data, at + 10);
        entry.crc = Read32(data, at + 16);
        entry.compressedSize = Read32(data, at + 20);
        entry.size = Read32(data, at + 24);
        uint16_t nameLength = Read16(data, at + 28), extraLength = Read16(data, at + 30),
                 commentLength = Read16(data, at + 32);
        entry.localOffset = Read32(data, at + 42);
        if (at + 46 + nameLength + extraLength > end)
            return false;
        // A zip64 extra field holds, in this order, each of the three values whose field reads all ones.
        for (size_t x = at + 46 + nameLength; x + 4 <= at + 46 + nameLength + extraLength;
             x += 4 + Read16(data, x + 2)) {
            size_t value = x + 4, stop = value + Read16(data, x + 2);
            for (uint64_t* field : {&entry.size, &entry.compressedSize, &entry.localOffset})
                if (Read16(data, x) == 1 && *field == 0xFFFFFFFF && value + 8 <= stop) {
                    *field = Read32(data, value) | (uint64_t)Read32(data, value + 4) << 32;
                    value += 8;
                }
        }
        // As the Shell reads names: UTF-8 with bit 11, else the system's OEM code page; the Unicode Path
        // extra field (0x7075) is not looked at.
        UINT codePage = (flags & 0x800) ? CP_UTF8 : CP_OEMCP;
        const char* name = (const char*)&data[at + 46];
        int wide = MultiByteToWideChar(codePage, 0, name, nameLength, nullptr, 0);
        entry.name.assign(wide, L'\0');
        if (wide)
            MultiByteToWideChar(codePage, 0, name, nameLength, &entry.name[0], wide);
        for (wchar_t& c : entry.name)
            if (c == L'\\')
                c = L'/';
        entries.push_back(entry);
        at += 46 + nameLength + extraLength + commentLength;
    }
    return true;
}

bool ExtractEntry(const std::vector<uint8_t>& data, const ZipEntry& entry, std::vector<uint8_t>& out) {
    size_t at = entry.localOffset;
    if (at + 30 > data.size() || Read32(data, at) != 0x04034b50)
        return false;
    size_t start = at + 30 + Read16(data, at + 26) + Read16(data, at + 28);
    if (start + entry.compressedSize > data.size() || entry.size > 0xFFFFFFFFu)
        return false;
    out.assign(entry.size, 0);
    if (entry.method == 0) {
        if (entry.compressedSize != entry.size)
            return false;
        std::copy(data.begin() + start, data.begin() + start + entry.size, out.begin());
    } else if (entry.method == 8) {
        z_stream stream = {};
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
            return false;
        stream.next_in = const_cast<Bytef*>(&data[start]);
        stream.avail_in = (uInt)entry.compressedSize;
        uint8_t dummy;
        stream.next_out = out.empty() ? &dummy : out.data();
        stream.avail_out = (uInt)entry.size;
        int result = inflate(&stream, Z_FINISH);
        inflateEnd(&stream);
        if (result != Z_STREAM_END || stream.total_out != entry.size)
            return false;
    } else {
        return false;
    }
    return crc32(0, out.data(), (uInt)out.size()) == entry.crc;
}
