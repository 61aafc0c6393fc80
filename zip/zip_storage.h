// The archive file as the reader sees it, with the read rules every caller relies on.
#pragma once

#include "zip/big_file.h"

#include <cstddef>
#include <filesystem>

namespace qm {

class CZipStorage {
public:
    enum SpanMode { noSpan = 0, tolerant = 1 };

    // Opens an existing archive. An opened archive is always tolerant: a short data read is
    // not an error, it sets the short-read flag.
    void Open(const std::filesystem::path& path);
    void Close();

    // Reads at the current position and returns the bytes the file delivered. Nothing or the
    // full request is returned as is; a short read raises CZipException badZipFile when
    // allOrNothing is set and otherwise sets the short-read flag.
    std::size_t Read(void* buffer, std::size_t size, bool allOrNothing);

    const std::filesystem::path& GetArchivePath() const { return file.GetFilePath(); }

    CBigFile file;
    int spanMode = noSpan;
    bool shortRead = false;
};

} // namespace qm
