#include "docserver/cfb_reader.h"

#include "docserver/binary_io.h"
#include "docserver/cfb_writer.h"

#include <algorithm>
#include <set>

namespace qm::docserver::cfb {
namespace {

constexpr std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

bool isSpecial(std::uint32_t v) { return v >= kDifSect; }

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

// One 128-byte directory entry; nullopt when the bytes cannot be one.
std::optional<DirEntry> parseEntry(Bytes e) {
    if (e.size() < kDirEntrySize)
        return std::nullopt;
    DirEntry d;
    d.type = e[66];
    if (d.type != 0 && d.type != 1 && d.type != 2 && d.type != 5)
        return std::nullopt;
    const std::uint16_t nameBytes = bin::u16(e, 64);
    if (nameBytes > 64 || nameBytes % 2)
        return std::nullopt;
    for (std::size_t i = 0; i + 2 < nameBytes; i += 2) {
        const std::uint16_t c = bin::u16(e, i);
        // Directory names are short; anything outside the BMP basics is kept as '?'.
        if (c < 0x80)
            d.name += static_cast<char>(c);
        else
            d.name += '?';
    }
    d.left = bin::u32(e, 68);
    d.right = bin::u32(e, 72);
    d.child = bin::u32(e, 76);
    d.start = bin::u32(e, 116);
    d.size = bin::u32(e, 120); // the high half is unreliable in version 3 files
    if (d.type == 0)
        d.name.clear();
    return d;
}

// A chain of table that takes exactly need links inside [0, limit) and then ends.
bool strictChain(const std::vector<std::uint32_t>& table, std::uint32_t start, std::uint64_t need, std::uint64_t limit) {
    if (need > limit || need > table.size())
        return false;
    std::uint32_t s = start;
    for (std::uint64_t k = 0; k < need; ++k) {
        if (s >= limit || s >= table.size())
            return false;
        s = table[s];
    }
    return s == kEndOfChain;
}

} // namespace

bool hasSignature(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 8 && std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin());
}

Reader::Reader(std::span<const std::uint8_t> file) : file_(file) {
    if (file.size() >= 512) {
        // The signature, or (when only it was damaged) the version, byte order and sector
        // shift that follow it.
        const std::uint16_t shift = bin::u16(file, 30), major = bin::u16(file, 26);
        headerValid_ = bin::u16(file, 28) == 0xFFFE && (shift == 9 || shift == 12) &&
                       (hasSignature(file) || major == 3 || major == 4);
        if (shift == 12)
            sectorSize_ = 4096;
        const std::uint32_t cutoff = bin::u32(file, 56);
        if (headerValid_ && cutoff >= 64 && cutoff <= 0x100000)
            miniCutoff_ = cutoff;
    }
    sectorCount_ = file.size() > sectorSize_ ? (file.size() - sectorSize_ + sectorSize_ - 1) / sectorSize_ : 0;

    if (headerValid_)
        loadHeaderFat();
    fatFromHeader_ = !fat_.empty();
    if (fat_.empty())
        scanForFat();

    if (headerValid_)
        loadDirectory(bin::u32(file, 48));
    const bool anyStream =
        std::any_of(entries_.begin(), entries_.end(), [](const DirEntry& e) { return e.type == 2 || e.type == 5; });
    directoryFromHeader_ = anyStream;
    if (!anyStream)
        scanForDirectory();

    if (headerValid_) {
        // A count of 0 says there is no mini FAT (or that the header's fields were lost).
        const std::uint32_t miniStart = bin::u32(file, 60), miniCount = bin::u32(file, 64);
        if (miniStart < sectorCount_ && miniCount > 0)
            loadMiniFat(miniStart, miniCount);
    }
    if (!miniFatKnown_)
        guessMiniFat();

    // The root's children, for name look-ups that must not pick streams of embedded objects.
    if (!entries_.empty() && entries_[0].type == 5) {
        std::vector<std::uint32_t> stack{entries_[0].child};
        std::vector<bool> seen(entries_.size(), false);
        while (!stack.empty()) {
            const std::uint32_t i = stack.back();
            stack.pop_back();
            if (i >= entries_.size() || seen[i])
                continue;
            seen[i] = true;
            rootChildren_.push_back(i);
            stack.push_back(entries_[i].left);
            stack.push_back(entries_[i].right);
        }
    }
}

std::span<const std::uint8_t> Reader::sector(std::uint32_t s) const {
    if (s >= sectorCount_)
        return {};
    return bin::slice(file_, sectorOffset(s), sectorSize_);
}

void Reader::loadHeaderFat() {
    const std::uint32_t fatCount = bin::u32(file_, 44);
    std::vector<std::uint32_t> fatSectors;
    for (std::uint32_t i = 0; i < 109 && i < fatCount; ++i)
        fatSectors.push_back(bin::u32(file_, 76 + 4 * i));
    // The DIFAT chain; each sector's last entry links to the next.
    std::uint32_t difat = bin::u32(file_, 68);
    std::set<std::uint32_t> seen;
    const std::size_t perSector = sectorSize_ / 4;
    while (difat < sectorCount_ && fatSectors.size() < fatCount && seen.insert(difat).second) {
        const auto s = sector(difat);
        for (std::size_t k = 0; k + 1 < perSector && fatSectors.size() < fatCount; ++k)
            fatSectors.push_back(bin::u32(s, 4 * k));
        difat = bin::u32(s, sectorSize_ - 4);
    }
    if (fatSectors.empty() || fatSectors.size() > sectorCount_ + 1)
        return;

    std::vector<std::uint32_t> fat(fatSectors.size() * perSector, kFreeSect);
    std::size_t present = 0;
    for (std::size_t k = 0; k < fatSectors.size(); ++k) {
        const auto s = sector(fatSectors[k]);
        if (s.size() < sectorSize_)
            continue; // lost (past the end of a truncated file)
        ++present;
        for (std::size_t i = 0; i < perSector; ++i)
            fat[k * perSector + i] = bin::u32(s, 4 * i);
    }
    // A FAT marks its own sectors; a zeroed or overwritten FAT does not.
    std::size_t marked = 0;
    for (std::uint32_t s : fatSectors)
        if (s < fat.size() && fat[s] == kFatSect)
            ++marked;
    if (present && marked * 2 >= present)
        fat_ = std::move(fat);
}

bool Reader::plausibleFatSector(std::uint32_t s) const {
    const auto bytes = sector(s);
    if (bytes.size() < sectorSize_)
        return false;
    std::size_t fatMarks = 0, used = 0;
    for (std::size_t i = 0; i < sectorSize_; i += 4) {
        const std::uint32_t v = bin::u32(bytes, i);
        if (v == kFatSect)
            ++fatMarks;
        if (v != kFreeSect)
            ++used;
        if (!isSpecial(v) && v >= sectorCount_ + 16)
            return false;
    }
    return fatMarks > 0 && used > 0;
}

void Reader::scanForFat() {
    std::vector<std::uint32_t> candidates;
    for (std::uint32_t s = 0; s < sectorCount_; ++s)
        if (plausibleFatSector(s))
            candidates.push_back(s);
    if (candidates.empty())
        return;
    // FAT sectors are taken in file order, the order in which writers allocate them.
    const std::size_t perSector = sectorSize_ / 4;
    std::vector<std::uint32_t> fat(candidates.size() * perSector, kFreeSect);
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        const auto s = sector(candidates[k]);
        for (std::size_t i = 0; i < perSector; ++i)
            fat[k * perSector + i] = bin::u32(s, 4 * i);
    }
    std::size_t marked = 0;
    for (std::uint32_t c : candidates)
        if (c < fat.size() && fat[c] == kFatSect)
            ++marked;
    if (marked * 2 >= candidates.size())
        fat_ = std::move(fat);
}

std::vector<std::uint32_t> Reader::chain(std::uint32_t start, std::size_t maxSectors) const {
    std::vector<std::uint32_t> out;
    std::vector<bool> seen(sectorCount_, false);
    std::uint32_t s = start;
    while (out.size() < maxSectors && s < sectorCount_ && !seen[s]) {
        seen[s] = true;
        out.push_back(s);
        if (fat_.empty()) {
            ++s; // no FAT: streams are taken as contiguous runs
            continue;
        }
        const std::uint32_t next = s < fat_.size() ? fat_[s] : kFreeSect;
        if (next == kEndOfChain)
            break;
        // A damaged link (free, a table mark, or out of range) continues with the next sector.
        s = (isSpecial(next) || next >= sectorCount_) ? s + 1 : next;
    }
    return out;
}

std::vector<std::size_t> Reader::chainOffsets(std::uint32_t start, std::uint64_t maxBytes) const {
    const std::uint64_t sectors = (maxBytes + sectorSize_ - 1) / sectorSize_;
    std::vector<std::size_t> out;
    for (std::uint32_t s : chain(start, static_cast<std::size_t>(std::min<std::uint64_t>(sectors, sectorCount_))))
        out.push_back(sectorOffset(s));
    return out;
}

void Reader::loadDirectory(std::uint32_t start) {
    if (start >= sectorCount_)
        return;
    std::vector<DirEntry> entries;
    const std::size_t limit = fat_.empty() ? 64 : sectorCount_;
    std::size_t emptySectors = 0;
    for (std::uint32_t s : chain(start, limit)) {
        const auto bytes = sector(s);
        std::vector<DirEntry> here;
        bool valid = bytes.size() == sectorSize_;
        for (std::size_t at = 0; valid && at + kDirEntrySize <= bytes.size(); at += kDirEntrySize) {
            auto e = parseEntry(bin::slice(bytes, at, kDirEntrySize));
            if (!e)
                valid = false;
            else
                here.push_back(*e);
        }
        // Without a FAT the directory run ends at the first sector that is not entries.
        if (!valid) {
            if (fat_.empty())
                break;
            here.assign(sectorSize_ / kDirEntrySize, DirEntry{});
        }
        if (std::all_of(here.begin(), here.end(), [](const DirEntry& e) { return e.type == 0; }) && fat_.empty() &&
            ++emptySectors > 1)
            break;
        entries.insert(entries.end(), here.begin(), here.end());
    }
    entries_ = std::move(entries);
}

void Reader::scanForDirectory() {
    for (std::uint32_t s = 0; s < sectorCount_; ++s) {
        auto e = parseEntry(bin::slice(sector(s), 0, kDirEntrySize));
        if (e && e->type == 5 && sameName(e->name, "Root Entry")) {
            loadDirectory(s);
            if (!entries_.empty())
                return;
        }
    }
}

void Reader::loadMiniFat(std::uint32_t start, std::uint32_t count) {
    const std::size_t maxSectors = std::min<std::size_t>(count ? count : sectorCount_, sectorCount_);
    std::vector<std::uint32_t> mini;
    for (std::uint32_t s : chain(start, maxSectors)) {
        const auto bytes = sector(s);
        for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4)
            mini.push_back(bin::u32(bytes, i));
    }
    if (!mini.empty()) {
        miniFat_ = std::move(mini);
        miniFatKnown_ = true;
    }
}

void Reader::guessMiniFat() {
    if (entries_.empty() || entries_[0].type != 5 || fat_.empty())
        return;
    // Candidates: chains that no directory entry claims.
    std::set<std::uint32_t> claimed{entries_[0].start};
    for (const auto& e : entries_)
        if (e.type == 2 && e.size >= miniCutoff_)
            claimed.insert(e.start);
    const std::uint64_t miniSectors = entries_[0].size / kMiniSectorSize;
    for (std::uint32_t c : chainStarts()) {
        if (claimed.count(c))
            continue;
        std::vector<std::uint32_t> mini;
        for (std::uint32_t s : chain(c, 64)) {
            const auto bytes = sector(s);
            for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4)
                mini.push_back(bin::u32(bytes, i));
        }
        // Every small stream's chain must have exactly the length its size asks for.
        bool ok = true, any = false;
        for (const auto& e : entries_) {
            if (e.type != 2 || e.size == 0 || e.size >= miniCutoff_)
                continue;
            any = true;
            std::uint64_t need = (e.size + kMiniSectorSize - 1) / kMiniSectorSize, steps = 0;
            std::uint32_t m = e.start;
            while (ok && steps < need) {
                if (m >= mini.size() || m >= miniSectors) {
                    ok = false;
                    break;
                }
                ++steps;
                m = mini[m];
            }
            if (m != kEndOfChain)
                ok = false;
        }
        if (ok && any) {
            miniFat_ = std::move(mini);
            miniFatKnown_ = true;
            return;
        }
    }
}

std::vector<std::uint32_t> Reader::chainStarts() const {
    std::vector<std::uint32_t> out;
    if (fat_.empty())
        return out;
    const std::size_t n = std::min(fat_.size(), sectorCount_);
    std::vector<bool> pointed(n, false);
    for (std::size_t s = 0; s < n; ++s)
        if (fat_[s] < n)
            pointed[fat_[s]] = true;
    for (std::size_t s = 0; s < n; ++s)
        if (!pointed[s] && (fat_[s] < n || fat_[s] == kEndOfChain))
            out.push_back(static_cast<std::uint32_t>(s));
    return out;
}

const DirEntry* Reader::findStream(std::string_view name) const {
    for (std::uint32_t i : rootChildren_)
        if (entries_[i].type == 2 && sameName(entries_[i].name, name))
            return &entries_[i];
    for (const auto& e : entries_)
        if (e.type == 2 && sameName(e.name, name))
            return &e;
    return nullptr;
}

bool Reader::intact(const DirEntry& entry) const {
    if (entry.size == 0)
        return true;
    if (entry.type != 5 && entry.size < miniCutoff_) {
        if (!miniFatKnown_ || entries_.empty() || entries_[0].type != 5 || !intact(entries_[0]))
            return false;
        return strictChain(miniFat_, entry.start, (entry.size + kMiniSectorSize - 1) / kMiniSectorSize,
                           entries_[0].size / kMiniSectorSize);
    }
    return strictChain(fat_, entry.start, (entry.size + sectorSize_ - 1) / sectorSize_, sectorCount_);
}

std::vector<std::pair<std::string, const DirEntry*>> Reader::streamPaths() const {
    std::vector<std::pair<std::string, const DirEntry*>> out;
    if (entries_.empty() || entries_[0].type != 5)
        return out;
    // Each entry is visited once, whatever loops a damaged tree has.
    std::vector<bool> seen(entries_.size(), false);
    std::vector<std::pair<std::uint32_t, std::string>> stack{{entries_[0].child, ""}};
    while (!stack.empty()) {
        auto [i, prefix] = std::move(stack.back());
        stack.pop_back();
        if (i >= entries_.size() || seen[i])
            continue;
        seen[i] = true;
        const DirEntry& e = entries_[i];
        stack.push_back({e.left, prefix});
        stack.push_back({e.right, prefix});
        if (e.name.empty() || e.name.find('/') != std::string::npos)
            continue;
        if (e.type == 2)
            out.emplace_back(prefix + e.name, &e);
        else if (e.type == 1)
            stack.push_back({e.child, prefix + e.name + "/"});
    }
    return out;
}

StreamMap Reader::map(const DirEntry& entry) const {
    StreamMap m;
    m.size = entry.size;
    if (entry.type != 5 && entry.size < miniCutoff_) {
        m.unit = kMiniSectorSize;
        if (entries_.empty() || entries_[0].type != 5 || entry.size == 0)
            return m;
        const auto root = chainOffsets(entries_[0].start, entries_[0].size);
        const std::uint64_t need = (entry.size + kMiniSectorSize - 1) / kMiniSectorSize;
        std::vector<bool> seen;
        std::uint32_t s = entry.start;
        while (m.offsets.size() < need) {
            const std::uint64_t pos = std::uint64_t(s) * kMiniSectorSize;
            if (pos / sectorSize_ >= root.size())
                break;
            if (s >= seen.size())
                seen.resize(s + 1, false);
            if (seen[s])
                break;
            seen[s] = true;
            m.offsets.push_back(root[pos / sectorSize_] + pos % sectorSize_);
            if (!miniFatKnown_) {
                ++s; // contiguous, as writers lay small streams out
                continue;
            }
            const std::uint32_t next = s < miniFat_.size() ? miniFat_[s] : kFreeSect;
            if (next == kEndOfChain)
                break;
            s = isSpecial(next) ? s + 1 : next;
        }
        return m;
    }
    m.unit = sectorSize_;
    m.offsets = chainOffsets(entry.start, entry.size);
    return m;
}

std::vector<std::uint8_t> Reader::read(const DirEntry& entry) const {
    const StreamMap m = map(entry);
    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(m.size, file_.size())));
    for (std::size_t off : m.offsets) {
        const std::uint64_t want = std::min<std::uint64_t>(m.unit, m.size - out.size());
        const auto part = bin::slice(file_, off, want);
        out.insert(out.end(), part.begin(), part.end());
        if (part.size() < want || out.size() >= m.size)
            break;
    }
    return out;
}

std::vector<std::uint8_t> Reader::readChain(std::uint32_t start, std::uint64_t maxBytes) const {
    std::vector<std::uint8_t> out;
    for (std::size_t off : chainOffsets(start, maxBytes)) {
        const auto part = bin::slice(file_, off, std::min<std::uint64_t>(sectorSize_, maxBytes - out.size()));
        out.insert(out.end(), part.begin(), part.end());
        if (part.size() < sectorSize_ || out.size() >= maxBytes)
            break;
    }
    return out;
}

} // namespace qm::docserver::cfb
