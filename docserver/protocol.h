// The request/response protocol between a Word automation client and a quillmend-word server.
//
// Both directions carry frames: a 4-byte little-endian payload length, then the payload.
// Request payload:  u32 object id, i32 dispatch id, u8 call kind (1 get, 2 put, 3 method),
//                   u16 argument count, then the arguments as tagged values.
// Reply payload:    u8 status; 0 = ok followed by one tagged value, 1 = error followed by
//                   a u32 length and the error text (UTF-8).
// Tagged value:     u8 tag; 0 omitted; 1 16-bit integer (2 bytes LE); 2 flag (1 byte, 0 or 1);
//                   3 text (u32 length + UTF-8 bytes); 4 object reference (u32 id).
// Batch payload:    u32 0 (no object has id 0), u32 count, then count request payloads, each
//                   after its u32 length. The server performs them in order and stops at the
//                   first that fails; the one reply is that failure's, else ok with omitted.
//                   A batch of calls costs one round trip instead of one per call.
//
// Every size is checked against the bytes that really arrived: a malformed frame raises
// ProtocolError, it never reads out of bounds.
#pragma once

#include "automation/word_calls.h"

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace qm::docserver::protocol {

// Largest payload either side accepts: generous for text chunks and file names, small enough
// that a corrupt length cannot make a side allocate without bound.
inline constexpr std::uint32_t kMaxFrame = 64u << 20;
// Largest argument count of a request (the longest real call has 16).
inline constexpr std::uint16_t kMaxArgs = 64;

class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Request {
    std::uint32_t object = 0;
    std::int32_t dispid = 0;
    word::CallKind kind = word::CallKind::Method;
    std::vector<word::Value> args;
    bool operator==(const Request&) const = default;
};

struct Reply {
    bool ok = true;
    word::Value value;  // when ok
    std::string error;  // when not ok
    bool operator==(const Reply&) const = default;
};

std::vector<std::uint8_t> encodeRequest(const Request& request);
Request decodeRequest(std::span<const std::uint8_t> payload);
// Requests in one batch frame (see above); decodeBatch raises ProtocolError on a payload that
// is not a well-formed batch.
std::vector<std::uint8_t> encodeBatch(const std::vector<Request>& requests);
std::vector<Request> decodeBatch(std::span<const std::uint8_t> payload);
// True when a payload is a batch (it starts with object id 0).
bool isBatch(std::span<const std::uint8_t> payload);

std::vector<std::uint8_t> encodeReply(const Reply& reply);
Reply decodeReply(std::span<const std::uint8_t> payload);

// Writes one frame (length prefix + payload), retrying short writes and EINTR. Throws
// ProtocolError when the peer is gone or the write fails. The caller decides how SIGPIPE
// is handled.
void writeFrame(int fd, std::span<const std::uint8_t> payload);

// Reads one frame. nullopt when the peer closed the stream before a new frame began; throws
// ProtocolError on a read error, a stream that ends inside a frame, or a length above kMaxFrame.
std::optional<std::vector<std::uint8_t>> readFrame(int fd);

} // namespace qm::docserver::protocol
