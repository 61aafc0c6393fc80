// Feeds arbitrary bytes to the byte-level steps of the .doc salvage as if they were a source:
// every scan, the text loops (into a range without a server, so only the decoding runs), the
// picture scan and the tail copy into a small stand-in for the new document.
#include "engine/doc_steps.h"
#include "engine/doc_text_loop.h"
#include "platform/temp.h"

#include <cstddef>
#include <cstdint>
#include <fstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qm::doc;
    const Bytes source(data, size);
    qm::word::Range nowhere; // calls on an empty handle do nothing

    findRepairPoint(source);
    if (const auto fib = findFibText(source)) {
        // Bound the count so one input cannot spend seconds in empty chunks.
        runTextLoop(source, fib->textStart, fib->count & 0xFFFF, ChunkKeep::AllButLast, nowhere);
        static const auto newDoc = qm::temp::makeFile(".doc");
        {
            std::ofstream out(newDoc, std::ios::binary | std::ios::trunc);
            const std::string body(4096, '\x11');
            out.write(body.data(), static_cast<std::streamsize>(body.size()));
        }
        tailCopy(source, *fib, newDoc);
    }
    for (const auto anchor : {Anchor::Author, Anchor::List})
        if (const auto n = findAnchoredCount(source, anchor))
            runTextLoop(source, kAnchoredTextStart, *n & 0xFFFF, ChunkKeep::Whole, nowhere);
    insertRawBlocks(source, nowhere);
    if (pictureGate(source)) {
        std::size_t total = 0;
        pictureScan(source, [&](Bytes record) {
            total += record.size();
            return 1;
        });
    }
    return 0;
}
