#include "engine/cfb_rebuild.h"

#include "docserver/binary_io.h"
#include "docserver/cfb_reader.h"
#include "docserver/cfb_writer.h"
#include "docserver/doc_binary.h"
#include "docserver/doc_format.h"
#include "engine/doc_patterns.h"
#include "engine/doc_steps.h"
#include "platform/files.h"
#include "platform/work_control.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

namespace qm::doc {
namespace {

namespace cfb = docserver::cfb;
namespace docfmt = docserver::docfmt;
namespace bin = docserver::bin;
using ByteVec = std::vector<std::uint8_t>;

// Larger files keep the header-only repair: the rebuild holds the file in memory several times.
constexpr std::size_t kMaxRebuild = std::size_t(256) << 20;
// Hostile files can hold any number of chains and document headers: only the first ones are
// tried, so that the search stays linear in the file's size.
constexpr std::size_t kMaxCandidates = 16;

// The first chain starts of the FAT.
std::vector<std::uint32_t> someChainStarts(const cfb::Reader& r) {
    auto starts = r.chainStarts();
    if (starts.size() > kMaxCandidates)
        starts.resize(kMaxCandidates);
    return starts;
}

ByteVec copyOf(Bytes b) { return {b.begin(), b.end()}; }

// The bytes a table stream needs for this FIB: up to the end of its furthest structure.
std::uint64_t tableExtent(const docfmt::Fib& fib, std::uint64_t limit) {
    std::uint64_t end = 0;
    for (const auto& p : fib.pairs)
        if (p.lcb && bin::fits(limit, p.fc, p.lcb))
            end = std::max<std::uint64_t>(end, std::uint64_t(p.fc) + p.lcb);
    return end;
}

// True when table holds the piece table the FIB points to: property runs, then a piece
// descriptor table whose positions start at 0, ascend and cover the main text.
bool holdsPieceTable(Bytes table, const docfmt::Fib& fib) {
    const auto clx = fib.pair(docfmt::kClx);
    if (clx.lcb == 0 || !bin::fits(table.size(), clx.fc, clx.lcb))
        return false;
    const Bytes c = bin::slice(table, clx.fc, clx.lcb);
    std::size_t at = 0;
    while (at < c.size() && c[at] == 0x01)
        at += 3 + bin::u16(c, at + 1);
    if (at >= c.size() || c[at] != 0x02)
        return false;
    const std::uint32_t lcb = bin::u32(c, at + 1);
    if (lcb < 16 || (lcb - 4) % 12 != 0 || !bin::fits(c.size(), at + 5, lcb))
        return false;
    const Bytes plc = bin::slice(c, at + 5, lcb);
    const std::size_t pieces = (lcb - 4) / 12;
    if (bin::u32(plc, 0) != 0)
        return false;
    for (std::size_t i = 1; i <= pieces; ++i)
        if (bin::u32(plc, 4 * i) <= bin::u32(plc, 4 * (i - 1)))
            return false;
    return bin::u32(plc, 4 * pieces) >= std::uint32_t(std::max(fib.ccp[docfmt::kMain], 0));
}

// The bytes of a stream that starts at a sector: its chain when the FAT gives one that long,
// else the contiguous bytes from there (as Word lays streams out).
ByteVec streamAt(const cfb::Reader& r, Bytes file, std::uint32_t sector, std::uint64_t size) {
    if (r.fatFound()) {
        auto chain = r.readChain(sector, size);
        if (chain.size() >= size)
            return chain;
    }
    return copyOf(bin::slice(file, r.sectorOffset(sector), size));
}

std::optional<ByteVec> findTable(const cfb::Reader& r, Bytes file, const docfmt::Fib& fib) {
    if (const auto* e = r.findStream(fib.tableInOneTable ? "1Table" : "0Table")) {
        auto t = r.read(*e);
        if (holdsPieceTable(t, fib))
            return t;
    }
    const std::uint64_t need = tableExtent(fib, file.size());
    if (need == 0)
        return std::nullopt;
    for (std::uint32_t start : someChainStarts(r)) {
        passWorkGate();
        auto t = r.readChain(start, file.size());
        if (t.size() >= need && holdsPieceTable(t, fib))
            return t;
    }
    // A lost FAT as well: the stream taken as contiguous from every sector start, or from every
    // mini sector start (a small table lies in the mini stream, itself contiguous).
    const std::uint64_t rounded = (need + r.sectorSize() - 1) / r.sectorSize() * r.sectorSize();
    for (std::size_t at = r.sectorOffset(0); at < file.size(); at += cfb::kMiniSectorSize) {
        passWorkGate();
        const Bytes t = bin::slice(file, at, rounded);
        if (t.size() >= need && holdsPieceTable(t, fib))
            return copyOf(t);
    }
    return std::nullopt;
}

// The length of the run of picture records at the start of b (each record starts with its
// size, then the header size 0x44 and the mapping mode 0x64).
std::uint64_t recordRun(Bytes b) {
    std::uint64_t at = 0;
    while (bin::fits(b.size(), at, 8) && bin::u16(b, at + 4) == 0x44 && bin::u16(b, at + 6) == 0x64) {
        const std::uint32_t lcb = bin::u32(b, at);
        if (lcb < 0x44 || !bin::fits(b.size(), at, lcb))
            break;
        at += lcb;
    }
    return at;
}

// The first run of picture records that starts at a mini sector boundary of b.
Bytes firstRecordRun(Bytes b) {
    for (std::size_t at = 0; at < b.size(); at += cfb::kMiniSectorSize) {
        passWorkGate();
        if (const std::uint64_t n = recordRun(bin::slice(b, at)))
            return bin::slice(b, at, n);
    }
    return {};
}

// The data stream: the named one, else a chain that starts with picture records, else a run of
// records in a chain (a small stream inside the mini stream) or anywhere in the file.
ByteVec findData(const cfb::Reader& r, Bytes file) {
    if (const auto* e = r.findStream("Data")) {
        auto d = r.read(*e);
        if (d.size() == e->size)
            return d;
    }
    std::vector<ByteVec> chains;
    for (std::uint32_t start : someChainStarts(r)) {
        passWorkGate();
        auto d = r.readChain(start, file.size());
        if (recordRun(d) > 0)
            return d;
        if (!docfmt::fibSignatureAt(d, 0))
            chains.push_back(std::move(d));
    }
    for (const auto& d : chains)
        if (const Bytes run = firstRecordRun(d); !run.empty())
            return copyOf(run);
    return copyOf(firstRecordRun(bin::slice(file, r.sectorOffset(0))));
}

struct WordStreams {
    ByteVec word;
    docfmt::Fib fib;
    std::optional<ByteVec> table;
};

// The document stream and its table: the named stream when it holds a document header,
// else a document header at a sector start. A candidate whose table is found wins.
std::optional<WordStreams> findWordStreams(const cfb::Reader& r, Bytes file) {
    std::optional<WordStreams> first;
    auto consider = [&](ByteVec word) {
        auto fib = docfmt::parseFib(word);
        if (!fib)
            return false;
        WordStreams w{std::move(word), *fib, std::nullopt};
        if (w.fib.unicodeCapable)
            w.table = findTable(r, file, w.fib);
        const bool complete = !w.fib.unicodeCapable || w.table;
        if (complete || !first)
            first = std::move(w);
        return complete;
    };
    if (const auto* e = r.findStream("WordDocument"))
        if (consider(r.read(*e)))
            return first;
    std::size_t tried = 0;
    for (std::uint32_t s = 0; s < r.sectorCount() && tried < kMaxCandidates; ++s) {
        passWorkGate();
        const std::size_t at = r.sectorOffset(s);
        if (!docfmt::fibSignatureAt(file, at))
            continue;
        ++tried;
        const Bytes head = bin::slice(file, at);
        const auto fib = docfmt::parseFib(head);
        if (!fib)
            continue;
        // The stream ends at the end of its text or at the size its header records, in whole
        // sectors and never below the small-stream limit (readers expect it among the large).
        const std::uint64_t sector = r.sectorSize();
        std::uint64_t size = std::max<std::uint64_t>({fib->fcMac, bin::u32(head, 0x40), cfb::kMiniStreamCutoff});
        size = (size + sector - 1) / sector * sector;
        if (consider(streamAt(r, file, s, std::min<std::uint64_t>(size, head.size()))))
            return first;
    }
    return first;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A new compound file around the streams found; nullopt when no document stream is found.
std::optional<ByteVec> rebuild(Bytes file) {
    const cfb::Reader r(file);
    auto word = findWordStreams(r, file);
    if (!word)
        return std::nullopt;
    std::vector<cfb::Stream> streams;
    const std::string tableName = word->fib.tableInOneTable ? "1Table" : "0Table";
    streams.push_back({"WordDocument", std::move(word->word)});
    if (word->table)
        streams.push_back({tableName, std::move(*word->table)});
    if (word->fib.unicodeCapable)
        if (auto data = findData(r, file); !data.empty())
            streams.push_back({"Data", std::move(data)});
    // The other streams that read back whole (summaries, class data, embedded objects in their
    // storages).
    for (const auto& entry : r.streamPaths()) {
        const std::string& path = entry.first;
        const auto& e = entry.second;
        const bool taken = std::any_of(streams.begin(), streams.end(),
                                       [&](const cfb::Stream& s) { return sameName(s.name, path); });
        if (taken || path.find('?') != std::string::npos)
            continue;
        auto bytes = r.read(*e);
        if (bytes.size() == e->size)
            streams.push_back({path, std::move(bytes)});
    }
    try {
        cfb::WriteOptions options;
        options.rootClsid = docfmt::kWordDocumentClsid;
        return cfb::writeCompoundFile(streams, options);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// What our document server reads from a file: its words (of two or more letters or digits)
// and its pictures. Nothing when it cannot read the file at all.
struct ReadBack {
    std::size_t words = 0, pictures = 0;
};

ReadBack readBack(Bytes file) {
    ReadBack out;
    try {
        const auto doc = docserver::readDocBinary(file);
        std::size_t run = 0;
        doc.forEachPiece([&](const docserver::Paragraph& piece, bool ends) {
            for (unsigned char c : piece.text()) {
                if (std::isalnum(c) || c >= 0x80) {
                    ++run;
                    continue;
                }
                out.words += run >= 2;
                run = 0;
            }
            if (ends) { // paragraphs end words
                out.words += run >= 2;
                run = 0;
            }
        });
        out.pictures = doc.pictureCount();
    } catch (const StopRequested&) {
        throw;
    } catch (...) {
        return {};
    }
    return out;
}

} // namespace

bool soundContainer(Bytes file) {
    const cfb::Reader r(file);
    if (!cfb::hasSignature(file) || !r.headerValid() || !r.fatFromHeader() || !r.directoryFromHeader() ||
        r.entries().empty() || r.entries()[0].type != 5)
        return false;
    const auto* word = r.findStream("WordDocument");
    if (!word || !r.intact(*word))
        return false;
    const auto fib = docfmt::parseFib(r.read(*word));
    if (!fib)
        return false;
    if (!fib->unicodeCapable)
        return true;
    const auto* table = r.findStream(fib->tableInOneTable ? "1Table" : "0Table");
    return table && r.intact(*table) && holdsPieceTable(r.read(*table), *fib);
}

RepairedContainer repairContainer(Bytes file) {
    RepairedContainer out;
    const bool headerStep = findRepairPoint(file).has_value();
    ByteVec headerOnly;
    if (headerStep) {
        headerOnly = copyOf(file);
        if (headerOnly.size() < pattern::kContainerHeader.size())
            headerOnly.resize(pattern::kContainerHeader.size());
        std::copy(pattern::kContainerHeader.begin(), pattern::kContainerHeader.end(), headerOnly.begin());
        if (soundContainer(headerOnly))
            return {ContainerRepair::Header, std::move(headerOnly)};
    }
    if (file.size() <= kMaxRebuild) {
        // The file's own header is read when it is valid (the fixed header would spoil one
        // with 4096-byte sectors), else the written one.
        const Bytes basis = !headerStep || cfb::Reader(file).headerValid() ? file : Bytes(headerOnly);
        auto rebuilt = rebuild(basis);
        if (rebuilt && soundContainer(*rebuilt)) {
            const ReadBack before = readBack(headerStep ? Bytes(headerOnly) : file);
            const ReadBack after = readBack(*rebuilt);
            if (after.words >= before.words && after.pictures >= before.pictures && (after.words || after.pictures))
                return {ContainerRepair::Rebuilt, std::move(*rebuilt)};
        }
    }
    if (headerStep)
        return {ContainerRepair::Header, std::move(headerOnly)};
    return out;
}

std::optional<ContainerRepair> repairContainerCopy(const std::filesystem::path& copy) {
    const auto view = SourceView::open(copy);
    if (!view)
        return std::nullopt;
    auto repaired = repairContainer(view->bytes());
    switch (repaired.kind) {
    case ContainerRepair::None:
        return repaired.kind;
    case ContainerRepair::Header:
        // The 32-byte write itself, so the copy is byte for byte what the header step makes.
        if (!writeContainerHeader(copy))
            return std::nullopt;
        return repaired.kind;
    case ContainerRepair::Rebuilt: {
        const std::string_view bytes(reinterpret_cast<const char*>(repaired.bytes.data()), repaired.bytes.size());
        if (!files::writeFileAtomic(copy, bytes))
            return std::nullopt;
        return repaired.kind;
    }
    }
    return std::nullopt;
}

} // namespace qm::doc
