// Decoding past damaged deflate data on arbitrary bytes: besides memory errors it checks that
// the output stays within its bound and that a clean stream is never reported as restarted.
#include "zip/deflate_recovery.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qm::deflate::RecoveryLimits limits;
    limits.maxOutput = 1 << 20;
    limits.work = std::uint64_t{8} << 20; // a short search keeps the executions quick
    const auto r = qm::deflate::RecoverText({data, size}, limits);
    if (r.bytes.size() > limits.maxOutput || (r.restarts > 0 && !r.damaged))
        std::abort();
    return 0;
}
