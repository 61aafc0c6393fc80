// Feeds arbitrary bytes to the decoders of the document-server protocol: they must reject
// or accept, never read out of bounds; what they accept must encode back to the same bytes.
#include "docserver/protocol.h"

#include <cstdlib>

namespace proto = qm::docserver::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    try {
        const auto request = proto::decodeRequest(bytes);
        if (proto::encodeRequest(request) != std::vector<std::uint8_t>(bytes.begin(), bytes.end()))
            std::abort();
    } catch (const proto::ProtocolError&) {
    }
    try {
        const auto batch = proto::decodeBatch(bytes);
        if (proto::encodeBatch(batch) != std::vector<std::uint8_t>(bytes.begin(), bytes.end()))
            std::abort();
    } catch (const proto::ProtocolError&) {
    }
    try {
        const auto reply = proto::decodeReply(bytes);
        if (proto::encodeReply(reply) != std::vector<std::uint8_t>(bytes.begin(), bytes.end()))
            std::abort();
    } catch (const proto::ProtocolError&) {
    }
    return 0;
}
