// Pictures the picture-record scan leaves out: OfficeArt BLIP records (compressed EMF, WMF and
// PICT metafiles; JPEG, PNG, DIB and TIFF bitmaps) found by their record header anywhere
// outside the picture records already taken. Floating pictures keep their BLIP in the
// document's picture store, not in a picture record, and records whose PICF header is not
// the one the scan looks for (a file-name form, a damaged header) still hold a BLIP.
#include "docserver/doc_picture_record.h"
#include "engine/doc_steps.h"
#include "platform/bytes.h"
#include "platform/work_control.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_set>

namespace qm::doc {

namespace {

constexpr std::size_t kBlipHeader = 8;
// Record type and the instance values (one or two picture ids) of each BLIP kind.
struct BlipKind {
    std::uint16_t type, instance;
};
constexpr BlipKind kBlipKinds[] = {
    {0xF01A, 0x3D4}, {0xF01B, 0x216}, {0xF01C, 0x542}, {0xF01D, 0x46A}, {0xF01D, 0x6E2},
    {0xF01E, 0x6E0}, {0xF01F, 0x7A8}, {0xF029, 0x6E4}, {0xF02A, 0x6E2},
};
// A file holding more than this many pictures is taken as hostile: the rest is left.
constexpr std::size_t kMaxBlipPictures = 10000;
// The smallest body: one picture id and a one-byte tag.
constexpr std::uint32_t kMinBlipBody = 17;

// True when an OfficeArt BLIP record header starts at p (8 readable bytes): version 0, a
// BLIP record type with its own instance value (either id form), a body length that fits.
bool isBlipHeader(const std::uint8_t* p, std::size_t available) {
    const std::uint16_t verInstance = bin::load16(p);
    const std::uint16_t type = bin::load16(p + 2);
    const std::uint32_t length = bin::load32(p + 4);
    if ((verInstance & 0x0F) != 0 || length < kMinBlipBody || length > available - kBlipHeader)
        return false;
    const std::uint16_t instance = static_cast<std::uint16_t>(verInstance >> 4) & 0xFFFE;
    return std::any_of(std::begin(kBlipKinds), std::end(kBlipKinds),
                       [&](const BlipKind& k) { return k.type == type && k.instance == instance; });
}

} // namespace

std::vector<std::vector<std::uint8_t>> blipPictureRecords(Bytes source, const std::vector<ByteRange>& taken) {
    std::vector<std::vector<std::uint8_t>> records;
    std::unordered_set<std::size_t> seen; // hashes of the images already brought back
    std::size_t next = 0;                 // the first taken range that does not end before the scan
    // Every BLIP type has F0 as its high byte, at offset 3 of the header.
    std::size_t at = 3;
    while (at < source.size() && records.size() < kMaxBlipPictures) {
        passWorkGate();
        const void* hit = std::memchr(source.data() + at, 0xF0, source.size() - at);
        if (!hit)
            break;
        const std::size_t start = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - source.data()) - 3;
        at = start + 4;
        if (source.size() - start < kBlipHeader || !isBlipHeader(source.data() + start, source.size() - start))
            continue;
        // The taken ranges come in file order, as the scan does.
        while (next < taken.size() && taken[next].to <= start)
            ++next;
        if (next < taken.size() && taken[next].from <= start)
            continue;
        const std::size_t length = kBlipHeader + bin::u32(source, start + 4);
        auto picture = docserver::docpic::pictureFromBlip(source.subspan(start, length));
        if (!picture || picture->bytes.empty())
            continue;
        at = start + length;
        const auto* image = reinterpret_cast<const char*>(picture->bytes.data());
        if (!seen.insert(std::hash<std::string_view>{}({image, picture->bytes.size()})).second)
            continue;
        records.push_back(docserver::docpic::buildRecord(*picture));
    }
    return records;
}

} // namespace qm::doc
