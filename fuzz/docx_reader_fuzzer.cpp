// The .docx reader on arbitrary bytes: a package, damaged or not, must give a document or a
// DocError, never a crash.
#include "docserver/format_io.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        (void)qm::docserver::readDocx({data, size});
    } catch (const qm::docserver::DocError&) {
    }
    return 0;
}
