// Recovery of a damaged raw deflate stream of a text part (XML).
//
// zlib stops at the first undecodable symbol, and damage in the middle of a Huffman block
// often does not stop it at all: decoding falls back into step a few symbols later, but every
// back-reference that reaches across the damage then copies the wrong bytes. This decoder
// reads the stream itself, checks that what it produces still looks like XML text, and at the
// first fault looks for the next bit position from which the rest decodes cleanly - either
// inside the damaged block with its code tables, or at a later block header - and goes on
// from there. Where the output after a restart belongs is worked out from how well the bytes
// its back-references copy from before the gap fit beside their neighbours; once placed, the
// gap has a known length and those back-references resolve. Bytes whose value is not known
// (the gap, back-references into it, and - when no place stands out - everything copied from
// before the restart and the first symbols after it) come out as kUnknownByte, so that the
// text scanner can drop the words that touch them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qm::deflate {

// Stands for a byte whose value is not known. XML text never holds a zero byte.
inline constexpr std::uint8_t kUnknownByte = 0;

// A unit of work takes several times longer in an unoptimised build and longer still under the
// address sanitizer; their limits are divided by this, so that the search takes about as long as
// in a release build (each build still gives the same result every time).
inline constexpr std::uint64_t kWorkScale =
#if defined(__SANITIZE_ADDRESS__)
    32;
#elif !defined(__OPTIMIZE__)
    8;
#else
    1;
#endif

struct RecoveryLimits {
    // Output is not produced beyond this many bytes.
    std::uint64_t maxOutput = std::uint64_t{256} << 20;
    // Work the search past damage may do, counted (not timed) so that the same data always
    // gives the same result: bits read by trial decoding (plus kTrialWork for each trial) and
    // the bytes traced and compared while placing output after a gap. Decoding on after a
    // restart is bounded by maxOutput and not counted. A unit takes about a nanosecond in a
    // release build (0.8-2 G units/s on a busy 2-core machine): the default is a search of
    // 2-4 s.
    std::uint64_t work = (std::uint64_t{3} << 30) / kWorkScale;
    // Wall-time backstop, far above what `work` takes, so that it never decides a result
    // unless the machine all but stops.
    std::chrono::milliseconds backstop{30000};
};

// Work counted for setting up one trial decode, besides the bits it reads.
inline constexpr std::uint64_t kTrialWork = 256;

struct RecoveryResult {
    std::vector<std::uint8_t> bytes; // the decoded part, unknown bytes marked
    std::size_t cleanPrefix = 0;     // bytes decoded before the first fault
    std::size_t firstGap = 0;        // where the first gap begins
    std::size_t firstResume = 0;     // where the output after the first gap begins
    bool gapPlaced = false;          // the first gap's length is known: firstResume lies where
                                     // the original had that output (else firstGap + 1)
    int restarts = 0;                // points from which decoding went on after a fault
    bool damaged = false;            // a fault was met or bytes were marked unknown
    bool outOfBudget = false;        // the work limit (or the backstop) ended the search
    std::uint64_t work = 0;          // work the search did, as RecoveryLimits::work counts it
};

// Decodes the raw deflate data of a text part, going on after each fault as described above.
RecoveryResult RecoverText(std::span<const std::uint8_t> data, const RecoveryLimits& limits = {});

} // namespace qm::deflate
