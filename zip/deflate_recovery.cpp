#include "zip/deflate_recovery.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace qm::deflate {

namespace {

constexpr int kMaxCodeBits = 15;
// A restart is taken when this much output decodes cleanly from it (or the stream ends).
constexpr std::size_t kProbeOutput = 8192;
constexpr std::size_t kProbeLiterals = 8;
constexpr std::uint64_t kProbeSymbols = 160;
constexpr std::size_t kProbeLiteralsAtEnd = 8;
// The output of this many symbols after a restart is marked unknown: decoding from a wrong
// bit position falls into step within a few symbols, and what comes before that is made up.
constexpr int kSettleSymbols = 4;
constexpr std::uint64_t kCheckpointSymbols = 64;
// What the decoder produced this many bits before it noticed a fault is taken for sound; the
// rest may be output of the damaged bits and is dropped.
constexpr std::uint64_t kDistrustBits = 256;

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                         193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A canonical Huffman code: how many codes of each length, and the symbols in code order.
struct Huffman {
    std::array<std::uint16_t, kMaxCodeBits + 1> count{};
    std::array<std::uint16_t, 288> symbol{};
};

// Builds the code; returns the codes left unused (0: complete, > 0: incomplete, < 0: too many).
int buildHuffman(Huffman& h, const std::uint8_t* lengths, int n) {
    h.count.fill(0);
    for (int s = 0; s < n; ++s)
        ++h.count[lengths[s]];
    if (h.count[0] == n)
        return 0; // no codes at all: complete but useless, callers check what they need
    int left = 1;
    for (int len = 1; len <= kMaxCodeBits; ++len) {
        left <<= 1;
        left -= h.count[len];
        if (left < 0)
            return left;
    }
    std::array<std::uint16_t, kMaxCodeBits + 1> offs{};
    for (int len = 1; len < kMaxCodeBits; ++len)
        offs[len + 1] = static_cast<std::uint16_t>(offs[len] + h.count[len]);
    for (int s = 0; s < n; ++s)
        if (lengths[s] != 0)
            h.symbol[offs[lengths[s]]++] = static_cast<std::uint16_t>(s);
    return left;
}

struct Tables {
    Huffman lit;
    Huffman dist;
};

const Tables& fixedTables() {
    static const Tables t = [] {
        Tables f;
        std::uint8_t lengths[288];
        std::fill(lengths, lengths + 144, 8);
        std::fill(lengths + 144, lengths + 256, 9);
        std::fill(lengths + 256, lengths + 280, 7);
        std::fill(lengths + 280, lengths + 288, 8);
        buildHuffman(f.lit, lengths, 288);
        std::fill(lengths, lengths + 30, 5);
        buildHuffman(f.dist, lengths, 30);
        return f;
    }();
    return t;
}

// Watches the bytes produced for what XML text never holds: control characters, a "<" not
// followed by a name or "/", "?", "!", a "<" inside a tag, broken UTF-8, and - while every byte
// since the start of the part is known - an end tag that does not close the element open. An
// unknown byte puts it in a state that accepts anything until the structure can be told again.
class XmlCheck {
public:
    bool accept(std::uint8_t c) {
        if (c == kUnknownByte) {
            state_ = State::Unknown;
            need_ = 0;
            nesting_ = false;
            open_.clear();
            return true;
        }
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return false;
        if (c >= 0x80) {
            if (c < 0xC0) {
                if (need_ == 0)
                    return state_ == State::Unknown;
                --need_;
            } else {
                if (need_ != 0 || c < 0xC2 || c > 0xF4)
                    return false;
                need_ = c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
            }
        } else if (need_ != 0) {
            return false;
        }
        switch (state_) {
        case State::TagStart:
            if (!((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && c != '/' && c != '?' && c != '!' && c != '_')
                return false;
            state_ = State::InTag;
            closing_ = c == '/';
            special_ = c == '?' || c == '!';
            part_ = Part::Name;
            name_.clear();
            if (!closing_ && !special_)
                name_ += static_cast<char>(c);
            return true;
        case State::InTag:
            if (c == '<')
                return false;
            if (special_) {
                if (c == '>')
                    state_ = State::Text;
                return true;
            }
            return inTag(c);
        case State::Text:
        case State::Unknown:
            if (c == '<')
                state_ = State::TagStart;
            else if (c == '>')
                state_ = State::Text;
            return true;
        }
        return true;
    }

    // Starts over as after an unknown byte (decoding that begins inside a part).
    void forget() { accept(kUnknownByte); }

private:
    static bool isNameChar(std::uint8_t c) {
        return std::isalnum(c) || c == ':' || c == '_' || c == '-' || c == '.' || c >= 0x80;
    }
    static bool isBlank(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    // A byte inside a start or end tag: the element name, then name="value" pairs.
    bool inTag(std::uint8_t c) {
        switch (part_) {
        case Part::Name:
            if (isNameChar(c)) {
                if (name_.size() < 64)
                    name_ += static_cast<char>(c);
                return true;
            }
            part_ = Part::Blank;
            [[fallthrough]];
        case Part::Blank:
            if (isBlank(c))
                return true;
            if (c == '>')
                return endTag(false);
            if (c == '/') {
                part_ = Part::Slash;
                return true;
            }
            if (closing_ || !isNameChar(c))
                return false;
            part_ = Part::AttrName;
            return true;
        case Part::AttrName:
            if (isNameChar(c))
                return true;
            if (isBlank(c) || c == '=') {
                part_ = c == '=' ? Part::Quote : Part::Eq;
                return true;
            }
            return false;
        case Part::Eq:
            if (isBlank(c))
                return true;
            if (c != '=')
                return false;
            part_ = Part::Quote;
            return true;
        case Part::Quote:
            if (isBlank(c))
                return true;
            if (c != '"' && c != '\'')
                return false;
            quote_ = c;
            part_ = Part::Value;
            return true;
        case Part::Value:
            if (c == '<')
                return false;
            if (c == quote_)
                part_ = Part::AfterValue;
            return true;
        case Part::AfterValue:
            // A value is followed by a blank, the tag's end or its "/>", which Blank handles.
            if (c != '>' && c != '/' && !isBlank(c))
                return false;
            part_ = Part::Blank;
            return inTag(c);
        case Part::Slash:
            return c == '>' && !closing_ && endTag(true);
        }
        return false;
    }

    bool endTag(bool selfClosing) {
        state_ = State::Text;
        return tagEnd(selfClosing);
    }

    // A tag ended; false when it closes an element other than the open one.
    bool tagEnd(bool selfClosing) {
        if (special_ || !nesting_)
            return true;
        if (closing_) {
            if (open_.empty() || open_.back() != name_)
                return false;
            open_.pop_back();
            return true;
        }
        if (!selfClosing) {
            if (open_.size() >= 256) {
                nesting_ = false; // deeper than any real part: no longer followed
                open_.clear();
                return true;
            }
            open_.push_back(name_);
        }
        return true;
    }

    enum class State { Text, TagStart, InTag, Unknown };
    State state_ = State::Text;
    int need_ = 0;
    bool nesting_ = true; // every byte so far was known: the open elements are followed
    enum class Part { Name, Blank, AttrName, Eq, Quote, Value, AfterValue, Slash };
    Part part_ = Part::Name;
    bool closing_ = false, special_ = false;
    std::uint8_t quote_ = '"';
    std::string name_;
    std::vector<std::string> open_;
};

enum class Status { End, Fault, Enough };

// Decodes from a bit position into an output vector whose bytes from `historyStart` on are the
// only ones that may be copied; a back-reference reaching further gives unknown bytes (or a
// fault, when the history is to be complete).
class Decoder {
public:
    explicit Decoder(std::span<const std::uint8_t> data) : data_(data) {}

    std::uint64_t bitPos = 0;
    std::uint64_t faultBit = 0;      // start of the symbol or block header that faulted
    std::size_t literals = 0;
    bool finalBlock = false;         // the block being decoded is the last one
    bool inBlock = false;            // between a Huffman block's header and its end
    Tables tables;                   // of the Huffman block being decoded
    bool completeHistory = true;
    int settle = 0;                  // symbols left whose output is marked unknown
    bool lenientStored = false;      // a stored byte that is not text becomes unknown, no fault
    // Any byte that is not XML text becomes unknown, no fault: after a restart, where a wrong
    // byte comes from a back-reference into the uncertain stretch, not from damaged bits.
    bool lenientText = false;
    std::size_t replaced = 0;        // bytes the lenient modes turned into unknown ones
    // (bit position, output size) every kCheckpointSymbols symbols.
    std::vector<std::pair<std::uint64_t, std::size_t>> checkpoints;

    std::uint64_t symbols() const { return symbols_; }

    // Starts with the header of a new block at bitPos.
    void atBlockHeader() { inBlock = false; }

    Status run(std::vector<std::uint8_t>& out, std::size_t historyStart, std::size_t outLimit) {
        if (!completeHistory && !started_)
            check_.forget();
        started_ = true;
        for (;;) {
            if (out.size() >= outLimit)
                return Status::Enough;
            if (!inBlock) {
                faultBit = bitPos;
                if (finalBlock)
                    return Status::End;
                const Status s = header(out, historyStart, outLimit);
                if (s != Status::End)
                    return s;
                continue;
            }
            faultBit = bitPos;
            if ((++symbols_ & (kCheckpointSymbols - 1)) == 0)
                checkpoints.emplace_back(bitPos, out.size());
            const int sym = decode(tables.lit);
            if (sym < 0 || overrun_)
                return Status::Fault;
            if (sym < 256) {
                ++literals;
                if (!put(out, static_cast<std::uint8_t>(sym)))
                    return Status::Fault;
                continue;
            }
            if (sym == 256) {
                inBlock = false;
                continue;
            }
            if (sym > 285)
                return Status::Fault;
            const std::size_t length = kLengthBase[sym - 257] + bits(kLengthExtra[sym - 257]);
            const int dsym = decode(tables.dist);
            if (dsym < 0 || dsym > 29 || overrun_)
                return Status::Fault;
            const std::size_t distance = kDistBase[dsym] + bits(kDistExtra[dsym]);
            if (overrun_)
                return Status::Fault;
            const std::size_t have = out.size() - historyStart;
            if (distance > have && completeHistory)
                return Status::Fault;
            const bool marked = settle > 0;
            for (std::size_t i = 0; i < length; ++i) {
                const std::uint8_t c = distance > out.size() - historyStart ? kUnknownByte : out[out.size() - distance];
                if (!put(out, c, marked))
                    return Status::Fault;
            }
            if (settle > 0)
                --settle;
        }
    }

private:
    bool put(std::vector<std::uint8_t>& out, std::uint8_t c, bool marked = false) {
        if (settle > 0 || marked) {
            c = kUnknownByte;
            if (!marked)
                --settle;
        }
        if (!check_.accept(c)) {
            if (!lenientText)
                return false;
            c = kUnknownByte;
            check_.forget();
            ++replaced;
        }
        out.push_back(c);
        return true;
    }

    std::uint32_t bits(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            const std::uint64_t byte = bitPos >> 3;
            if (byte >= data_.size()) {
                overrun_ = true;
                return 0;
            }
            v |= static_cast<std::uint32_t>((data_[byte] >> (bitPos & 7)) & 1) << i;
            ++bitPos;
        }
        return v;
    }

    int decode(const Huffman& h) {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= kMaxCodeBits; ++len) {
            code |= static_cast<int>(bits(1));
            const int count = h.count[len];
            if (code - count < first)
                return h.symbol[index + (code - first)];
            index += count;
            first += count;
            first <<= 1;
            code <<= 1;
        }
        return -1;
    }

    // Reads a block header; a stored block is copied whole. End: go on with the block.
    Status header(std::vector<std::uint8_t>& out, std::size_t historyStart, std::size_t outLimit) {
        (void)historyStart;
        finalBlock = bits(1) != 0;
        const std::uint32_t type = bits(2);
        if (overrun_ || type == 3)
            return Status::Fault;
        if (type == 0) {
            checkpoints.emplace_back(bitPos - 3, out.size());
            bitPos = (bitPos + 7) & ~std::uint64_t{7};
            const std::uint32_t len = bits(16);
            const std::uint32_t nlen = bits(16);
            if (overrun_ || len != (~nlen & 0xFFFF))
                return Status::Fault;
            if ((bitPos >> 3) + len > data_.size())
                return Status::Fault;
            for (std::uint32_t i = 0; i < len; ++i) {
                const std::uint8_t c = data_[(bitPos >> 3) + i];
                if (!put(out, c)) {
                    if (!lenientStored || !put(out, kUnknownByte))
                        return Status::Fault;
                    ++replaced;
                }
                ++literals;
                ++symbols_;
                if (out.size() >= outLimit) {
                    bitPos += std::uint64_t{i + 1} * 8;
                    // The rest of the stored block is not decoded: stop as if it ended here.
                    finalBlock = true;
                    return Status::Enough;
                }
            }
            bitPos += std::uint64_t{len} * 8;
            // Stored bytes are what they are: trusted up to the block's end.
            checkpoints.emplace_back(bitPos > kDistrustBits ? bitPos - kDistrustBits : 0, out.size());
            return Status::End;
        }
        if (type == 1) {
            tables = fixedTables();
            inBlock = true;
            return Status::End;
        }
        const int nlen = static_cast<int>(bits(5)) + 257;
        const int ndist = static_cast<int>(bits(5)) + 1;
        const int ncode = static_cast<int>(bits(4)) + 4;
        if (overrun_ || nlen > 286 || ndist > 30)
            return Status::Fault;
        std::uint8_t lengths[320] = {};
        for (int i = 0; i < ncode; ++i)
            lengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(bits(3));
        Huffman lencode;
        if (overrun_ || buildHuffman(lencode, lengths, 19) != 0)
            return Status::Fault;
        for (int i = 0; i < nlen + ndist;) {
            int sym = decode(lencode);
            if (sym < 0 || overrun_)
                return Status::Fault;
            if (sym < 16) {
                lengths[i++] = static_cast<std::uint8_t>(sym);
                continue;
            }
            std::uint8_t value = 0;
            int repeat = 0;
            if (sym == 16) {
                if (i == 0)
                    return Status::Fault;
                value = lengths[i - 1];
                repeat = 3 + static_cast<int>(bits(2));
            } else if (sym == 17) {
                repeat = 3 + static_cast<int>(bits(3));
            } else {
                repeat = 11 + static_cast<int>(bits(7));
            }
            if (i + repeat > nlen + ndist || overrun_)
                return Status::Fault;
            while (repeat--)
                lengths[i++] = value;
        }
        if (lengths[256] == 0)
            return Status::Fault; // no end-of-block code
        const int litLeft = buildHuffman(tables.lit, lengths, nlen);
        if (litLeft < 0 || (litLeft > 0 && nlen - tables.lit.count[0] != 1))
            return Status::Fault;
        const int distLeft = buildHuffman(tables.dist, lengths + nlen, ndist);
        if (distLeft < 0 || (distLeft > 0 && ndist - tables.dist.count[0] != 1))
            return Status::Fault;
        inBlock = true;
        return Status::End;
    }

    std::span<const std::uint8_t> data_;
    bool overrun_ = false;
    std::uint64_t symbols_ = 0;
    bool started_ = false;
    XmlCheck check_;
};

} // namespace

RecoveryResult RecoverText(std::span<const std::uint8_t> data, const RecoveryLimits& limits) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limits.budget;
    RecoveryResult result;
    auto& out = result.bytes;
    const std::size_t outLimit = static_cast<std::size_t>(std::min<std::uint64_t>(limits.maxOutput, SIZE_MAX));

    Decoder d(data);
    d.lenientStored = true;
    Status status = d.run(out, 0, outLimit);
    result.cleanPrefix = out.size();
    result.damaged = d.replaced > 0;
    std::uint64_t lastRestart = 0;
    std::size_t restartOut = 0; // output size where the last restart began
    std::vector<std::uint8_t> probe;
    probe.reserve(kProbeOutput + 300);
    while (status == Status::Fault) {
        result.damaged = true;
        const bool haveTables = d.inBlock;
        const Tables tables = d.tables;
        // Past the last restart point, so that every round makes progress.
        const std::uint64_t from = result.restarts > 0 ? std::max(d.faultBit, lastRestart + 1) : d.faultBit;
        // The output from shortly before the fault was noticed on may come from damaged bits.
        std::size_t sound = 0;
        for (const auto& [bit, size] : d.checkpoints)
            if (bit + kDistrustBits <= d.faultBit && size <= out.size())
                sound = std::max(sound, size);
        sound = std::max(sound, std::min(restartOut, out.size()));
        bool found = false;
        int foundMode = 0;
        std::uint64_t at = 0;
        const std::uint64_t endBit = std::uint64_t{data.size()} * 8;
        for (std::uint64_t p = from; p < endBit && !found; ++p) {
            if ((p & 1023) == 0 && Clock::now() > deadline) {
                result.outOfTime = true;
                out.resize(std::min(out.size(), sound));
                return result;
            }
            // Inside the damaged block with its tables first, then as a new block.
            for (int mode = haveTables ? 0 : 1; mode < 2 && !found; ++mode) {
                Decoder trial(data);
                trial.bitPos = p;
                trial.completeHistory = false;
                if (mode == 0) {
                    trial.tables = tables;
                    trial.inBlock = true;
                }
                probe.clear();
                const Status s = trial.run(probe, 0, kProbeOutput);
                if ((s == Status::Enough && trial.literals >= kProbeLiterals && trial.symbols() >= kProbeSymbols) ||
                    (s == Status::End && trial.literals >= kProbeLiteralsAtEnd)) {
                    found = true;
                    foundMode = mode;
                    at = p;
                }
            }
        }
        if (!found) {
            out.resize(std::min(out.size(), sound));
            return result;
        }
        const auto restartAt = [&] {
            Decoder r(data);
            r.bitPos = at;
            r.completeHistory = false;
            r.lenientStored = true;
            if (foundMode == 0) {
                r.tables = tables;
                r.inBlock = true;
            }
            return r;
        };

        ++result.restarts;
        lastRestart = at;
        Decoder restart = restartAt();
        restart.settle = kSettleSymbols;
        restart.lenientText = true;
        // How long the lost stretch was is not known, so nothing before the restart can be
        // copied: back-references that reach there give unknown bytes.
        out.resize(sound);
        out.push_back(kUnknownByte); // the gap
        const std::size_t historyStart = out.size();
        if (out.size() > outLimit)
            out.resize(outLimit);
        restartOut = out.size();
        status = restart.run(out, historyStart, outLimit);
        d = restart;
        result.damaged = true;
    }
    return result;
}

} // namespace qm::deflate
