// A package's table of contents read the way an upgrade with reuse reads it: its last bytes, then back as
// far as the end records point, with the installer's own steps and limits (support/reuseplan.h compiled
// in), then every directory record and each entry's extent. The bytes come from the caller: a file in
// memory (diff) or range requests to the download host (probe).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "files.h"
#include "support/reuseplan.h"

namespace pub {

struct PackageTail {
    Bytes bytes;        // the package's bytes [start, file size); the records' names point into them
    uint64_t start = 0; // where the installer's tail begins
    uint32_t requests = 0;
    ZipDirectoryPlace place{};
    bool zip64 = false;
    std::vector<ZipRecord> records; // in directory order
    std::vector<uint64_t> ends;     // each entry's extent end
    std::vector<uint32_t> order;    // record indexes by local offset
    std::string why;                // Bad: what the installer refuses
};

enum class TailRead { Ok, FetchFailed, Bad };

// Puts bytes [first, end) of the package in *piece; false when they cannot be had (the caller keeps its
// own account of why).
using TailFetch = std::function<bool(uint64_t first, uint64_t end, Bytes* piece)>;

// Asks fetch for exactly the ranges the installer asks for, in its order.
TailRead ReadPackageTail(uint64_t fileSize, const TailFetch& fetch, PackageTail* tail);

} // namespace pub
