#include "docserver/cfb_writer.h"

#include "docserver/binary_io.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace qm::docserver::cfb {
namespace {

constexpr std::size_t kEntriesPerSector = kSectorSize / 4;
constexpr std::size_t kHeaderDifatEntries = 109;

std::size_t sectorsFor(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit; }

char16_t upper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

struct Entry {
    std::u16string name;
    std::uint8_t type = 2; // 1 storage, 2 stream, 5 root
    std::uint32_t left = kNoStream, right = kNoStream, child = kNoStream;
    std::uint32_t start = kEndOfChain;
    std::uint64_t size = 0;
};

// Links the entries [lo, hi) of the sorted index list into a balanced tree; returns its root.
std::uint32_t buildTree(std::vector<Entry>& entries, const std::vector<std::uint32_t>& sorted, std::size_t lo,
                        std::size_t hi) {
    if (lo >= hi)
        return kNoStream;
    const std::size_t mid = lo + (hi - lo) / 2;
    Entry& e = entries[sorted[mid]];
    e.left = buildTree(entries, sorted, lo, mid);
    e.right = buildTree(entries, sorted, mid + 1, hi);
    return sorted[mid];
}

void putEntry(bin::Writer& w, const Entry& e) {
    const std::size_t at = w.size();
    const std::size_t chars = std::min<std::size_t>(e.name.size(), 31);
    for (std::size_t i = 0; i < chars; ++i)
        w.u16(e.name[i]);
    w.padTo(at + 64);
    w.u16(static_cast<std::uint16_t>((chars + 1) * 2));
    w.u8(e.type);
    w.u8(1); // black
    w.u32(e.left);
    w.u32(e.right);
    w.u32(e.child);
    w.zeros(16 + 4 + 16); // CLSID (patched for the root), state bits, times
    w.u32(e.start);
    w.u32(static_cast<std::uint32_t>(e.size));
    w.u32(0); // high part of the size: zero in version 3
}

} // namespace

bool nameLess(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return a.size() < b.size();
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char16_t x = upper(a[i]), y = upper(b[i]);
        if (x != y)
            return x < y;
    }
    return false;
}

void writeCompoundFile(const Output& out, const std::vector<StreamSource>& streams, const WriteOptions& options) {
    // Directory entries: the root, then the storages and streams in the order their paths
    // name them.
    std::vector<Entry> entries(1);
    entries[0].name = u"Root Entry";
    entries[0].type = 5;
    std::vector<std::uint32_t> parent(1, kNoStream), streamEntry;
    std::map<std::string, std::uint32_t> storages{{"", 0}};
    auto add = [&](const std::string& name, std::uint8_t type, std::uint32_t under) {
        if (name.empty() || name.size() > 31)
            throw std::length_error("compound file entry name must have 1 to 31 characters");
        Entry e;
        e.name.assign(name.begin(), name.end());
        e.type = type;
        if (type == 1)
            e.start = 0; // storages own no sectors
        entries.push_back(std::move(e));
        parent.push_back(under);
        return static_cast<std::uint32_t>(entries.size() - 1);
    };
    for (const auto& s : streams) {
        if (s.size > 0x7FFFFFFFu)
            throw std::length_error("compound file stream too large");
        std::uint32_t under = 0;
        std::size_t from = 0;
        for (std::size_t slash = s.name.find('/'); slash != std::string::npos; slash = s.name.find('/', from)) {
            const std::string path = s.name.substr(0, slash + 1);
            auto it = storages.find(path);
            if (it == storages.end())
                it = storages.emplace(path, add(s.name.substr(from, slash - from), 1, under)).first;
            under = it->second;
            from = slash + 1;
        }
        streamEntry.push_back(add(s.name.substr(from), 2, under));
        entries.back().size = s.size;
    }

    // The mini stream: every stream below the cutoff, each in whole 64-byte mini sectors.
    std::vector<std::uint8_t> miniStream;
    std::vector<std::uint32_t> miniFat;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const std::uint64_t size = streams[i].size;
        if (size == 0 || size >= kMiniStreamCutoff)
            continue;
        const auto first = static_cast<std::uint32_t>(miniFat.size());
        const std::size_t n = sectorsFor(size, kMiniSectorSize);
        for (std::size_t k = 0; k < n; ++k)
            miniFat.push_back(k + 1 < n ? first + static_cast<std::uint32_t>(k) + 1 : kEndOfChain);
        entries[streamEntry[i]].start = first;
        const std::size_t at = miniStream.size();
        miniStream.resize(miniFat.size() * kMiniSectorSize, 0);
        streams[i].read(0, std::span<std::uint8_t>(miniStream.data() + at, size));
    }

    // Sector counts of everything but the allocation tables.
    const std::size_t dirSectors = sectorsFor(entries.size() * kDirEntrySize, kSectorSize);
    const std::size_t miniFatSectors = sectorsFor(miniFat.size() * 4, kSectorSize);
    const std::size_t miniStreamSectors = sectorsFor(miniStream.size(), kSectorSize);
    std::vector<std::size_t> bigSectors(streams.size(), 0);
    std::size_t dataSectors = dirSectors + miniFatSectors + miniStreamSectors;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (streams[i].size >= kMiniStreamCutoff)
            bigSectors[i] = sectorsFor(streams[i].size, kSectorSize);
        dataSectors += bigSectors[i];
    }
    // FAT sectors must describe every sector, themselves and the DIFAT sectors included.
    std::size_t fatSectors = 1, difatSectors = 0;
    for (;;) {
        difatSectors = fatSectors > kHeaderDifatEntries
                           ? sectorsFor(fatSectors - kHeaderDifatEntries, kEntriesPerSector - 1)
                           : 0;
        const std::size_t total = dataSectors + fatSectors + difatSectors;
        if (fatSectors * kEntriesPerSector >= total)
            break;
        ++fatSectors;
    }
    const std::size_t totalSectors = dataSectors + fatSectors + difatSectors;
    if (totalSectors >= kMaxRegSect)
        throw std::length_error("compound file too large");

    // Sector layout as extents: runs of consecutive sectors of one owner. A stream's chain runs
    // through its extents in the order they were placed.
    enum class Owner { Stream, Fat, Difat, Directory, MiniFat, MiniStream };
    struct Extent {
        Owner owner;
        std::size_t stream = 0;    // for Owner::Stream
        std::uint64_t from = 0;    // first sector of the owner's data this extent holds
        std::uint32_t first = 0;   // first file sector
        std::uint32_t count = 0;
        std::uint32_t next = kEndOfChain; // the sector after the extent's last in its chain
    };
    std::vector<Extent> extents;
    std::uint32_t next = 0;
    auto extent = [&](Owner owner, std::size_t count, std::size_t stream = 0, std::uint64_t from = 0) {
        const std::uint32_t first = next;
        if (count) {
            extents.push_back({owner, stream, from, first, static_cast<std::uint32_t>(count)});
            next += static_cast<std::uint32_t>(count);
        }
        return count ? first : kEndOfChain;
    };
    std::uint32_t fatStart = 0, firstDifat = kEndOfChain, dirStart = kEndOfChain, miniFatStart = kEndOfChain;
    auto tables = [&] {
        fatStart = extent(Owner::Fat, fatSectors);
        firstDifat = extent(Owner::Difat, difatSectors);
    };
    auto directoryAndMini = [&] {
        dirStart = extent(Owner::Directory, dirSectors);
        miniFatStart = extent(Owner::MiniFat, miniFatSectors);
        entries[0].start = extent(Owner::MiniStream, miniStreamSectors);
        entries[0].size = miniStream.size();
    };

    // Large streams: placed pieces first, then the rest.
    std::vector<std::size_t> placed(streams.size(), 0);
    std::vector<std::vector<std::size_t>> streamExtents(streams.size()); // indexes into extents
    auto place = [&](std::size_t i, std::size_t count) {
        count = std::min(count, bigSectors[i] - placed[i]);
        if (count == 0)
            return;
        streamExtents[i].push_back(extents.size());
        extent(Owner::Stream, count, i, placed[i]);
        placed[i] += count;
    };
    auto streamSectors = [&] {
        std::map<std::string, std::size_t> byName;
        for (std::size_t i = 0; i < streams.size(); ++i)
            byName.emplace(streams[i].name, i);
        for (const auto& p : options.order) {
            auto it = byName.find(p.stream);
            if (it == byName.end())
                continue;
            place(it->second, p.sectors ? p.sectors : bigSectors[it->second]);
        }
        for (std::size_t i = 0; i < streams.size(); ++i)
            place(i, bigSectors[i]);
    };
    if (options.tablesFirst) {
        tables();
        directoryAndMini();
        streamSectors();
    } else {
        // As Word lays its files out: the streams from sector 0, the tables at the end.
        streamSectors();
        directoryAndMini();
        tables();
    }
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const auto& list = streamExtents[i];
        if (list.empty())
            continue;
        for (std::size_t k = 0; k + 1 < list.size(); ++k)
            extents[list[k]].next = extents[list[k + 1]].first;
        entries[streamEntry[i]].start = extents[list.front()].first;
    }

    // Directory tree: the children of each storage hang off it as one balanced tree.
    std::vector<std::vector<std::uint32_t>> children(entries.size());
    for (std::uint32_t i = 1; i < entries.size(); ++i)
        children[parent[i]].push_back(i);
    for (std::uint32_t storage = 0; storage < entries.size(); ++storage) {
        auto& sorted = children[storage];
        std::sort(sorted.begin(), sorted.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return nameLess(entries[a].name, entries[b].name); });
        entries[storage].child = buildTree(entries, sorted, 0, sorted.size());
    }

    // Header.
    bin::Writer head;
    head.put(std::array<std::uint8_t, 8>{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1});
    head.zeros(16);
    head.u16(0x003E); // minor version
    head.u16(0x0003); // major version 3
    head.u16(0xFFFE); // little-endian
    head.u16(9);      // 512-byte sectors
    head.u16(6);      // 64-byte mini sectors
    head.zeros(6);
    head.u32(0); // directory sector count: zero in version 3
    head.u32(static_cast<std::uint32_t>(fatSectors));
    head.u32(dirStart);
    head.u32(0); // transactions
    head.u32(static_cast<std::uint32_t>(kMiniStreamCutoff));
    head.u32(miniFatStart);
    head.u32(static_cast<std::uint32_t>(miniFatSectors));
    head.u32(firstDifat);
    head.u32(static_cast<std::uint32_t>(difatSectors));
    for (std::size_t k = 0; k < kHeaderDifatEntries; ++k)
        head.u32(k < fatSectors ? fatStart + static_cast<std::uint32_t>(k) : kFreeSect);
    out(head.bytes);

    bin::Writer dir;
    for (const auto& e : entries)
        putEntry(dir, e);
    std::copy(options.rootClsid.begin(), options.rootClsid.end(), dir.bytes.begin() + 80);
    // Unused entries of the last directory sector: empty, with no siblings or children.
    while (dir.size() % kSectorSize) {
        dir.zeros(68);
        dir.u32(kNoStream);
        dir.u32(kNoStream);
        dir.u32(kNoStream);
        dir.zeros(kDirEntrySize - 80);
    }
    miniFat.resize(miniFatSectors * kEntriesPerSector, kFreeSect);

    // The FAT, generated a sector at a time from the extents in file order.
    std::vector<const Extent*> byFirst;
    for (const auto& e : extents)
        byFirst.push_back(&e);
    std::sort(byFirst.begin(), byFirst.end(), [](const Extent* a, const Extent* b) { return a->first < b->first; });
    auto fatEntry = [&, at = std::size_t(0)](std::uint32_t sector) mutable -> std::uint32_t {
        while (at < byFirst.size() && byFirst[at]->first + byFirst[at]->count <= sector)
            ++at;
        if (at == byFirst.size() || byFirst[at]->first > sector)
            return kFreeSect;
        const Extent& e = *byFirst[at];
        if (e.owner == Owner::Fat)
            return kFatSect;
        if (e.owner == Owner::Difat)
            return kDifSect;
        return sector + 1 < e.first + e.count ? sector + 1 : e.next;
    };
    auto putWords = [&](const std::uint32_t* words, std::size_t count) {
        bin::Writer w;
        for (std::size_t k = 0; k < count; ++k)
            w.u32(words[k]);
        out(w.bytes);
    };
    std::vector<std::uint8_t> sector(kSectorSize);
    auto putBytes = [&](const std::vector<std::uint8_t>& bytes, std::uint64_t from, std::size_t sectors) {
        for (std::size_t k = 0; k < sectors; ++k) {
            std::fill(sector.begin(), sector.end(), 0);
            const std::uint64_t at = (from + k) * kSectorSize;
            if (at < bytes.size())
                std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            std::min<std::uint64_t>(kSectorSize, bytes.size() - at), sector.begin());
            out(sector);
        }
    };
    std::uint32_t fatSector = 0; // FAT sectors are written in order: each describes the next 128 sectors
    std::vector<std::uint8_t> chunk;
    for (const Extent* e : byFirst) {
        switch (e->owner) {
        case Owner::Fat:
            for (std::uint32_t k = 0; k < e->count; ++k, ++fatSector) {
                std::uint32_t words[kEntriesPerSector];
                for (std::size_t j = 0; j < kEntriesPerSector; ++j)
                    words[j] = fatEntry(static_cast<std::uint32_t>(fatSector * kEntriesPerSector + j));
                putWords(words, kEntriesPerSector);
            }
            break;
        case Owner::Difat:
            for (std::uint32_t d = 0; d < e->count; ++d) {
                std::vector<std::uint32_t> words(kEntriesPerSector, kFreeSect);
                for (std::size_t k = 0; k + 1 < kEntriesPerSector; ++k) {
                    const std::size_t fatIndex = kHeaderDifatEntries + d * (kEntriesPerSector - 1) + k;
                    if (fatIndex < fatSectors)
                        words[k] = fatStart + static_cast<std::uint32_t>(fatIndex);
                }
                words.back() = d + 1 < difatSectors ? firstDifat + d + 1 : kEndOfChain;
                putWords(words.data(), words.size());
            }
            break;
        case Owner::Directory: putBytes(dir.bytes, 0, e->count); break;
        case Owner::MiniFat: putWords(miniFat.data(), miniFat.size()); break;
        case Owner::MiniStream: putBytes(miniStream, 0, e->count); break;
        case Owner::Stream: {
            // In steps of up to 1 MB, the last sector padded with zeros.
            const StreamSource& s = streams[e->stream];
            const std::uint64_t begin = e->from * kSectorSize;
            const std::uint64_t end = (e->from + e->count) * kSectorSize;
            for (std::uint64_t at = begin; at < end;) {
                const std::uint64_t n = std::min<std::uint64_t>(end - at, 1u << 20);
                chunk.assign(static_cast<std::size_t>(n), 0);
                if (at < s.size)
                    s.read(at, std::span<std::uint8_t>(chunk.data(), std::min<std::uint64_t>(n, s.size - at)));
                out(chunk);
                at += n;
            }
            break;
        }
        }
    }
}

std::vector<std::uint8_t> writeCompoundFile(const std::vector<Stream>& streams, const WriteOptions& options) {
    std::vector<StreamSource> sources;
    for (const auto& s : streams)
        sources.push_back({s.name, s.data.size(), [&data = s.data](std::uint64_t offset, std::span<std::uint8_t> out) {
                               std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
                           }});
    std::vector<std::uint8_t> file;
    writeCompoundFile([&](std::span<const std::uint8_t> bytes) { file.insert(file.end(), bytes.begin(), bytes.end()); },
                      sources, options);
    return file;
}

} // namespace qm::docserver::cfb
