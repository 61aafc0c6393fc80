// Feeds arbitrary bytes to the package text scanner as if they were word/document.xml.
#include "engine/docx_text_scanner.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qm::docx::ScanPartParagraphs({data, size});
    return 0;
}
