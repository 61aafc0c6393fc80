// The Word 97-2003 binary reader on arbitrary bytes: a document or a DocError, never a crash
// or a hang.
#include "docserver/doc_binary.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        (void)qm::docserver::readDocBinary({data, size});
    } catch (const qm::docserver::DocError&) {
    }
    return 0;
}
