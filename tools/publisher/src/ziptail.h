// The tail of a package zip that an upgrade with reuse reads first: the central directory, the zip64
// records and the end record, found from the file's last bytes with the installer's limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pub {

// The last bytes that always hold the end record: the record, the longest comment, a zip64 locator.
constexpr uint64_t kZipTailWindow = 22 + 65535 + 20;

enum class TailRead { Ok, NeedEarlier, Bad };

struct ZipTail {
    uint64_t start = 0;   // Ok: where the central directory begins; the tail is [start, file size)
    uint64_t entries = 0; // Ok: the directory's entries
    bool zip64 = false;
    uint64_t earlier = 0; // NeedEarlier: the offset the bytes must reach back to
    std::string why;      // Bad: what does not hold
};

// bytes are the file's last n bytes (from fileSize - n). NeedEarlier when the tail starts before them.
TailRead ReadZipTail(const unsigned char* bytes, size_t n, uint64_t fileSize, ZipTail* tail);

} // namespace pub
