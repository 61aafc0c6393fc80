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

std::vector<std::uint8_t> writeCompoundFile(const std::vector<Stream>& streams, const WriteOptions& options) {
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
        if (s.data.size() > 0x7FFFFFFFu)
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
        entries.back().size = s.data.size();
    }

    // The mini stream: every stream below the cutoff, each in whole 64-byte mini sectors.
    std::vector<std::uint8_t> miniStream;
    std::vector<std::uint32_t> miniFat;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const auto& data = streams[i].data;
        if (data.empty() || data.size() >= kMiniStreamCutoff)
            continue;
        const auto first = static_cast<std::uint32_t>(miniFat.size());
        const std::size_t n = sectorsFor(data.size(), kMiniSectorSize);
        for (std::size_t k = 0; k < n; ++k)
            miniFat.push_back(k + 1 < n ? first + static_cast<std::uint32_t>(k) + 1 : kEndOfChain);
        entries[streamEntry[i]].start = first;
        miniStream.insert(miniStream.end(), data.begin(), data.end());
        miniStream.resize(miniFat.size() * kMiniSectorSize, 0);
    }

    // Sector counts of everything but the allocation tables.
    const std::size_t dirSectors = sectorsFor(entries.size() * kDirEntrySize, kSectorSize);
    const std::size_t miniFatSectors = sectorsFor(miniFat.size() * 4, kSectorSize);
    const std::size_t miniStreamSectors = sectorsFor(miniStream.size(), kSectorSize);
    std::vector<std::size_t> bigSectors(streams.size(), 0);
    std::size_t dataSectors = dirSectors + miniFatSectors + miniStreamSectors;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (streams[i].data.size() >= kMiniStreamCutoff)
            bigSectors[i] = sectorsFor(streams[i].data.size(), kSectorSize);
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

    // Sector layout.
    std::vector<std::uint32_t> fat(fatSectors * kEntriesPerSector, kFreeSect);
    std::uint32_t next = 0;
    auto chain = [&](std::size_t count) {
        const std::uint32_t first = next;
        for (std::size_t k = 0; k < count; ++k, ++next)
            fat[next] = k + 1 < count ? next + 1 : kEndOfChain;
        return count ? first : kEndOfChain;
    };
    std::uint32_t fatStart = 0, firstDifat = kEndOfChain, dirStart = kEndOfChain, miniFatStart = kEndOfChain;
    auto tables = [&] {
        fatStart = next;
        for (std::size_t k = 0; k < fatSectors; ++k)
            fat[next++] = kFatSect;
        if (difatSectors)
            firstDifat = next;
        for (std::size_t k = 0; k < difatSectors; ++k)
            fat[next++] = kDifSect;
    };
    auto directoryAndMini = [&] {
        dirStart = chain(dirSectors);
        miniFatStart = chain(miniFatSectors);
        entries[0].start = chain(miniStreamSectors);
        entries[0].size = miniStream.size();
    };

    // Large streams: placed pieces first, then the rest; each stream's sector list in order.
    std::vector<std::vector<std::uint32_t>> placed(streams.size());
    auto place = [&](std::size_t i, std::size_t count) {
        count = std::min(count, bigSectors[i] - placed[i].size());
        for (std::size_t k = 0; k < count; ++k)
            placed[i].push_back(next++);
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
        const auto& list = placed[i];
        if (list.empty())
            continue;
        for (std::size_t k = 0; k < list.size(); ++k)
            fat[list[k]] = k + 1 < list.size() ? list[k + 1] : kEndOfChain;
        entries[streamEntry[i]].start = list.front();
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
    bin::Writer out;
    out.put(std::array<std::uint8_t, 8>{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1});
    out.zeros(16);
    out.u16(0x003E); // minor version
    out.u16(0x0003); // major version 3
    out.u16(0xFFFE); // little-endian
    out.u16(9);      // 512-byte sectors
    out.u16(6);      // 64-byte mini sectors
    out.zeros(6);
    out.u32(0); // directory sector count: zero in version 3
    out.u32(static_cast<std::uint32_t>(fatSectors));
    out.u32(dirStart);
    out.u32(0); // transactions
    out.u32(static_cast<std::uint32_t>(kMiniStreamCutoff));
    out.u32(miniFatStart);
    out.u32(static_cast<std::uint32_t>(miniFatSectors));
    out.u32(firstDifat);
    out.u32(static_cast<std::uint32_t>(difatSectors));
    for (std::size_t k = 0; k < kHeaderDifatEntries; ++k)
        out.u32(k < fatSectors ? fatStart + static_cast<std::uint32_t>(k) : kFreeSect);

    std::vector<std::uint8_t> file(kSectorSize * (totalSectors + 1), 0);
    std::copy(out.bytes.begin(), out.bytes.end(), file.begin());
    auto sectorAt = [&](std::uint32_t s) { return file.begin() + static_cast<std::ptrdiff_t>((s + 1) * kSectorSize); };
    auto putWords = [&](std::uint32_t s, const std::uint32_t* words, std::size_t count) {
        bin::Writer w;
        for (std::size_t k = 0; k < count; ++k)
            w.u32(words[k]);
        std::copy(w.bytes.begin(), w.bytes.end(), sectorAt(s));
    };
    for (std::size_t k = 0; k < fatSectors; ++k)
        putWords(fatStart + static_cast<std::uint32_t>(k), fat.data() + k * kEntriesPerSector, kEntriesPerSector);
    for (std::size_t d = 0; d < difatSectors; ++d) {
        std::vector<std::uint32_t> words(kEntriesPerSector, kFreeSect);
        for (std::size_t k = 0; k + 1 < kEntriesPerSector; ++k) {
            const std::size_t fatIndex = kHeaderDifatEntries + d * (kEntriesPerSector - 1) + k;
            if (fatIndex < fatSectors)
                words[k] = fatStart + static_cast<std::uint32_t>(fatIndex);
        }
        words.back() = d + 1 < difatSectors ? firstDifat + static_cast<std::uint32_t>(d) + 1 : kEndOfChain;
        putWords(firstDifat + static_cast<std::uint32_t>(d), words.data(), words.size());
    }
    auto putContiguous = [&](std::uint32_t start, const std::vector<std::uint8_t>& bytes) {
        if (start != kEndOfChain)
            std::copy(bytes.begin(), bytes.end(), sectorAt(start));
    };
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
    putContiguous(dirStart, dir.bytes);
    miniFat.resize(miniFatSectors * kEntriesPerSector, kFreeSect);
    for (std::size_t k = 0; k < miniFatSectors; ++k)
        putWords(miniFatStart + static_cast<std::uint32_t>(k), miniFat.data() + k * kEntriesPerSector,
                 kEntriesPerSector);
    putContiguous(entries[0].start, miniStream);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const auto& data = streams[i].data;
        const auto& list = placed[i];
        for (std::size_t k = 0; k < list.size(); ++k) {
            const std::size_t from = k * kSectorSize;
            const std::size_t n = std::min(kSectorSize, data.size() - from);
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(from), n, sectorAt(list[k]));
        }
    }
    return file;
}

} // namespace qm::docserver::cfb
