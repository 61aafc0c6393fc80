// The decompression state of the entry being extracted.
#pragma once

#include "zip/auto_buffer.h"

#include <zlib.h>

#include <cstdint>

namespace qm {

struct CZipInternalInfo {
    static constexpr int kDefaultBufferSize = 16384;

    int bufferSize = kDefaultBufferSize;
    z_stream stream{};               // allocation hooks are the archive's tracking hooks
    std::uint32_t uncomprLeft = 0;   // bytes the local header still promises
    std::uint32_t comprLeft = 0;     // compressed bytes not yet requested from the file
    CAutoBuffer buffer;              // input, allocated while an entry is open
};

} // namespace qm
