#include "docserver/protocol.h"

#include "platform/bytes.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qm::docserver::protocol {
namespace {

enum Tag : std::uint8_t { TagOmitted = 0, TagInt16 = 1, TagBool = 2, TagText = 3, TagObject = 4 };

class Writer {
public:
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) { put(v, 2); }
    void u32(std::uint32_t v) { put(v, 4); }
    void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void text(const std::string& s) {
        if (s.size() > kMaxFrame)
            throw ProtocolError("text too long for one frame");
        u32(static_cast<std::uint32_t>(s.size()));
        out_.insert(out_.end(), s.begin(), s.end());
    }
    void value(const word::Value& v) {
        if (std::holds_alternative<word::Omitted>(v)) {
            u8(TagOmitted);
        } else if (const auto* i = std::get_if<std::int16_t>(&v)) {
            u8(TagInt16);
            u16(static_cast<std::uint16_t>(*i));
        } else if (const auto* b = std::get_if<bool>(&v)) {
            u8(TagBool);
            u8(*b ? 1 : 0);
        } else if (const auto* s = std::get_if<std::string>(&v)) {
            u8(TagText);
            text(*s);
        } else {
            u8(TagObject);
            u32(std::get<word::ObjectRef>(v).id);
        }
    }
    std::vector<std::uint8_t> take() {
        if (out_.size() > kMaxFrame)
            throw ProtocolError("message too long for one frame");
        return std::move(out_);
    }

private:
    void put(std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    std::vector<std::uint8_t> out_;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}
    std::uint8_t u8() { return static_cast<std::uint8_t>(get(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(get(2)); }
    std::uint32_t u32() { return get(4); }
    std::string text() {
        const std::uint32_t n = u32();
        // The length must fit in what is left of the payload.
        need(n);
        std::string s(reinterpret_cast<const char*>(in_.data() + pos_), n);
        pos_ += n;
        return s;
    }
    word::Value value() {
        switch (u8()) {
        case TagOmitted: return word::Omitted{};
        case TagInt16: return static_cast<std::int16_t>(u16());
        case TagBool: {
            const std::uint8_t b = u8();
            if (b > 1)
                throw ProtocolError("malformed frame: flag value " + std::to_string(b));
            return b == 1;
        }
        case TagText: return text();
        case TagObject: return word::ObjectRef{u32()};
        default: throw ProtocolError("malformed frame: unknown value tag");
        }
    }
    std::span<const std::uint8_t> bytes(std::uint32_t n) {
        need(n);
        const auto part = in_.subspan(pos_, n);
        pos_ += n;
        return part;
    }
    void end() const {
        if (pos_ != in_.size())
            throw ProtocolError("malformed frame: " + std::to_string(in_.size() - pos_) + " trailing bytes");
    }

private:
    void need(size_t n) const {
        if (n > in_.size() - pos_)
            throw ProtocolError("malformed frame: truncated");
    }
    std::uint32_t get(int bytes) {
        need(static_cast<size_t>(bytes));
        std::uint32_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= std::uint32_t(in_[pos_ + i]) << (8 * i);
        pos_ += static_cast<size_t>(bytes);
        return v;
    }
    std::span<const std::uint8_t> in_;
    size_t pos_ = 0;
};

// Reads exactly n bytes; returns the count read before end of stream (less than n at EOF).
size_t readFully(int fd, std::uint8_t* data, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, data + got, n - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r == 0) {
            break;
        } else if (errno != EINTR) {
            throw ProtocolError(std::string("cannot read from the peer: ") + std::strerror(errno));
        }
    }
    return got;
}

void writeRequest(Writer& w, const Request& request) {
    if (request.args.size() > kMaxArgs)
        throw ProtocolError("too many arguments (" + std::to_string(request.args.size()) + ")");
    w.u32(request.object);
    w.u32(static_cast<std::uint32_t>(request.dispid));
    w.u8(static_cast<std::uint8_t>(request.kind));
    w.u16(static_cast<std::uint16_t>(request.args.size()));
    for (const auto& a : request.args)
        w.value(a);
}

} // namespace

std::vector<std::uint8_t> encodeRequest(const Request& request) {
    Writer w;
    writeRequest(w, request);
    return w.take();
}

Request decodeRequest(std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxFrame)
        throw ProtocolError("malformed frame: too long");
    Reader r(payload);
    Request req;
    req.object = r.u32();
    req.dispid = static_cast<std::int32_t>(r.u32());
    const std::uint8_t kind = r.u8();
    if (kind < 1 || kind > 3)
        throw ProtocolError("malformed frame: call kind " + std::to_string(kind));
    req.kind = static_cast<word::CallKind>(kind);
    const std::uint16_t argc = r.u16();
    if (argc > kMaxArgs)
        throw ProtocolError("malformed frame: " + std::to_string(argc) + " arguments");
    req.args.reserve(argc);
    for (std::uint16_t i = 0; i < argc; ++i)
        req.args.push_back(r.value());
    r.end();
    return req;
}

std::vector<std::uint8_t> encodeBatch(const std::vector<Request>& requests) {
    Writer w;
    w.u32(0);
    w.u32(static_cast<std::uint32_t>(requests.size()));
    for (const auto& request : requests) {
        Writer one;
        writeRequest(one, request);
        const auto bytes = one.take();
        w.u32(static_cast<std::uint32_t>(bytes.size()));
        w.bytes(bytes);
    }
    return w.take();
}

bool isBatch(std::span<const std::uint8_t> payload) {
    return payload.size() >= 4 && payload[0] == 0 && payload[1] == 0 && payload[2] == 0 && payload[3] == 0;
}

std::vector<Request> decodeBatch(std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxFrame)
        throw ProtocolError("malformed frame: too long");
    if (!isBatch(payload))
        throw ProtocolError("malformed frame: not a batch");
    Reader r(payload);
    r.u32();
    const std::uint32_t count = r.u32();
    std::vector<Request> requests;
    // Every request takes at least its length field: a count beyond that is a lie.
    if (count > (payload.size() - 8) / 4)
        throw ProtocolError("malformed frame: batch count " + std::to_string(count));
    requests.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto one = r.bytes(r.u32());
        if (isBatch(one))
            throw ProtocolError("malformed frame: a batch inside a batch");
        requests.push_back(decodeRequest(one));
    }
    r.end();
    return requests;
}

std::vector<std::uint8_t> encodeReply(const Reply& reply) {
    Writer w;
    if (reply.ok) {
        w.u8(0);
        w.value(reply.value);
    } else {
        w.u8(1);
        w.text(reply.error);
    }
    return w.take();
}

Reply decodeReply(std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxFrame)
        throw ProtocolError("malformed frame: too long");
    Reader r(payload);
    Reply reply;
    const std::uint8_t status = r.u8();
    if (status == 0) {
        reply.ok = true;
        reply.value = r.value();
    } else if (status == 1) {
        reply.ok = false;
        reply.error = r.text();
    } else {
        throw ProtocolError("malformed frame: reply status " + std::to_string(status));
    }
    r.end();
    return reply;
}

void writeFrame(int fd, std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxFrame)
        throw ProtocolError("message too long for one frame");
    std::vector<std::uint8_t> frame(4 + payload.size());
    const auto n = static_cast<std::uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i)
        frame[static_cast<size_t>(i)] = static_cast<std::uint8_t>(n >> (8 * i));
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    size_t done = 0;
    while (done < frame.size()) {
        const ssize_t w = ::write(fd, frame.data() + done, frame.size() - done);
        if (w > 0)
            done += static_cast<size_t>(w);
        else if (w < 0 && errno == EINTR)
            continue;
        else
            throw ProtocolError(std::string("cannot write to the peer: ") + std::strerror(w < 0 ? errno : EIO));
    }
}

std::optional<std::vector<std::uint8_t>> readFrame(int fd) {
    std::uint8_t head[4];
    const size_t got = readFully(fd, head, 4);
    if (got == 0)
        return std::nullopt;
    if (got < 4)
        throw ProtocolError("the stream ended inside a frame");
    const std::uint32_t n = bin::load32(head);
    if (n > kMaxFrame)
        throw ProtocolError("malformed frame: length " + std::to_string(n) + " exceeds the limit");
    // Grow with what really arrives, so a corrupt length does not allocate the whole limit.
    std::vector<std::uint8_t> payload;
    constexpr size_t kStep = 1u << 20;
    while (payload.size() < n) {
        const size_t at = payload.size();
        const size_t step = std::min<size_t>(kStep, n - at);
        payload.resize(at + step);
        if (readFully(fd, payload.data() + at, step) < step)
            throw ProtocolError("the stream ended inside a frame");
    }
    return payload;
}

} // namespace qm::docserver::protocol
